// The main page: whether the drive is ready, what every backup is doing, and the two bottom
// buttons. The backup list is read from the program every two seconds while the page shows.

var B_REFRESH_MS = 2000;
var B_MAX_ERRORS = 100;

var bState = {
  started: false,
  pendingNotice: null,
  unavailable: null,   // the drive-not-available dialog while it shows
  cards: {},           // taskid -> card
  order: "",
  timer: null,
  cardSeq: 0
};

// ---------------------------------------------------------------- the drive

function bShowDrive(state, service) {
  var box = $id("drive");
  box.setAttribute("data-state", state);
  var icon = $id("drive-icon");
  var detail = "";
  if (state === "ready") {
    icon.src = "success-icon.png";
    vxText($id("drive-title"), ytol("orvane.status.ok"));
    var name = vxStr(service && service.name);
    var space = vxSpace(service);
    var free = space ? ytol("orvane.status.okspace", vxBytes(space.free), vxBytes(space.total)) : "";
    detail = name && free ? name + " · " + free : name || free;
  } else if (state === "unavailable") {
    icon.src = "warning-icon.png";
    vxText($id("drive-title"), ytol("orvane.status.fail"));
    detail = ytol("orvane.status.failtext");
  } else {
    icon.src = "orvane-logo.png";
    vxText($id("drive-title"), ytol("orvane.status.checking"));
  }
  vxFitMiddle($id("drive-detail"), detail);
  vxShow($id("drive-retry"), state === "unavailable");
}

function bCheckDrive() {
  bShowDrive("checking");
  ensureDestination({}, function (ok, service) {
    bShowDrive(ok ? "ready" : "unavailable", service);
  });
}

// The program tells us that the drive of a mount is gone.
function yto_driveNotAvailable(driveName, serviceId, deviceId) {
  if (!bState.started) {
    bState.pendingNotice = [driveName, serviceId, deviceId];
    return;
  }
  vxLog("drive not available: " + driveName);
  ensureDestination({}, function (ok, service) {
    bShowDrive(ok ? "ready" : "unavailable", service);
    if (!ok || (bState.unavailable && !bState.unavailable.closed)) return;
    bShowUnavailable(vxStr(driveName), vxStr(serviceId), vxStr(deviceId));
  });
}

function bShowUnavailable(name, serviceId, deviceId) {
  bState.unavailable = vxDialog({
    title: ytol("orvane.unavail.title", name), text: ytol("orvane.unavail.text"), icon: "warning",
    buttons: [
      {
        label: ytol("but.retry"), primary: true, keep: true,
        action: function (d) {
          d.busy(ytol("orvane.processing"));
          rpc("getService", { deviceid: deviceId, serviceid: serviceId }, function (answer) {
            if (answer && answer.service && typeof answer.service === "object") {
              d.close();
              vxCall("updateMountedDriver");
              return;
            }
            d.busy(false);
            d.setText(ytol("orvane.unavail.still", name));
          });
        }
      },
      {
        label: ytol("orvane.unavail.continue"), cancel: true,
        action: function () {
          vxCall("updateMountedDriver");
        }
      }
    ]
  });
}

// ---------------------------------------------------------------- the backups

function bNewCard(taskid) {
  var n = ++bState.cardSeq;
  var c = { taskid: taskid, kind: null, expanded: false };
  c.name = vxEl("h3", { className: "task-name fit", attrs: { id: "task-name-" + n } });
  c.action = vxEl("button", {
    className: "btn task-action", attrs: { type: "button" },
    on: { click: function () { bToggleTask(c); } }
  });
  c.dot = vxEl("span", { className: "dot", attrs: { "aria-hidden": "true" } });
  c.text = vxEl("span", { className: "task-text" });
  c.percent = vxEl("span", { className: "task-percent" });
  c.bar = vxEl("div", { className: "progress-bar" });
  c.progress = vxEl("div", {
    className: "progress",
    attrs: { role: "progressbar", "aria-valuemin": 0, "aria-valuemax": 100, "aria-labelledby": "task-name-" + n }
  }, [c.bar]);
  c.file = vxEl("p", { className: "task-file caption fit" });
  c.detail = vxEl("p", { className: "task-detail caption" });
  c.note = vxEl("p", { className: "task-note caption" });
  c.leftout = vxEl("p", { className: "task-leftout caption" });
  c.show = vxEl("button", {
    className: "link task-show",
    attrs: { type: "button", "aria-expanded": "false", "aria-controls": "task-errors-" + n },
    on: { click: function () { c.expanded = !c.expanded; bUpdateErrors(c); } }
  });
  c.errors = vxEl("ul", { className: "task-errors", attrs: { id: "task-errors-" + n } });
  c.node = vxEl("article", { className: "task card slide-in", attrs: { "aria-labelledby": "task-name-" + n, "data-taskid": taskid } }, [
    vxEl("div", { className: "task-head" }, [c.name, c.action]),
    vxEl("p", { className: "task-state" }, [c.dot, c.text, c.percent]),
    c.progress,
    c.file,
    vxEl("div", { className: "task-foot" }, [c.detail, c.show]),
    c.note,
    c.leftout,
    c.errors
  ]);
  return c;
}

