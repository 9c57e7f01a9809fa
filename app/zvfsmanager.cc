// The drive mount manager: its settings, token and drive listing, with mounting left inert until
// the drive helper is driven from here.
#include "zvfsmanager.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "appplatform.h"
#include "brlog.h"
#include "hbmap.h"
#include "hbproperties.h"
#include "hbrpc.h"
#include "hbstr.h"
#include "hbsvcendpoint.h"
#include "hbsvcmethods.h"

namespace {

constexpr const char *kTag = "ZVFSMGR";

class ZVFSManagerInert final : public HBObject<ZVFSManagerInert, IZVFSManager> {
 public:
  ZVFSManagerInert() {
    if (hbproperties__open(HBPROPERTIES_KEY_TESSELUTILFS, HBPROPERTIES_CREATE, m_settings.out()) <
        0) {
      appplatform__messageBox("Failed to read registry entries!", "Failed to working!", true);
      (void)hbproperties__getDefault(m_settings.out());
    }
  }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ) return offer<IZVFSManager>(out);
    return BR_ENOENT;
  }

  bool hasSettings() override { return static_cast<bool>(m_settings); }

  void setSessionToken(const char *token) override {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      const std::string next = token ? token : "";
      if (m_hasToken && next == m_token) return;
      m_token = next;
      m_hasToken = token != nullptr;
    }
    unmountAll();
    if (driveOn() && token) (void)mountAll();
  }

  void dropSessionToken() override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_token.clear();
    m_hasToken = false;
  }

  bool driveOn() override { return boolSetting(ZVFS_SETTING_SHOWDRIVE, true); }
  bool multiDrive() override { return boolSetting(ZVFS_SETTING_MULTIDRIVE, true); }
  bool sharedFiles() override { return boolSetting(ZVFS_SETTING_SHARED, false); }

  char driveLetter() override {
    std::string value;
    if (!m_settings || hbproperties__getString(m_settings.get(), ZVFS_SETTING_LETTER, &value) < 0 ||
        value.empty())
      return 'H';
    return value[0];
  }

  void setDriveOn(bool on) override {
    if (driveOn() == on) return;
    applyDriveSetting(on ? "1" : "0");
  }

  void applyDriveSetting(const char *value) override {
    if (m_settings) (void)m_settings->setProperty(ZVFS_SETTING_SHOWDRIVE, value);
    unmountAll();
    if (driveOn()) (void)mountAll();
  }

  void setDriveLetter(char letter) override {
    const char upper = static_cast<char>(toupper(static_cast<unsigned char>(letter)));
    if (upper == toupper(static_cast<unsigned char>(driveLetter()))) return;
    const char text[2] = {upper, 0};
    if (m_settings) (void)m_settings->setProperty(ZVFS_SETTING_LETTER, text);
    unmountAll();
    if (driveOn()) (void)mountAll();
  }

  int32_t mountAll() override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_hasToken) return BR_ENOTAUTH;
    brlog(kTag, BRLOG_VERBOSE, "ZVFS: mount all (no drive helper yet)\n");
    return BR_OK;
  }

  void unmountAll() override {
    brlog(kTag, BRLOG_VERBOSE, "ZVFS: unmount all (no drive helper yet)\n");
  }

  void openDrive() override {
    if (driveOn() && !multiDrive())
      brlog(kTag, BRLOG_VERBOSE, "ZVFS: open drive (no drive helper yet)\n");
  }

  void remountForSelected(const char *device) override {
    if (!device || !*device) return;
    unmountAll();
    (void)mountAll();
  }

  int32_t listDrives(std::vector<ZVDriveRecord> *out) override {
    out->clear();
    std::string token;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (!m_hasToken) return BR_OK;
      token = m_token;
    }
    HBRef<HBRPCGeneric> rpc;
    int32_t rc = hbsvc__newCall(rpc.out());
    if (rc < 0) return rc;
    rc = hbsvc__listServices(rpc.get(), token.c_str());
    if (rc < 0) return rc;
    HBRef<IHBIter> services = HBRef<IHBIter>::adopt(rpc->getArgmentIterator("services"));
    if (!services) return BR_OK;
    hbtype_t type = HBTYPE_ANY;
    void *item;
    while ((type = HBTYPE_ANY, services->next(&type, &item) == 0)) {
      if (hbtype__isRaw(type)) continue;  // a borrowed text, not a service
      HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
      HBRef<IHBMap> map;
      if (hb_query<IHBMap>(obj.get(), map) < 0) continue;
      ZVDriveRecord r;
      const char *device = map->getString("deviceid");
      const char *service = map->getString("serviceid");
      const char *name = map->getString("name");
      r.device = device ? device : "";
      r.service = service ? service : "";
      r.name = name ? name : "";
      // The first service of each device stands for it.
      bool seen = false;
      for (const ZVDriveRecord &d : *out) seen = seen || d.device == r.device;
      if (!seen) out->push_back(std::move(r));
    }
    return BR_OK;
  }

 private:
  friend class HBObject<ZVFSManagerInert, IZVFSManager>;
  ~ZVFSManagerInert() override = default;

  bool boolSetting(const char *name, bool defaultValue) {
    return m_settings ? hbproperties__getBool(m_settings.get(), name, defaultValue) : defaultValue;
  }

  HBRef<HBProperties> m_settings;
  std::mutex m_lock;  // the token
  std::string m_token;
  bool m_hasToken = false;
};

std::mutex g_managerLock;
IZVFSManager *g_manager = nullptr;

}  // namespace

int32_t zvfsmanager__create(IZVFSManager **out) {
  *out = new ZVFSManagerInert();
  return BR_OK;
}

HBRef<IZVFSManager> zvfsmanager__get() {
  std::lock_guard<std::mutex> lock(g_managerLock);
  return HBRef<IZVFSManager>::retain(g_manager);
}

void zvfsmanager__set(IZVFSManager *manager) {
  IZVFSManager *old;
  {
    std::lock_guard<std::mutex> lock(g_managerLock);
    old = g_manager;
    if (manager) manager->upref();
    g_manager = manager;
  }
  if (old) old->dnref();
}
