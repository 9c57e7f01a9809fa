// The login page: verifies a stored session, or shows the tour whose "Get Started" opens the
// service's web sign-in. The program catches the token at the end of that sign-in.

function siScreen(name, busyText) {
  vxShow($id("checking"), name === "checking");
  vxShow($id("tour"), name === "tour");
  if (name === "checking") {
    vxClear($id("checking-busy"));
    $id("checking-busy").appendChild(vxBusy(busyText));
  }
}

// The host (and port) of an address.
function siHost(url) {
  var m = /^[a-z][a-z0-9+.\-]*:\/\/(?:[^@\/?#]*@)?([^\/?#\\]+)/i.exec(vxStr(url));
  return m ? m[1] : "";
}

function siShowTour() {
  siScreen("tour");
}

// A stored token: the service tells whether it still stands. Refused: sign out (the program
// then shows this page again without a token). No answer at all: the person may retry or
// sign out, but a network failure alone never drops the session.
function siVerify() {
  siScreen("checking", ytol("orvane.verify"));
  rpc("getUser", {}, function (answer, error) {
    if (answer && answer.user && typeof answer.user === "object") {
      siScreen("checking", ytol("orvane.signingin"));
      vxCall("loginUser", vx.valtoken);
      return;
    }
    if (error && error.transport) {
      vxDialog({
        title: ytol("orvane.neterr.title"), text: ytol("orvane.neterr.text"), icon: "warning",
        buttons: [
          { label: ytol("orvane.neterr.refresh"), primary: true, action: siVerify },
          { label: ytol("orvane.nodest.signout"), action: siSignOut }
        ]
      });
      return;
    }
    vxLog("stored session refused (" + (error ? error.ecode : "no user") + ")");
    siSignOut();
  });
}

function siSignOut() {
  vxSignOut();
  vx.valtoken = null;
  siShowTour();
}

function siGetStarted() {
  var button = $id("start");
  if (button.disabled) return;
  button.disabled = true;
  vxClear($id("start-busy"));
  $id("start-busy").appendChild(vxBusy(ytol("orvane.opening")));
  vxShow($id("start-note"), false);
  vxCheckNetwork(function () {
    var client = vxProp("testoauthclientid") || YTOL["orvane.clientid"];
    vxStat("getStarted");
    location.href = "https://" + siHost(vx.svcurl) + ytol("si.url", encodeURIComponent(client));
  });
}

function signinStart() {
  $id("start").addEventListener("click", siGetStarted);
  // A page shown again from the history must not keep a half-started sign-in.
  window.addEventListener("pageshow", function (e) {
    if (!e.persisted) return;
    $id("start").disabled = false;
    vxClear($id("start-busy"));
    vxShow($id("start-note"), true);
  });
  siScreen("checking", vx.valtoken ? ytol("orvane.verify") : ytol("orvane.neterr.checking"));
  vxCheckRequirements(function () {
    vxCheckNetwork(function () {
      if (vx.valtoken) siVerify();
      else siShowTour();
    });
  });
}

vxStart(signinStart);
