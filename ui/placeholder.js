// Placeholder pages: just enough to sign in and out until the product pages arrive.
var zv = window.yto || (window.external && window.external.zvsrv);

function svcurl() {
  var u = zv.getServiceURL() || "";
  return u.charAt(u.length - 1) === "/" ? u : u + "/";
}

// One call to the service's JSON form; `done(answer)` gets null when it failed.
function rpc(method, args, done) {
  var body = "<soapenv:Envelope><soapenv:Body><" + method + ">";
  for (var k in args) body += "<" + k + ">" + String(args[k]).replace(/&/g, "&amp;")
      .replace(/</g, "&lt;").replace(/>/g, "&gt;") + "</" + k + ">";
  body += "</" + method + "></soapenv:Body></soapenv:Envelope>";
  var x = new XMLHttpRequest();
  x.open("POST", svcurl() + "json/" + method);
  x.onload = function () {
    var a = null;
    try { a = JSON.parse(x.responseText); } catch (e) {}
    done(a && !a["HB-EXCEPTION"] ? a : null);
  };
  x.onerror = function () { done(null); };
  x.send(body);
}

function signIn() {
  var host = svcurl().replace(/^[a-z]+:\/\//, "").replace(/\/.*$/, "");
  location.href = "https://" + host + "/oauth?client_id=TesselUtilityDesktop01" +
      "&response_type=token&redirect_uri=ytoauth://postauth";
}
