// Backup sources and tasks, and the destination check shared by the pages.

// The destination of new backups: "ytozv://DEVICE:SERVICE" and its service record.
var vxDest = { uri: null, service: null };

var TASK_ERROR_GENERAL = 0x01, TASK_ERROR_NO_SPACE = 0x02, TASK_ERROR_NO_CONNECTION = 0x04,
    TASK_ERROR_OFFLINE = 0x08, TASK_ERROR_NOT_AUTHORIZED = 0x10;

// What can stand in a backup's way ("problem" of a task), with the colour it is shown in: red
// when only the person can clear it, amber when it clears by itself or by plugging something in.
var VX_PROBLEMS = {
  drivefull: "red",
  signin: "red",
  localdisk: "amber",
  offline: "amber",
  unavailable: "amber"
};

// Service records carry flags as booleans (JSON) or as "1"/"0".
function vxFlag(v) {
  return v === true || v === 1 || v === "1" || v === "true";
}

function vxInt(v) {
  var n = parseInt(v, 10);
  return isNaN(n) ? 0 : n;
}

function vxStr(v) {
  return v === null || v === undefined ? "" : String(v);
}

function vxValidServices(list) {
  return list.filter(function (s) {
    return s && typeof s === "object" && vxFlag(s.online) && !vxFlag(s.readonly) &&
        vxStr(s.type).indexOf(":plugfs") >= 0 && vxStr(s.deviceid) && vxStr(s.serviceid);
  });
}

function vxServiceKey(s) {
  return vxStr(s.deviceid) + ":" + vxStr(s.serviceid);
}

// Makes sure there is a drive to back up to. `done(ok, service)` runs when the check ends: true
// with the destination set, false when no drive can be used (the page then shows its failure
// status). It may run again, after the person retries from the dialog.
// opts.remount: remount the drive once the destination is known.
function ensureDestination(opts, done) {
  opts = opts || {};
  rpc("listServices", {}, function (answer, error) {
    if (!answer || !Array.isArray(answer.services)) {
      if (error && error.ecode === 606) {
        vxLog("listServices: not authorized, signing out");
        vxSignOut();
        return;
      }
      vxLog("listServices: no services (" + (error ? error.ecode + " " + error.message : "no list") + ")");
      done(false, null);
      return;
    }
    vx.services = {};
    answer.services.forEach(function (s) {
      if (s && typeof s === "object" && s.serviceid !== undefined) vx.services[vxStr(s.serviceid)] = s;
    });
    var valid = vxValidServices(answer.services);
    if (!valid.length) {
      noDestination(opts, done);
      return;
    }
    var saved = vxProp("hivedest");
    var current = saved && valid.filter(function (s) {
      return vxServiceKey(s) === saved;
    })[0];
    if (!current) {
      useService(valid[0], opts, done);
      return;
    }
    rpc("getFile", { deviceid: current.deviceid, serviceid: current.serviceid, fileid: "0" },
      function (file, err) {
        if (file && file.file && typeof file.file === "object") {
          vxDest.uri = "ytozv://" + saved;
          vxDest.service = current;
          if (opts.remount) vxCall("updateMountedDriver");
          done(true, current);
        } else if (err && err.ecode === 804) {
          vxLog("destination folder lost, setting it up again on " + saved);
          useService(current, opts, done);
        } else {
          noDestination(opts, done);
        }
      });
  });
}

function useService(s, opts, done) {
  var key = vxServiceKey(s);
  if (opts.remount) vxCall("updateMountedDriver");
  vxDest.uri = "ytozv://" + key;
  vxDest.service = s;
  vxSetProp("hivedest", key);
  done(true, s);
}

var vxNoDestDialog = null;

function noDestination(opts, done) {
  vxDest.uri = null;
  vxDest.service = null;
  done(false, null);
  if (vxNoDestDialog && !vxNoDestDialog.closed) return;
  vxNoDestDialog = vxDialog({
    title: ytol("orvane.nodest.title"), text: ytol("orvane.nodest.text"), icon: "warning",
    buttons: [
      {
        label: ytol("but.retry"), primary: true,
        action: function () {
          vxCheckNetwork(function () {
            ensureDestination(opts, done);
          });
        }
      },
      { label: ytol("orvane.nodest.signout"), action: vxSignOut }
    ]
  });
}

// "12.3 GB" for a byte count.
function vxBytes(n) {
  n = Number(n);
  if (!isFinite(n) || n < 0) return "";
  var units = ["bytes", "KB", "MB", "GB", "TB"];
  var i = 0;
  while (n >= 1000 && i < units.length - 1) {
    n /= 1000;
    i++;
  }
  return (i === 0 ? String(n) : n >= 100 ? n.toFixed(0) : n.toFixed(1)) + " " + units[i];
}

