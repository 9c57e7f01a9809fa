// The preferences page: which folders are backed up. A checked folder has a backup task; new
// tasks wait until the page closes and then start together.

var pState = { added: [], seq: 0 };

function pByName(a, b) {
  var x = vxSourceName(a).toLowerCase(), y = vxSourceName(b).toLowerCase();
  return x < y ? -1 : x > y ? 1 : 0;
}

function pNotice(text, tone) {
  var n = $id("notice");
  n.className = "notice" + (tone ? " tone-" + tone : "");
  vxText(n, text || "");
  vxShow(n, !!text);
}

function pTasksOf(sourceid) {
  return vxTasks().filter(function (t) {
    return vxStr(t.sourceid) === sourceid;
  });
}

function pAddTask(source) {
  var sid = vxStr(source.sourceid);
  if (!vxDest.uri) {
    pNotice(ytol("orvane.picker.nodest"), "amber");
    return false;
  }
  var task = vxCall("addAutoImportFromSource", sid, vxDest.uri);
  if (!task || typeof task !== "object" || !task.taskid) {
    pNotice(ytol("orvane.picker.addfail", vxSourceName(source)), "red");
    return false;
  }
  pState.added.push(vxStr(task.taskid));
  return true;
}

function pToggle(source, box) {
  pNotice(null);
  if (box.checked) {
    box.checked = pAddTask(source);
    return;
  }
  var removed = 0, tasks = pTasksOf(vxStr(source.sourceid));
  tasks.forEach(function (t) {
    var id = vxStr(t.taskid);
    if (vxCall("removeTask", id) === 1) removed++;
    pState.added = pState.added.filter(function (a) {
      return a !== id;
    });
  });
  if (tasks.length && !removed) {
    box.checked = true;
    pNotice(ytol("orvane.picker.removefail", vxSourceName(source)), "red");
  }
}

// Lists the sources, sorted by name whatever the case; `focusId` names a source to bring into
// view and focus.
function pRender(focusId) {
  var list = $id("source-list");
  var focused = document.activeElement && document.activeElement.getAttribute &&
      document.activeElement.getAttribute("data-sourceid");
  var sources = vxSources().slice().sort(pByName);
  var withTask = {};
  vxTasks().forEach(function (t) {
    withTask[vxStr(t.sourceid)] = true;
  });
  vxClear(list);
  vxShow(list, sources.length > 0);
  sources.forEach(function (source) {
    var sid = vxStr(source.sourceid);
    var id = "src-" + ++pState.seq;
    var box = vxEl("input", { attrs: { type: "checkbox", id: id, "data-sourceid": sid } });
    box.checked = !!withTask[sid];
    box.addEventListener("change", function () {
      pToggle(source, box);
    });
    var name = vxEl("span", { className: "source-name fit" });
    var path = vxEl("span", { className: "source-path caption fit" });
    var item = vxEl("li", { className: "source", attrs: { "data-sourceid": sid } }, [
      vxEl("label", { attrs: { for: id } }, [box, vxEl("span", { className: "source-text" }, [name, path])])
    ]);
    list.appendChild(item);
    vxFitMiddle(name, vxSourceName(source));
    vxFitMiddle(path, vxSourceFolder(source));
    if (sid === focusId) {
      item.classList.add("flash");
      item.scrollIntoView({ block: "nearest" });
      box.focus();
    } else if (!focusId && sid === focused) {
      box.focus();
    }
  });
  vxShow($id("source-empty"), sources.length === 0);
  vxRefit();
}

// The folder dialog of the program. A folder that is already listed is not added twice: the
// new source goes again, and the listed one is backed up if it was not.
function pAddFolder() {
  pNotice(null);
  var source = vxCall("doAutoImportSourceDialog", "user");
  if (!source || typeof source !== "object" || !source.sourceid) return;
  var sid = vxStr(source.sourceid);
  var folder = vxSourceFolder(source);
  var key = folder ? vxFolderKey(folder) : null;
  var dup = key && vxSources().filter(function (s) {
    return vxStr(s.sourceid) !== sid && vxStr(s.sourceclass) === "user" &&
        vxArray(s.uris).some(function (u) {
          return vxFolderKey(u) === key;
        });
  })[0];
  if (dup) {
    vxCall("removeAutoImportSource", sid);
    pNotice(ytol("orvane.picker.duplicate", vxSourceName(dup)));
    if (!pTasksOf(vxStr(dup.sourceid)).length) pAddTask(dup);
    pRender(vxStr(dup.sourceid));
    return;
  }
  pAddTask(source);
  pRender(sid);
}

// Done: the tasks added here start (unless all backup is paused), and the window hides.
function pClose() {
  if (vxCall("getCurrentState") !== "paused") {
    var live = {};
    vxTasks().forEach(function (t) {
      live[vxStr(t.taskid)] = true;
    });
    pState.added.forEach(function (id) {
      if (live[id]) vxCall("pauseTask", id, 0);
    });
  }
  pState.added = [];
  vxSetProp("picker-closed", "1");
  pNotice(null);
  vxCall("showPreferences", "hide");
}

function pShowDestination(ok, service) {
  var name = ok ? vxStr(service && service.name) : "";
  vxText($id("dest-text"), name ? ytol("orvane.picker.text", name) : ytol("orvane.picker.textnodrive"));
}

// Whether new backups take videos: the program's setting "backupvideos", on unless it is "0".
// Saved backups keep the choice they were made with.
function pShowVideos() {
  $id("videos").checked = vxStr(vxCall("getAppSetting", "backupvideos")) !== "0";
}

function pSetVideos() {
  vxCall("setAppSetting", "backupvideos", $id("videos").checked ? "1" : "0");
  // What the program holds, should it not have taken the change.
  pShowVideos();
}

function preferencesStart() {
  $id("add-folder").addEventListener("click", pAddFolder);
  $id("videos").addEventListener("change", pSetVideos);
  $id("done").addEventListener("click", pClose);
  // The window is hidden and shown again without a new page: list afresh when it shows.
  document.addEventListener("visibilitychange", function () {
    if (document.hidden) return;
    pRender();
    pShowVideos();
    ensureDestination({}, pShowDestination);
  });
  pRender();
  pShowVideos();
  vxCheckRequirements(function () {
    vxCheckNetwork(function () {
      ensureDestination({}, pShowDestination);
    });
  });
}

vxStart(preferencesStart);