function bToggleTask(c) {
  if (!c.status) return;
  if (c.status.canSignIn) {
    // Signing out shows the login window, where the person signs in again.
    vxSignOut();
    return;
  }
  var pause = c.status.canPause;
  vxCall("pauseTask", c.taskid, pause ? 1 : 0);
  vxSetPausedByPerson(c.taskid, pause);
  bRefresh();
  c.action.focus();
}

function bUpdateCard(c, task, name, ctx) {
  var s = vxTaskStatus(task, ctx);
  c.status = s;
  c.label = name;
  c.node.className = "task card tone-" + s.tone + (c.node.classList.contains("slide-in") ? " slide-in" : "");
  c.node.setAttribute("data-kind", s.kind);
  vxFitMiddle(c.name, name);
  vxText(c.text, s.text);
  var running = s.percent !== null;
  vxShow(c.progress, running);
  vxShow(c.percent, running);
  vxShow(c.file, running && !!s.file);
  if (running) {
    vxText(c.percent, ytol("orvane.task.percent", s.percent));
    c.bar.style.width = s.percent + "%";
    c.progress.setAttribute("aria-valuenow", s.percent);
    c.progress.setAttribute("aria-valuetext", s.file ? ytol("orvane.task.runningfile", s.at, s.total, s.file) : s.text);
    vxFitMiddle(c.file, s.file);
  }
  vxText(c.detail, s.detail);
  vxText(c.note, s.note);
  vxShow(c.note, !!s.note);
  vxText(c.leftout, s.leftout);
  c.leftout.title = s.leftout ? s.leftout + "\n" + s.leftoutHint : "";
  vxShow(c.leftout, !!s.leftout);
  var act = s.canSignIn ? "signin" : s.canPause ? "pause" : s.canResume ? "resume" : "";
  vxShow(c.action, !!act);
  if (act) {
    vxText(c.action, ytol("orvane.task." + act));
    c.action.setAttribute("aria-label", ytol("orvane.task." + act + "label", name));
  }
  vxShow(c.show, s.errors > 0);
  if (s.errors <= 0) c.expanded = false;
  bUpdateErrors(c);
  if (c.kind !== null && c.kind !== s.kind && s.kind !== "running")
    vxAnnounce(ytol("orvane.task.announce", name, s.text));
  c.kind = s.kind;
}

// The task's failed files by name and kind, while the person has them open.
function bUpdateErrors(c) {
  c.show.setAttribute("aria-expanded", c.expanded ? "true" : "false");
  vxText(c.show, ytol(c.expanded ? "orvane.task.hide" : "orvane.task.show"));
  c.show.setAttribute("aria-label", c.expanded ? ytol("orvane.task.hide") : ytol("orvane.task.showlabel", c.label || ""));
  vxShow(c.errors, c.expanded);
  if (!c.expanded) return;
  c.errors.setAttribute("aria-label", ytol("orvane.task.errlist", c.label || ""));
  var errors = vxTaskErrors(c.taskid);
  var key = JSON.stringify(errors.map(function (e) { return [vxStr(e.uri), vxStr(e.errormask)]; }));
  if (key === c.errorsKey) return;
  c.errorsKey = key;
  vxClear(c.errors);
  errors.slice(0, B_MAX_ERRORS).forEach(function (e) {
    var file = vxEl("span", { className: "err-file fit" });
    var kind = vxErrorKind(e.errormask);
    var item = vxEl("li", { className: "err", attrs: { "data-kind": kind } }, [
      file,
      vxEl("span", { className: "err-kind caption", text: ytol("orvane.fileerr." + kind) })
    ]);
    c.errors.appendChild(item);
    vxFitMiddle(file, vxFileName(e.uri));
    file.title = vxPathOf(e.uri);
  });
  if (errors.length > B_MAX_ERRORS) {
    c.errors.appendChild(vxEl("li", { className: "err caption", text: "… +" + (errors.length - B_MAX_ERRORS) }));
  }
}

