// The script bridge's method table and the conversion of core values into script values.
#include "zvbridge.h"

#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "appmsg.h"
#include "appplatform.h"
#include "brlog.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hburl.h"
#include "hbzvuri.h"
#include "vxclienttask.h"
#include "vxclienttaskqueue.h"
#include "zvbrowser.h"
#include "zvfsmanager.h"
#include "zvsession.h"

using json = nlohmann::json;

namespace {

constexpr const char *kTag = "SCRIPT";
constexpr const char *kBhost = "BHOST";
constexpr uint32_t kMethodFlag = 0x1;  // a method call
constexpr size_t kMaxArgs = 64;
constexpr int kMaxDepth = 8;  // nesting of wrapped lists

// A method's result: empty for undefined.
using Result = std::optional<json>;

struct Call {
  ZVWindowId window;
  const std::vector<json> &args;
};

// ---- Argument conversion ------------------------------------------------------------------
// A text argument: strings as they are, numbers and booleans in their script spelling; null,
// undefined, objects and arrays cannot be converted.
bool text(const json &v, std::string *out) {
  if (v.is_string()) {
    *out = v.get<std::string>();
  } else if (v.is_boolean()) {
    *out = v.get<bool>() ? "true" : "false";
  } else if (v.is_number_integer()) {
    *out = v.dump();
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (!std::isfinite(d)) return false;
    char buf[64];
    if (d == std::floor(d) && std::fabs(d) < 1e15)
      snprintf(buf, sizeof buf, "%.0f", d);
    else
      snprintf(buf, sizeof buf, "%.17g", d);
    *out = buf;
  } else {
    return false;
  }
  return true;
}

// An integer argument: 32-bit numbers (fractions rounded to the nearest), decimal texts,
// booleans as 1 and 0.
bool integer(const json &v, int32_t *out) {
  double d;
  if (v.is_boolean()) {
    *out = v.get<bool>() ? 1 : 0;
    return true;
  }
  if (v.is_number_integer() && v.is_number_unsigned()) {
    if (v.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) return false;
    *out = static_cast<int32_t>(v.get<uint64_t>());
    return true;
  }
  if (v.is_number_integer()) {
    const int64_t i = v.get<int64_t>();
    if (i < INT32_MIN || i > INT32_MAX) return false;
    *out = static_cast<int32_t>(i);
    return true;
  }
  if (v.is_number_float()) {
    d = std::nearbyint(v.get<double>());
  } else if (v.is_string()) {
    const std::string &s = v.get_ref<const std::string &>();
    char *end = nullptr;
    errno = 0;
    const long long i = strtoll(s.c_str(), &end, 10);
    while (end && *end == ' ') ++end;
    if (s.empty() || errno != 0 || !end || *end != 0) return false;
    d = static_cast<double>(i);
  } else {
    return false;
  }
  if (!std::isfinite(d) || d < INT32_MIN || d > INT32_MAX) return false;
  *out = static_cast<int32_t>(d);
  return true;
}

json textOrNull(int32_t rc, const std::string &value) {
  return rc < 0 ? json() : json(value);
}

// ---- Small helpers ------------------------------------------------------------------------
void openURL(const char *url) {
  HBRef<HBStrHeap> text;
  if (HBStrHeap::create(url, text) < 0) return;
  (void)appmsg__post(MSG_OPEN_URL,
                     reinterpret_cast<uintptr_t>(static_cast<IHBStr *>(text.detach())), 0);
}

// The user's Pictures or Documents folder: the XDG user directory, else the folder of that name
// in the home folder.
std::string userFolder(GUserDirectory which, const char *fallback) {
  const char *dir = g_get_user_special_dir(which);
  if (dir && *dir) return dir;
  return std::string(g_get_home_dir()) + "/" + fallback;
}

// ---- The methods --------------------------------------------------------------------------
Result getCurrentState(Call &) {
  std::string value;
  return textOrNull(hbproperties__getDefaultString("currentState", &value), value);
}

Result setState(Call &c) {
  std::string value;
  if (text(c.args[0], &value)) (void)hbproperties__setDefaultString("currentState", value.c_str());
  return std::nullopt;
}

Result getCurrentFileIndex(Call &) {
  return json(zvsession__fileIndex());
}

Result setCurrentFileIndex(Call &c) {
  int32_t index;
  if (integer(c.args[0], &index)) zvsession__setFileIndex(index);
  return std::nullopt;
}

Result getDefaultDeviceId(Call &) {
  return json(zvsession__selectedDrive().device);
}
Result getDefaultServiceId(Call &) {
  return json(zvsession__selectedDrive().service);
}

Result getFolderPath(Call &c) {
  std::string kind;
  if (!text(c.args[0], &kind)) return json("empty");
  if (kind == "pictures") return json(userFolder(G_USER_DIRECTORY_PICTURES, "Pictures"));
  if (kind == "documents") return json(userFolder(G_USER_DIRECTORY_DOCUMENTS, "Documents"));
  return json("empty");
}

Result getServiceURL(Call &) {
  const std::string url = hbsvc__getServiceURLText();
  return url.empty() ? json() : json(url);
}

Result getUserProperty(Call &c) {
  std::string name, value;
  if (!text(c.args[0], &name)) return json();
  if (hbproperties__getUserProperty(name.c_str(), &value) < 0) {
    brlog(kTag, BRLOG_VERBOSE2, "Looked Up Property '%s' --> null\n", name.c_str());
    return json();
  }
  if (name == "yto.computername")
    brlog(kTag, BRLOG_VERBOSE2, "Looked Up Computer Name '%s' --> '%s'\n", name.c_str(),
          value.c_str());
  else
    brlog(kTag, BRLOG_VERBOSE2, "Looked Up Property '%s' --> '%s'\n", name.c_str(), value.c_str());
  return json(value);
}

Result setUserProperty(Call &c) {
  std::string name, value;
  if (!text(c.args[0], &name) || !text(c.args[1], &value)) return std::nullopt;
  (void)hbproperties__setUserProperty(name.c_str(), value.c_str());
  if (name == "hivedest") zvsession__selectDriveFromHivedest(value.c_str());
  return std::nullopt;
}

// The program's own settings that the pages may read and write, each with the values it takes.
// The rest of the application key (the token, the service address) stays out of their reach.
struct AppSetting {
  const char *name;
  const char *const *values;  // null-terminated
};
const char *const kOnOff[] = {"0", "1", nullptr};
const AppSetting kAppSettings[] = {
    {"backupvideos", kOnOff},  // new backups take videos too ("1" or absent) or not ("0")
};

const AppSetting *appSetting(const std::string &name) {
  for (const AppSetting &setting : kAppSettings)
    if (name == setting.name) return &setting;
  return nullptr;
}

Result getAppSetting(Call &c) {
  std::string name, value;
  if (!text(c.args[0], &name) || !appSetting(name)) return json();
  return textOrNull(hbproperties__getDefaultString(name.c_str(), &value), value);
}

Result setAppSetting(Call &c) {
  std::string name, value;
  const AppSetting *setting = nullptr;
  bool allowed = false;
  if (text(c.args[0], &name) && text(c.args[1], &value) && (setting = appSetting(name)))
    for (const char *const *v = setting->values; *v && !allowed; ++v) allowed = value == *v;
  if (!allowed) {
    brlog(kTag, BRLOG_WARNING, "setAppSetting: '%.*s' = '%.*s' refused\n",
          static_cast<int>(std::min<size_t>(name.size(), 64)), name.c_str(),
          static_cast<int>(std::min<size_t>(value.size(), 64)), value.c_str());
    return std::nullopt;
  }
  const int32_t rc = hbproperties__setDefaultString(name.c_str(), value.c_str());
  brlog(kTag, rc < 0 ? BRLOG_WARNING : BRLOG_INFO, "setAppSetting: '%s' = '%s' (%d)\n",
        name.c_str(), value.c_str(), rc);
  return std::nullopt;
}

Result getValtoken(Call &) {
  std::string token;
  return textOrNull(hbsvc__getValtoken(&token), token);
}

// This platform reports version 10.0: newer than both checks ask for.
Result isCurrentOSGranted(Call &) {
  return json(true);
}
Result isCurrentBrowserGranted(Call &) {
  return json(true);
}

Result logMessage(Call &c) {
  std::string message;
  if (text(c.args[0], &message))
    brlog(kTag, BRLOG_INFO, "%-.*s\n", static_cast<int>(message.size()), message.c_str());
  return std::nullopt;
}

Result loginUser(Call &c) {
  std::string token;
  if (text(c.args[0], &token)) (void)zvsession__signIn(token.c_str());
  return std::nullopt;
}

Result logoutUser(Call &) {
  zvsession__signOut();
  return std::nullopt;
}

Result openBrowserWindowAt(Call &c) {
  std::string url;
  if (text(c.args[0], &url)) openURL(url.c_str());
  return std::nullopt;
}

Result openLearnMore(Call &) {
  openURL(ZVBROWSER_URL_HELP);
  return std::nullopt;
}

Result openUpgadeBrowser(Call &) {
  openURL(ZVBROWSER_URL_BROWSER_DOWNLOAD);
  return std::nullopt;
}

Result openPellixBrowser(Call &) {
  openURL(ZVBROWSER_URL_PARTNER);
  return std::nullopt;
}

Result setDriveEnabled(Call &c) {
  int32_t flag;
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (fs && integer(c.args[0], &flag)) fs->setDriveOn(flag != 0);
  return std::nullopt;
}

Result setFirstDriveLetter(Call &c) {
  std::string letter;
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (fs && text(c.args[0], &letter) && !letter.empty()) fs->setDriveLetter(letter[0]);
  return std::nullopt;
}

Result showPreferences(Call &c) {
  const json &action = c.args[0];
  if (action.is_null()) {
    // The main window's system command 121 runs the Preferences command.
    (void)appmsg__post(MSG_TRAY_COMMAND, ZVCMD_PREFERENCES, ZVBROWSER_LPARAM_COMMAND);
  } else if (action.is_string() && action.get<std::string>() == "hide") {
    zvbrowser__windows()->hide(ZVWIN_PREFS);
  }
  return std::nullopt;
}

Result updateMountedDriver(Call &) {
  HBRef<IZVFSManager> fs = zvfsmanager__get();
  if (!fs) return std::nullopt;
  if (fs->driveOn() || zvsession__selectedDrive().device.empty()) {
    fs->applyDriveSetting("0");
    fs->applyDriveSetting("1");
  }
  return std::nullopt;
}

// ---- The task queue ---------------------------------------------------------------------

// The process's queue, or nothing (the methods then answer their defaults).
HBRef<VXClientTaskQueue> queue() {
  HBRef<VXClientTaskQueue> q;
  (void)vxclienttaskqueue__getGlobal(q);
  return q;
}

// A core object as its script value; null when it cannot be shown.
json wrapped(IHBObj *object) {
  json value;
  return zvbridge__wrap(object, &value) ? value : json();
}

Result addAutoImportFromSource(Call &c) {
  std::string id, destination;
  HBRef<VXClientTaskQueue> q = queue();
  if (!q || !text(c.args[0], &id) || !text(c.args[1], &destination)) return std::nullopt;
  HBRef<VXClientTaskReference> source;
  HBRef<IHBZVURI> uri;
  if (q->findUserSource(source.out(), id.c_str()) < 0 || hbzvuri_new(uri, destination.c_str()) < 0)
    return std::nullopt;
  HBRef<VXClientTask> task;
  if (q->newAutoImportTask(task.out(), source->obj(), uri.get(), 0, 5) < 0 || !task)
    return std::nullopt;
  brlog(kTag, BRLOG_INFO, "addAutoImportFromSource: Wrapping new task\n");
  return wrapped(task->obj());
}

Result doAutoImportSourceDialog(Call &c) {
  std::string cls, path, name;
  HBRef<VXClientTaskQueue> q = queue();
  if (!q || !text(c.args[0], &cls)) return json();
  if (!zvbrowser__windows()->chooseFolder(ZVBROWSER_STR_SELECT_FOLDER, &path, &name)) return json();
  brlog(kTag, BRLOG_INFO, "User chose '%s' @ '%s'\n", name.c_str(), path.c_str());
  HBRef<VXClientTaskReference> ref;
  if (q->newReference(ref.out(), cls.c_str(), name.c_str(), nullptr, true) < 0) return json();
  HBRef<IHBURL> url;
  if (hburl__fromPath(url.out(), path.c_str()) < 0 || ref->addURI(url.get()) < 0) {
    // A folder of the drive itself would back the drive up into itself.
    const char *product = "Orvane Tessel Hard DriveUtility";
    const std::string caption = std::string(product) + " - Add Folders Failture";
    const std::string message = std::string("You can not add ") + product + " drivers or folders";
    appplatform__messageBox(message.c_str(), caption.c_str(), true);
    return json();
  }
  if (q->addUserSource(ref->obj(), VXTASKQ_SAVE) < 0) return json();
  brlog(kTag, BRLOG_INFO, "doAutoImportSourceDialog: Wrapping new reference\n");
  return wrapped(ref->obj());
}

Result getAutoImportSources(Call &) {
  HBRef<VXClientTaskQueue> q = queue();
  HBRef<IHBIter> sources;
  if (!q || q->iterateUserSources(sources.out()) < 0) return json();
  return wrapped(sources.get());
}

Result getAutoImportTasks(Call &) {
  HBRef<VXClientTaskQueue> q = queue();
  HBRef<IHBIter> tasks;
  if (!q || q->iterateTasks(TASK_TYPE_AUTOIMPORT, tasks.out()) < 0) return json();
  return wrapped(tasks.get());
}

// The task of the identifier in the first argument, or nothing.
HBRef<VXClientTask> findTask(Call &c) {
  std::string id;
  HBRef<VXClientTaskQueue> q = queue();
  HBRef<VXClientTask> task;
  if (q && text(c.args[0], &id)) (void)q->findTask(task.out(), id.c_str());
  return task;
}

Result getTaskErrors(Call &c) {
  HBRef<VXClientTask> task = findTask(c);
  HBRef<IHBIter> errors;
  if (!task || task->iterateErrors(errors.out()) < 0) return json();
  return wrapped(errors.get());
}

Result pauseTask(Call &c) {
  HBRef<VXClientTask> task = findTask(c);
  int32_t flag;
  if (task && integer(c.args[1], &flag)) (void)task->setPaused(flag != 0 ? 1 : 0);
  return json(-1);
}

Result removeAutoImportSource(Call &c) {
  std::string id;
  HBRef<VXClientTaskQueue> q = queue();
  HBRef<VXClientTaskReference> source;
  if (!q || !text(c.args[0], &id) || q->findUserSource(source.out(), id.c_str()) < 0 ||
      q->removeUserSource(source->obj()) < 0)
    return json(-1);
  // Saved at once: otherwise the next start would bring the removed source back.
  (void)q->saveUserSources();
  return json(1);
}

Result removeTask(Call &c) {
  HBRef<VXClientTask> task = findTask(c);
  HBRef<VXClientTaskQueue> q = queue();
  if (!task || !q || q->removeTask(task.get(), VXTASKQ_CANCEL) < 0) return json(-1);
  return json(1);
}

struct Method {
  const char *name;
  int exact;  // the argument count the method demands, or -1 when any is taken
  Result (*fn)(Call &);
};

// In registration order.
const Method kMethods[] = {
    {"addAutoImportFromSource", 2, addAutoImportFromSource},
    {"doAutoImportSourceDialog", 1, doAutoImportSourceDialog},
    {"getAutoImportSources", -1, getAutoImportSources},
    {"getAutoImportTasks", -1, getAutoImportTasks},
    {"getCurrentState", -1, getCurrentState},
    {"getCurrentFileIndex", -1, getCurrentFileIndex},
    {"getDefaultDeviceId", -1, getDefaultDeviceId},
    {"getDefaultServiceId", -1, getDefaultServiceId},
    {"getFolderPath", 1, getFolderPath},
    {"getServiceURL", -1, getServiceURL},
    {"getTaskErrors", 1, getTaskErrors},
    {"getUserProperty", 1, getUserProperty},
    {"getValtoken", -1, getValtoken},
    {"isCurrentOSGranted", -1, isCurrentOSGranted},
    {"isCurrentBrowserGranted", -1, isCurrentBrowserGranted},
    {"log", 1, logMessage},
    {"loginUser", 1, loginUser},
    {"logoutUser", -1, logoutUser},
    {"openBrowserWindowAt", 1, openBrowserWindowAt},
    {"openLearnMore", -1, openLearnMore},
    {"openUpgadeBrowser", -1, openUpgadeBrowser},
    {"pauseTask", 2, pauseTask},
    {"removeAutoImportSource", 1, removeAutoImportSource},
    {"removeTask", 1, removeTask},
    {"setDriveEnabled", 1, setDriveEnabled},
    {"setFirstDriveLetter", 1, setFirstDriveLetter},
    {"setUserProperty", 2, setUserProperty},
    {"setCurrentFileIndex", 1, setCurrentFileIndex},
    {"setState", 1, setState},
    {"showPreferences", 1, showPreferences},
    {"updateMountedDriver", -1, updateMountedDriver},
    {"openPellixBrowser", 1, openPellixBrowser},
    {"getAppSetting", 1, getAppSetting},
    {"setAppSetting", 2, setAppSetting},
};

std::string failure(const char *name, uint32_t code, const std::string &message) {
  json answer = {{"error", name}, {"code", code}, {"message", message}};
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool wrapItem(hbtype_t type, void *item, json *out, int depth);

bool wrapObject(IHBObj *object, json *out, int depth) {
  if (!object || depth > kMaxDepth) return false;
  HBRef<IHBStr> str;
  if (hb_query<IHBStr>(object, str) == 0) {
    const char *t = str->getText();
    brlog(kBhost, BRLOG_INFO, "createJSArray: Wrapping string myself: '%s'\n", t ? t : "");
    *out = t ? t : "";
    return true;
  }
  HBRef<IHBRPCSerializable> record;
  if (hb_query<IHBRPCSerializable>(object, record) == 0) {
    brlog(kBhost, BRLOG_INFO, "wrapHBObj:  - It is a serializable: '%s'\n", record->getTypeName());
    json props = json::object();
    const HBRPCPropertyEntry *table = record->getPropertyTable();
    for (int32_t i = 0; table && table[i].name && i < 100; ++i) {
      if (table[i].hbtype == HBTYPE_TEXT) {
        char buf[1024];
        if (record->getPropertyText(i, buf, sizeof buf) >= 0) props[table[i].name] = buf;
      } else if (table[i].hbtype == HBIFC_ITER) {
        hbtype_t type = HBTYPE_ANY;
        void *value = nullptr;
        json list;
        if (record->getPropertyObject(i, &type, &value) == 0 &&
            wrapItem(type, value, &list, depth + 1))
          props[table[i].name] = std::move(list);
      }
    }
    *out = std::move(props);
    return true;
  }
  HBRef<IHBIter> iter;
  if (hb_query<IHBIter>(object, iter) == 0) {
    brlog(kBhost, BRLOG_INFO, "wrapHBObj:  - It is a nested iterator: '%s'\n", "");
    json array = json::array();
    hbtype_t type = HBTYPE_ANY;
    void *item;
    for (uint32_t index = 0; (type = HBTYPE_ANY, iter->next(&type, &item) == 0); ++index) {
      brlog(kBhost, BRLOG_INFO, "createJSArray: Wrapping index %u:\n", index);
      json value;
      if (wrapItem(type, item, &value, depth + 1))
        array.push_back(std::move(value));
      else
        brlog(kBhost, BRLOG_WARNING, "createJSArray: Failed to set @ '%u' - %u!\n", index, index);
    }
    *out = std::move(array);
    return true;
  }
  // A drive or file address shows as its text.
  HBRef<IHBURI> uri;
  HBRef<IHBStr> composed;
  if (hb_query<IHBURI>(object, uri) == 0 && uri->toString(composed.out()) == 0) {
    const char *t = composed->getText();
    *out = t ? t : "";
    return true;
  }
  return false;
}

// Wraps one item of an iterator or property; takes over the reference an object item carries.
bool wrapItem(hbtype_t type, void *item, json *out, int depth) {
  if (type == HBTYPE_TEXT) {
    const char *t = static_cast<const char *>(item);
    brlog(kBhost, BRLOG_INFO, "createJSArray: Wrapping string myself: '%s'\n", t ? t : "");
    *out = t ? t : "";
    return true;
  }
  if (hbtype__isRaw(type)) {
    brlog(kBhost, BRLOG_ERROR, "wrapHBObj:  - Primitives are not objects! 0x%x\n",
          static_cast<unsigned>(type));
    return false;
  }
  HBRef<IHBObj> object = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
  brlog(kBhost, BRLOG_INFO, "wrapHBObj:  - Base type match? 0x%x\n", static_cast<unsigned>(type));
  return wrapObject(object.get(), out, depth);
}

}  // namespace

bool zvbridge__decodeArgs(const std::string &body, std::vector<json> *args) {
  args->clear();
  if (body.size() > ZVBRIDGE_MAX_BODY) return false;
  json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_array() || parsed.size() > kMaxArgs) return false;
  for (json &v : parsed) args->push_back(std::move(v));
  return true;
}