// The free and total space of a service record ("free/total"), or null.
function vxSpace(s) {
  var m = /^(\d+)\/(\d+)$/.exec(vxStr(s && s.space));
  return m ? { free: Number(m[1]), total: Number(m[2]) } : null;
}

// ---------------------------------------------------------------- sources and tasks

function vxArray(v) {
  if (!v) return [];
  if (Array.isArray(v)) return v;
  // A script array from another engine: copy by index.
  var out = [];
  var n = vxInt(v.length);
  for (var i = 0; i < n; i++) out.push(v[i]);
  return out;
}

function vxSources() {
  return vxArray(vxCall("getAutoImportSources")).filter(function (s) {
    return s && typeof s === "object";
  });
}

function vxTasks() {
  return vxArray(vxCall("getAutoImportTasks")).filter(function (t) {
    return t && typeof t === "object";
  });
}

function vxTaskErrors(taskid) {
  return vxArray(vxCall("getTaskErrors", vxStr(taskid))).filter(function (e) {
    return e && typeof e === "object";
  });
}

// The local path of a source address ("file:///home/a/Pictures" or a plain path).
function vxPathOf(uri) {
  var u = vxStr(uri);
  var m = /^file:\/\/[^\/]*(\/.*)$/i.exec(u);
  if (m) {
    try {
      u = decodeURIComponent(m[1]);
    } catch (e) {
      u = m[1];
    }
  }
  return u;
}

// A folder as compared for duplicates: its path without trailing separators.
function vxFolderKey(uri) {
  var p = vxPathOf(uri).replace(/[\/\\]+$/, "");
  return p || "/";
}

function vxSourceFolder(source) {
  var uris = vxArray(source && source.uris);
  return uris.length ? vxPathOf(uris[0]) : "";
}

// The name to show for a source: its display name, else the last part of its folder.
function vxSourceName(source) {
  var name = vxStr(source && source.name);
  if (name) return name;
  return vxFileName(vxSourceFolder(source)) || vxSourceFolder(source);
}

// The part after the last "/" or "\".
function vxFileName(uri) {
  var u = vxStr(uri);
  var i = Math.max(u.lastIndexOf("/"), u.lastIndexOf("\\"));
  return i >= 0 ? u.slice(i + 1) : u;
}

// The kind of a task error from its mask: "nospace", "noconn", "offline" or "unknown".
function vxErrorKind(mask) {
  mask = vxInt(mask);
  if (mask & TASK_ERROR_NO_SPACE) return "nospace";
  if (mask & TASK_ERROR_NO_CONNECTION) return "noconn";
  if (mask & TASK_ERROR_OFFLINE) return "offline";
  return "unknown";
}

// Tasks the person paused from the main page, kept as the user property "paused-tasks": a
// task paused that way reads "Paused"; one that paused itself waits for a network.
function vxPausedByPerson() {
  var v = vxProp("paused-tasks");
  return v ? v.split(",").filter(Boolean) : [];
}

function vxSetPausedByPerson(taskid, paused) {
  var ids = vxPausedByPerson().filter(function (id) {
    return id !== taskid;
  });
  if (paused) ids.push(taskid);
  vxSetProp("paused-tasks", ids.join(","));
}

// "1 photo waits" / "N photos wait" style texts: `key` + "1" or `key` + "n".
function vxCount(key, n) {
  return n === 1 ? ytol(key + "1") : ytol(key + "n", n);
}

