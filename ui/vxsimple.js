// The pages' shared library: start-up, logging, DOM helpers, dialogs and service requests.
//
// Everything the service or the program hands us (names, paths, messages) goes onto the page as
// text nodes, never as markup.

var vx = {
  bridge: null,
  svcurl: "",
  valtoken: null,
  services: {},   // serviceid -> the service record of the last listServices answer
  inflight: 0,
  logmore: false
};

var VX_RPC_TIMEOUT_MS = 30000;

// ---------------------------------------------------------------- the program

function vxFindBridge() {
  if (window.yto) return window.yto;
  try {
    if (window.external && window.external.zvsrv) return window.external.zvsrv;
  } catch (e) {}
  return null;
}

// Calls a method of the script bridge; null when there is no bridge or the call throws (an
// unknown method, a wrong argument count), which the log then tells.
function vxCall(name) {
  var b = vx.bridge;
  if (!b) return null;
  var args = Array.prototype.slice.call(arguments, 1);
  try {
    var f = b[name];
    if (typeof f !== "function") return null;
    var r = f.apply(b, args);
    return r === undefined ? null : r;
  } catch (e) {
    if (name !== "log") vxLog("bridge call " + name + " failed: " + (e && e.name) + " " + (e && e.message));
    return null;
  }
}

function vxLog(message) {
  if (!vx.bridge) return;
  try {
    vx.bridge.log(String(message));
  } catch (e) {}
}

// A user property as text, or null when it is not set.
function vxProp(name) {
  var v = vxCall("getUserProperty", name);
  return v === null || v === undefined ? null : String(v);
}

function vxSetProp(name, value) {
  vxCall("setUserProperty", name, String(value));
}

// The page's statistics hook: events are only logged.
function vxStat(event) {
  vxLog("stat " + event);
}

function vxSignOut() {
  vxLog("signing out");
  vxCall("logoutUser");
}

// Runs `start` once the document is ready, with the bridge, the token and the service address
// read.
function vxStart(start) {
  function go() {
    vx.bridge = vxFindBridge();
    var token = vxCall("getValtoken");
    vx.valtoken = token === null ? null : String(token);
    var url = vxCall("getServiceURL");
    url = url === null ? "" : String(url);
    if (url && url.charAt(url.length - 1) !== "/") url += "/";
    vx.svcurl = url;
    var more = vxProp("logmore");
    vx.logmore = !!more && more !== "0";
    vxApplyTexts(document);
    vxInstallKeys();
    // Names were cut to fit with the fallback face; cut them again with the bundled one.
    if (document.fonts && document.fonts.ready) {
      document.fonts.ready.then(function () {
        vxRefit(true);
      });
    }
    start();
  }
  if (document.readyState === "loading") document.addEventListener("DOMContentLoaded", go);
  else go();
}

// ---------------------------------------------------------------- DOM helpers

function $id(id) {
  return document.getElementById(id);
}

// A new element. `props`: className, text, attrs {name: value}, on {event: handler}.
// `children`: nodes, or strings that become text nodes.
function vxEl(tag, props, children) {
  var node = document.createElement(tag);
  props = props || {};
  if (props.className) node.className = props.className;
  if (props.text !== undefined && props.text !== null) node.textContent = String(props.text);
  var attrs = props.attrs || {};
  for (var a in attrs) {
    if (Object.prototype.hasOwnProperty.call(attrs, a) && attrs[a] !== null && attrs[a] !== undefined)
      node.setAttribute(a, String(attrs[a]));
  }
  var on = props.on || {};
  for (var ev in on) {
    if (Object.prototype.hasOwnProperty.call(on, ev)) node.addEventListener(ev, on[ev]);
  }
  (children || []).forEach(function (c) {
    if (c === null || c === undefined) return;
    node.appendChild(typeof c === "string" ? document.createTextNode(c) : c);
  });
  return node;
}

// Fills every element marked data-t="key" with its text, and data-label="key" with its label.
function vxApplyTexts(root) {
  Array.prototype.forEach.call(root.querySelectorAll("[data-t]"), function (e) {
    e.textContent = ytol(e.getAttribute("data-t"));
  });
  Array.prototype.forEach.call(root.querySelectorAll("[data-label]"), function (e) {
    e.setAttribute("aria-label", ytol(e.getAttribute("data-label")));
  });
}

function vxText(node, text) {
  var t = text === null || text === undefined ? "" : String(text);
  if (node.textContent !== t) node.textContent = t;
}

function vxShow(node, on) {
  if (node) node.hidden = !on;
}

function vxClear(node) {
  while (node.firstChild) node.removeChild(node.firstChild);
}