function bTaskName(task, sources) {
  var sid = vxStr(task.sourceid);
  for (var i = 0; i < sources.length; i++) {
    if (vxStr(sources[i].sourceid) === sid) return vxSourceName(sources[i]);
  }
  var uris = vxArray(task.srcuris);
  var path = uris.length ? vxPathOf(uris[0]) : "";
  return vxFileName(path.replace(/[\/\\]+$/, "")) || path || sid;
}

function bRefresh() {
  if (document.hidden) return;
  var tasks = vxTasks(), sources = vxSources();
  var ctx = { paused: vxPausedByPerson(), backupPaused: vxCall("getCurrentState") === "paused" };
  var named = tasks.map(function (t) {
    return { task: t, id: vxStr(t.taskid), name: bTaskName(t, sources) };
  }).filter(function (t) { return t.id; });
  named.sort(function (a, b) {
    var x = a.name.toLowerCase(), y = b.name.toLowerCase();
    return x < y ? -1 : x > y ? 1 : a.id < b.id ? -1 : a.id > b.id ? 1 : 0;
  });
  var list = $id("task-list");
  // Shown first: names are cut to the room they have.
  vxShow(list, named.length > 0);
  var seen = {};
  named.forEach(function (t) {
    seen[t.id] = true;
    var c = bState.cards[t.id];
    if (!c) {
      c = bState.cards[t.id] = bNewCard(t.id);
      list.appendChild(c.node);
    }
    bUpdateCard(c, t.task, t.name, ctx);
  });
  Object.keys(bState.cards).forEach(function (id) {
    if (seen[id]) return;
    var c = bState.cards[id];
    if (c.node.contains(document.activeElement)) $id("open-online").focus();
    list.removeChild(c.node);
    delete bState.cards[id];
  });
  // Reorder only when the order changed: moving a card would take the focus from it.
  var order = named.map(function (t) { return t.id; }).join("\n");
  if (order !== bState.order) {
    bState.order = order;
    var focused = document.activeElement;
    named.forEach(function (t) { list.appendChild(bState.cards[t.id].node); });
    if (focused && focused !== document.activeElement && document.contains(focused)) focused.focus();
  }
  vxShow($id("task-empty"), named.length === 0);
  vxShow($id("folders"), named.length > 0);
  vxRefit();
}

// ---------------------------------------------------------------- the buttons

function bOpenOnline() {
  var button = $id("open-online");
  if (button.disabled) return;
  button.disabled = true;
  var tries = 0;
  function attempt() {
    rpc("generateGoURL", { path: ytol("orvane.gopath") }, function (answer) {
      if (answer && typeof answer.gourl === "string" && answer.gourl) {
        vxCall("openPellixBrowser", answer.gourl);
        button.disabled = false;
        return;
      }
      if (++tries < 2) {
        vxCheckNetwork(attempt);
        return;
      }
      button.disabled = false;
      vxDialog({
        title: ytol("orvane.bottom.open"), text: ytol("orvane.bottom.openfail"), icon: "warning",
        buttons: [{ label: ytol("but.ok"), primary: true, cancel: true }]
      });
    });
  }
  attempt();
}

function browserStart() {
  $id("open-online").addEventListener("click", bOpenOnline);
  $id("sign-out").addEventListener("click", vxSignOut);
  function openPreferences() {
    vxCall("showPreferences", null);
  }
  $id("folders").addEventListener("click", openPreferences);
  $id("folders-empty").addEventListener("click", openPreferences);
  $id("drive-retry").addEventListener("click", function () {
    vxCheckNetwork(bCheckDrive);
  });
  bShowDrive("checking");
  bRefresh();
  bState.timer = setInterval(bRefresh, B_REFRESH_MS);
  document.addEventListener("visibilitychange", bRefresh);
  vxCheckRequirements(function () {
    vxCheckNetwork(function () {
      vxStat("signIn");
      bState.started = true;
      var notice = bState.pendingNotice;
      bState.pendingNotice = null;
      if (notice) yto_driveNotAvailable(notice[0], notice[1], notice[2]);
      else bCheckDrive();
    });
  });
}

vxStart(browserStart);