// What a backup task is doing, in words. ctx: {paused: [taskids paused by the person],
// backupPaused, now}. Returns {kind, tone, text, detail, note, leftout, leftoutHint, percent,
// file, at, total, canPause, canResume, canSignIn, errors}; kind is one of running, preparing,
// pending, pausing, paused, offline, uptodate, retry, failed, idle, or a problem (drivefull,
// signin, localdisk, unavailable; "problem" for one this page does not know); tone is accent,
// green, amber, red or grey. `note` says how many photos wait and when the next try is;
// `leftout` what the last run left out.
function vxTaskStatus(t, ctx) {
  ctx = ctx || {};
  var state = vxStr(t.state);
  if (!state) {
    // Records without a state name: read the flags.
    state = vxStr(t.running) === "1" ? "running" : vxStr(t.cancelled) === "1" ? "canceled" :
        vxStr(t.finished) === "1" ? "finished" : "pending";
  }
  var errors = vxInt(t.errors), mask = vxInt(t.errormask);
  var ts = Number(vxStr(t.timestamp));
  var last = isFinite(ts) && ts > 0 ? ytol("orvane.task.last", vxFormatTime(ts, ctx.now)) :
      ytol("orvane.task.lastnone");
  var s = { kind: "idle", tone: "grey", text: ytol("orvane.task.idle"), detail: last, note: "",
    leftout: "", leftoutHint: "", percent: null, file: "", at: 0, total: 0, canPause: false,
    canResume: false, canSignIn: false, errors: errors };
  switch (state) {
    case "running":
      var total = vxInt(t.totfiles), index = vxInt(t.currfileidx);
      var filePct = Math.min(100, Math.max(0, vxInt(t.currentfileprogress)));
      var name = vxFileName(t.currentfile);
      s.kind = "running";
      s.tone = "accent";
      s.canPause = true;
      s.file = name;
      if (total > 0) {
        s.at = Math.min(total, index + 1);
        s.total = total;
        s.text = ytol("orvane.task.running", s.at, total);
        s.percent = Math.min(100, Math.floor(((Math.min(index, total) + filePct / 100) / total) * 100));
      } else {
        s.text = ytol("orvane.task.preparing");
      }
      break;
    case "preparing":
      s.kind = "preparing";
      s.tone = "accent";
      s.text = ytol("orvane.task.preparing");
      s.canPause = true;
      break;
    case "pending":
      s.kind = "pending";
      s.tone = "accent";
      s.text = ytol("orvane.task.pending");
      s.canPause = true;
      break;
    case "canceling":
      s.kind = "pausing";
      s.tone = "amber";
      s.text = ytol("orvane.task.canceling");
      break;
    case "canceled":
      s.tone = "amber";
      s.canResume = true;
      if (ctx.backupPaused || (ctx.paused || []).indexOf(vxStr(t.taskid)) >= 0) {
        s.kind = "paused";
        s.text = ytol("orvane.task.paused");
      } else {
        s.kind = "offline";
        s.text = ytol("orvane.task.offline");
        s.detail = ytol("orvane.task.offlinehint");
      }
      break;
    case "finished":
      if (errors <= 0) {
        s.kind = "uptodate";
        s.tone = "green";
        s.text = ytol("orvane.task.uptodate");
      } else if (!(mask & ~(TASK_ERROR_NO_CONNECTION | TASK_ERROR_OFFLINE)) && mask) {
        // Only the network failed: the task retries by itself.
        s.kind = "retry";
        s.tone = "amber";
        s.text = ytol("orvane.task.retry");
        s.detail = errors === 1 ? ytol("orvane.task.failed1") : ytol("orvane.task.failedn", errors);
      } else {
        s.kind = "failed";
        s.tone = "red";
        s.text = errors === 1 ? ytol("orvane.task.failed1") : ytol("orvane.task.failedn", errors);
      }
      break;
  }

  // What stands in the way, in words, unless the task is at work or the person paused it.
  var problem = vxStr(t.problem), waiting = Math.max(0, vxInt(t.waiting));
  var inText = false;
  if (problem && ["running", "preparing", "pausing", "paused"].indexOf(s.kind) < 0) {
    if (Object.prototype.hasOwnProperty.call(VX_PROBLEMS, problem)) {
      s.kind = problem;
      s.tone = VX_PROBLEMS[problem];
      if (problem === "drivefull" && waiting > 0) {
        s.text = vxCount("orvane.problem.drivefull", waiting);
        inText = true;
      } else {
        s.text = ytol("orvane.problem." + problem);
      }
      s.detail = ytol("orvane.problem." + problem + "hint");
    } else {
      // A problem of a newer engine: its own words.
      s.kind = "problem";
      s.tone = "red";
      s.text = vxStr(t.problemtext) || ytol("orvane.problem.other");
      s.detail = last;
    }
    if (problem === "signin") {
      s.canSignIn = true;
      s.canResume = false;
    }
  }
  var note = [];
  if (waiting > 0 && !inText && s.kind !== "running") note.push(vxCount("orvane.task.waiting", waiting));
  var retry = Number(vxStr(t.nextretry));
  var now = ctx.now || Date.now();
  if (isFinite(retry) && retry > now && ["running", "preparing", "pausing", "paused"].indexOf(s.kind) < 0) {
    var at = vxFormatTime(retry, now);
    if (s.kind === "retry") s.text = ytol("orvane.task.retryat", at);
    else note.push(ytol("orvane.task.next", at));
  }
  s.note = note.join(" · ");

  // Files of kinds that are not backed up (documents, videos when they are off).
  var leftout = Math.max(0, vxInt(t.leftout)), kinds = vxStr(t.leftoutkinds).trim();
  if (kinds.length > 300) kinds = kinds.slice(0, 299) + "…";
  if (leftout && kinds)
    s.leftout = leftout === 1 ? ytol("orvane.task.leftout1", kinds) : ytol("orvane.task.leftoutn", leftout, kinds);
  else if (leftout)
    s.leftout = vxCount("orvane.task.leftoutbare", leftout);
  s.leftoutHint = !leftout ? "" : ytol(vxStr(t.videos) === "1" ? "orvane.task.leftouthintvideos" :
      "orvane.task.leftouthint");
  return s;
}