// Shows `text` in `node` shortened in the middle ("IMG_20…0413.JPG") when it does not fit; the
// full text stays in the title (hover) and for screen readers.
function vxFitMiddle(node, text) {
  text = text === null || text === undefined ? "" : String(text);
  if (node._vxFull === text && node._vxWidth === node.clientWidth) return;
  node._vxFull = text;
  node._vxWidth = node.clientWidth;
  node.title = text;
  var shown = node._vxShown;
  if (!shown) {
    vxClear(node);
    shown = vxEl("span", { attrs: { "aria-hidden": "true" } });
    node._vxShown = shown;
    node._vxSpoken = vxEl("span", { className: "sr-only" });
    node.appendChild(shown);
    node.appendChild(node._vxSpoken);
  }
  vxText(node._vxSpoken, text);
  vxText(shown, text);
  var width = node.clientWidth;
  if (!width || node.scrollWidth <= width) return;
  // The longest middle cut that fits.
  var lo = 0, hi = text.length - 1, best = "…";
  while (lo <= hi) {
    var keep = (lo + hi) >> 1;
    var cut = text.slice(0, Math.ceil(keep / 2)) + "…" + text.slice(text.length - Math.floor(keep / 2));
    shown.textContent = cut;
    if (node.scrollWidth <= width) {
      best = cut;
      lo = keep + 1;
    } else {
      hi = keep - 1;
    }
  }
  shown.textContent = best;
}

// Cuts shortened names again: all of them (`all`, once the bundled face has loaded), or those
// whose room changed (a scroll bar came or went).
function vxRefit(all) {
  Array.prototype.forEach.call(document.querySelectorAll(".fit"), function (node) {
    if (node._vxFull === undefined || (all !== true && node._vxWidth === node.clientWidth)) return;
    var text = node._vxFull;
    node._vxFull = undefined;
    vxFitMiddle(node, text);
  });
}

// Tells screen readers about a change that is not where the focus is.
function vxAnnounce(text) {
  var region = $id("vx-announce");
  if (!region) {
    region = vxEl("div", { className: "sr-only", attrs: { id: "vx-announce", "aria-live": "polite" } });
    document.body.appendChild(region);
  }
  region.textContent = "";
  setTimeout(function () {
    region.textContent = String(text);
  }, 50);
}

// A busy indicator with words: the spinner picture, or a still dot when motion is reduced.
function vxBusy(text) {
  return vxEl("div", { className: "busy", attrs: { role: "status" } }, [
    vxEl("img", { className: "busy-spin", attrs: { src: "loading.gif", alt: "", width: 24, height: 24 } }),
    vxEl("span", { className: "busy-dot", attrs: { "aria-hidden": "true" } }),
    vxEl("span", { className: "busy-text", text: text })
  ]);
}

// "14:02" today, "yesterday 14:02", else "3 Mar 14:02" (with the year when not this year).
function vxFormatTime(ms, now) {
  var d = new Date(ms);
  if (isNaN(d.getTime())) return "";
  now = now ? new Date(now) : new Date();
  function two(n) {
    return (n < 10 ? "0" : "") + n;
  }
  var hm = two(d.getHours()) + ":" + two(d.getMinutes());
  var day = new Date(d.getFullYear(), d.getMonth(), d.getDate()).getTime();
  var today = new Date(now.getFullYear(), now.getMonth(), now.getDate()).getTime();
  if (day === today) return hm;
  if (today - day <= 86400000 + 3600000 && today > day) return ytol("orvane.task.yesterday", hm);
  var month = ytol("main.months").split(" ")[d.getMonth()] || String(d.getMonth() + 1);
  var text = d.getDate() + " " + month;
  if (d.getFullYear() !== now.getFullYear()) text += " " + d.getFullYear();
  return text + " " + hm;
}

// ---------------------------------------------------------------- dialogs

var vxDialogs = [];