bool zvbridge__wrap(IHBObj *object, json *out) {
  return wrapObject(object, out, 0);
}

std::string zvbridge__invoke(ZVWindowId window, const std::string &method,
                             const std::string &body) {
  std::vector<json> args;
  const bool decoded = zvbridge__decodeArgs(body, &args);
  const Method *m = nullptr;
  for (const Method &candidate : kMethods)
    if (method == candidate.name) m = &candidate;
  const int count = static_cast<int>(args.size());
  if (!m) {
    brlog(kTag, BRLOG_ERROR,
          "Invoke Unsupported '%.*s' [0x%x - %s%s%s%s] (%d args) (%d named args) -> %p\n",
          static_cast<int>(std::min<size_t>(method.size(), 256)), method.c_str(), kMethodFlag,
          "METHOD ", "", "", "", count, 0, static_cast<const void *>(&args));
    return failure("UnknownName", ZVBRIDGE_E_UNKNOWNNAME, "Unknown name '" + method + "'");
  }
  brlog(kTag, BRLOG_VERBOSE4, "Invoke [0x%x - %s%s%s%s] (%d args) (%d named args) -> %p\n",
        kMethodFlag, "METHOD ", "", "", "", count, 0, static_cast<const void *>(&args));
  if (!decoded) {
    brlog(kTag, BRLOG_WARNING, "%s: the arguments are not a JSON array\n", m->name);
    return failure("InvalidArgument", ZVBRIDGE_E_INVALIDARG,
                   std::string(m->name) + ": the arguments are not a JSON array");
  }
  if (m->exact >= 0 && count != m->exact)
    return failure("BadParamCount", ZVBRIDGE_E_BADPARAMCOUNT,
                   std::string(m->name) + " takes " + std::to_string(m->exact) + " argument" +
                       (m->exact == 1 ? "" : "s"));
  Call call{window, args};
  const Result result = m->fn(call);
  if (!result) return "{}";
  json answer = {{"result", *result}};
  return answer.dump(-1, ' ', false, json::error_handler_t::replace);
}
