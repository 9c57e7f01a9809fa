// The test pages' helpers: the bridge object as the product pages take it, and a call that
// reports a failure instead of throwing, so tests read results and errors alike.
var zv = window.yto || (window.external && window.external.zvsrv);
function tryCall(name, args) {
  var bridge = window.yto || (window.external && window.external.zvsrv);
  try {
    var value = bridge[name].apply(bridge, args);
    return {value: value === undefined ? "undefined" : value};
  } catch (e) {
    return {error: e.name, number: e.number};
  }
}
// A raw call of the bridge with any body, as a misbehaving page could send it.
function rawCall(name, body) {
  var x = new XMLHttpRequest();
  x.open("POST", "res://tesselutilbrowser.exe/__bridge/" + name, false);
  x.send(body);
  return {status: x.status, text: x.responseText};
}