// A modal dialog. opts: title, text, icon ("warning", "success" or none), buttons: [{label,
// primary, action(dialog), keep}]. A button closes the dialog before its action runs unless
// `keep` is set. Escape runs the button marked `cancel`, if any. Returns the dialog, with
// close(), setText(text) and busy(text) (false: idle again).
function vxDialog(opts) {
  var n = vxDialogs.length + 1;
  var titleId = "vx-dlg-title-" + n, textId = "vx-dlg-text-" + n;
  var previousFocus = document.activeElement;
  var textNode = vxEl("p", { className: "dialog-text", text: opts.text, attrs: { id: textId } });
  var busyNode = vxEl("div", { className: "dialog-busy" });
  var buttons = vxEl("div", { className: "dialog-buttons" });
  var box = vxEl("div", {
    className: "dialog",
    attrs: { role: "alertdialog", "aria-modal": "true", "aria-labelledby": titleId, "aria-describedby": textId }
  }, [
    opts.icon ? vxEl("img", { className: "dialog-icon", attrs: { src: opts.icon + "-icon.png", alt: "", width: 24, height: 24 } }) : null,
    vxEl("h2", { className: "dialog-title", text: opts.title, attrs: { id: titleId } }),
    textNode,
    busyNode,
    buttons
  ]);
  var overlay = vxEl("div", { className: "overlay" }, [box]);
  var dialog = {
    node: overlay,
    closed: false,
    close: function () {
      if (dialog.closed) return;
      dialog.closed = true;
      overlay.parentNode && overlay.parentNode.removeChild(overlay);
      vxDialogs.splice(vxDialogs.indexOf(dialog), 1);
      vxSetInert();
      if (previousFocus && previousFocus.focus && document.contains(previousFocus)) previousFocus.focus();
      else vxFocusFirst(document.querySelector("main"));
    },
    setText: function (text) {
      vxText(textNode, text);
    },
    busy: function (text) {
      vxClear(busyNode);
      if (text) busyNode.appendChild(vxBusy(text));
      Array.prototype.forEach.call(buttons.querySelectorAll("button"), function (b) {
        b.disabled = !!text;
      });
    }
  };
  (opts.buttons || []).forEach(function (def) {
    var b = vxEl("button", {
      className: def.primary ? "btn btn-primary" : "btn btn-secondary",
      text: def.label,
      attrs: { type: "button" },
      on: {
        click: function () {
          if (!def.keep) dialog.close();
          if (def.action) def.action(dialog);
        }
      }
    });
    def.node = b;
    buttons.appendChild(b);
  });
  dialog.cancel = (opts.buttons || []).filter(function (s) {
    return s.cancel;
  })[0];
  document.body.appendChild(overlay);
  vxDialogs.push(dialog);
  vxSetInert();
  var first = (opts.buttons || []).filter(function (s) {
    return s.primary;
  })[0] || (opts.buttons || [])[0];
  if (first && first.node) first.node.focus();
  return dialog;
}

// Only the top dialog takes input; the page and the dialogs below it are inert.
function vxSetInert() {
  var main = document.querySelector("main");
  var top = vxDialogs[vxDialogs.length - 1];
  if (main) {
    main.inert = !!top;
    if (top) main.setAttribute("aria-hidden", "true");
    else main.removeAttribute("aria-hidden");
  }
  vxDialogs.forEach(function (d) {
    d.node.inert = d !== top;
  });
}

function vxFocusables(root) {
  if (!root) return [];
  return Array.prototype.filter.call(
    root.querySelectorAll("button, input, a[href], [tabindex]:not([tabindex='-1'])"),
    function (e) {
      return !e.disabled && !e.hidden && e.offsetParent !== null;
    });
}

function vxFocusFirst(root) {
  var f = vxFocusables(root)[0];
  if (f) f.focus();
}

// Tab stays inside the top dialog; Escape cancels it when it has a cancel button.
function vxInstallKeys() {
  document.addEventListener("keydown", function (e) {
    var top = vxDialogs[vxDialogs.length - 1];
    if (!top) return;
    if (e.key === "Escape" && top.cancel) {
      e.preventDefault();
      top.cancel.node.click();
      return;
    }
    if (e.key !== "Tab") return;
    var items = vxFocusables(top.node);
    if (!items.length) {
      e.preventDefault();
      return;
    }
    var i = items.indexOf(document.activeElement);
    var next = e.shiftKey ? (i <= 0 ? items.length - 1 : i - 1) : (i < 0 || i === items.length - 1 ? 0 : i + 1);
    e.preventDefault();
    items[next].focus();
  });
}

// ---------------------------------------------------------------- service requests

function vxEscape(value) {
  if (value === null || value === undefined) return "";
  return String(value).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
}

// The address of `method`: the API address of the service the call is for when we know it,
// else the service address; "json/" and the method follow. getUser and loginUser go over TLS.
function vxRpcUrl(method, args) {
  var base = vx.svcurl;
  var sid = args ? args.serviceid : undefined;
  if (sid !== undefined && sid !== null && Object.prototype.hasOwnProperty.call(vx.services, String(sid))) {
    var api = vx.services[String(sid)].apiurl;
    if (typeof api === "string" && /^https?:\/\/[^\/]/i.test(api)) base = api;
  }
  if (base.charAt(base.length - 1) !== "/") base += "/";
  var url = base + "json/" + method;
  if (method === "getUser" || method === "loginUser") url = url.replace(/^http:/i, "https:");
  return url;
}

// The request body: the bare envelope with one element per argument and, unless the caller
// gave one or signs in, the session token.
function vxRpcBody(method, args) {
  var body = "<soapenv:Envelope><soapenv:Body><" + method + ">";
  var hasToken = false;
  for (var name in args) {
    if (!Object.prototype.hasOwnProperty.call(args, name)) continue;
    if (!/^[A-Za-z_][A-Za-z0-9_.-]*$/.test(name)) continue;
    if (name === "valtoken") hasToken = true;
    body += "<" + name + ">" + vxEscape(args[name]) + "</" + name + ">";
  }
  if (!hasToken && method !== "loginUser") body += "<valtoken>" + vxEscape(vx.valtoken) + "</valtoken>";
  return body + "</" + method + "></soapenv:Body></soapenv:Envelope>";
}

// Answers as logged: session tokens are never written to the log.
function vxMaskTokens(text) {
  return String(text).replace(/("(?:valtoken|access_token|token)"\s*:\s*")[^"]*/gi, "$1***");
}

// One call of the service's JSON API. `callback(answer, error)`: the answer object, or null
// and an error {ecode, message, transport}; `transport` is set when no service answer came
// (no connection, a time-out, an answer that is not JSON), as opposed to a refusal.
function rpc(method, args, callback) {
  args = args || {};
  var url = vxRpcUrl(method, args);
  var body = vxRpcBody(method, args);
  var done = false;
  vx.inflight++;
  vxLog("rpc " + method + " -> " + url);
  function finish(answer, error, status, raw) {
    if (done) return;
    done = true;
    vx.inflight--;
    if (vx.logmore || (method === "loginUser" && !(status >= 200 && status <= 299)))
      vxLog("rpc " + method + " <- " + status + " " + vxMaskTokens(raw || ""));
    if (!callback) return;
    try {
      callback(answer, error);
    } catch (e) {
      vxLog("rpc " + method + " handler failed: " + e);
    }
  }
  var x = new XMLHttpRequest();
  x.onload = function () {
    var text = x.responseText, a = null;
    try {
      a = JSON.parse(text);
    } catch (e) {}
    if (a && typeof a === "object" && !Array.isArray(a)) {
      if (Object.prototype.hasOwnProperty.call(a, "HB-EXCEPTION")) {
        var ex = a["HB-EXCEPTION"] || {};
        finish(null, {
          ecode: Number(ex.ecode) || 0,
          message: ex.message === undefined || ex.message === null ? "" : String(ex.message),
          transport: false
        }, x.status, text);
        return;
      }
      if (x.status >= 200 && x.status <= 299) {
        finish(a, null, x.status, text);
        return;
      }
    }
    finish(null, { ecode: 0, message: "HTTP " + x.status, transport: true }, x.status, text);
  };
  x.onerror = function () {
    finish(null, { ecode: 0, message: "no connection", transport: true }, 0, "");
  };
  x.ontimeout = function () {
    finish(null, { ecode: 0, message: "no answer in time", transport: true }, 0, "");
  };
  try {
    x.open("POST", url, true);
    x.timeout = VX_RPC_TIMEOUT_MS;
    x.send(body);
  } catch (e) {
    setTimeout(function () {
      finish(null, { ecode: 0, message: String(e), transport: true }, 0, "");
    }, 0);
  }
}

// ---------------------------------------------------------------- start-up checks

// On Windows the program vouches for the system and the browser engine; elsewhere there is
// nothing to check.
function vxCheckRequirements(onOk) {
  if (!/Windows/i.test(navigator.userAgent)) {
    onOk();
    return;
  }
  var failed = vxCall("isCurrentOSGranted") === false ? ["os", "learn", "openLearnMore"] :
      vxCall("isCurrentBrowserGranted") === false ? ["upgrade", "button", "openUpgadeBrowser"] : null;
  if (!failed) {
    onOk();
    return;
  }
  vxDialog({
    title: ytol("orvane." + failed[0] + ".title"), text: ytol("orvane." + failed[0] + ".text"), icon: "warning",
    buttons: [{
      label: ytol("orvane." + failed[0] + "." + failed[1]), primary: true,
      action: function () {
        vxCall(failed[2]);
        vxCheckRequirements(onOk);
      }
    }]
  });
}

// Asks the service for its version; without one, a dialog offers to check again.
function vxCheckNetwork(onOk) {
  rpc("getVersion", {}, function (answer) {
    if (answer && answer.version !== undefined && answer.version !== null) {
      onOk();
      return;
    }
    var dialog = vxDialog({
      title: ytol("orvane.neterr.title"), text: ytol("orvane.neterr.text"), icon: "warning",
      buttons: [{
        label: ytol("orvane.neterr.refresh"), primary: true, keep: true,
        action: function (d) {
          d.busy(ytol("orvane.neterr.checking"));
          rpc("getVersion", {}, function (again) {
            if (again && again.version !== undefined && again.version !== null) {
              d.close();
              onOk();
            } else {
              d.busy(false);
            }
          });
        }
      }]
    });
    dialog.node.classList.add("dialog-network");
  });
}
