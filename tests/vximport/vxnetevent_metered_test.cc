// The system's metered source, through GIO's network monitor, without a NetworkManager on the
// machine: the test starts a private message bus, makes it the system bus of this process and
// serves on it a NetworkManager object of its own whose "Metered" property it changes.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "testutil.h"
#include "vxnetevent.h"
#include "watchtest.h"

using namespace tessel::test;

namespace {

constexpr const char *kPath = "/org/freedesktop/NetworkManager";
constexpr const char *kIface = "org.freedesktop.NetworkManager";
constexpr const char *kXml =
    "<node><interface name='org.freedesktop.NetworkManager'>"
    "<property name='Connectivity' type='u' access='read'/>"
    "<property name='Metered' type='u' access='read'/>"
    "<property name='State' type='u' access='read'/>"
    "</interface></node>";
// NetworkManager's values: connectivity full, state connected, metered yes (1) or no (2).
constexpr guint32 kConnectivityFull = 4, kStateConnected = 70, kMeteredYes = 1, kMeteredNo = 2;

class FakeNetworkManager {
 public:
  explicit FakeNetworkManager(const std::string &address) : m_address(address) {
    m_thread = std::thread([this] { serve(); });
    // Bounded, but long enough for a machine busy with other tests.
    for (int i = 0; i < 6000 && !m_ready.load() && !m_failed.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~FakeNetworkManager() {
    if (m_loop) g_main_loop_quit(m_loop);
    if (m_thread.joinable()) m_thread.join();
  }
  bool ready() const { return m_ready.load(); }

  // Changes "Metered" and announces it as NetworkManager does.
  void setMetered(guint32 value) {
    m_metered = value;
    g_main_context_invoke(m_context, &FakeNetworkManager::announce, this);
  }

 private:
  static gboolean announce(gpointer self) {
    auto *nm = static_cast<FakeNetworkManager *>(self);
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", "Metered", g_variant_new_uint32(nm->m_metered.load()));
    g_dbus_connection_emit_signal(nm->m_conn, nullptr, kPath, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged",
                                  g_variant_new("(sa{sv}as)", kIface, &changed, nullptr), nullptr);
    return G_SOURCE_REMOVE;
  }

  static GVariant *getProperty(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                               const gchar *name, GError **, gpointer self) {
    auto *nm = static_cast<FakeNetworkManager *>(self);
    if (g_strcmp0(name, "Metered") == 0) return g_variant_new_uint32(nm->m_metered.load());
    if (g_strcmp0(name, "Connectivity") == 0) return g_variant_new_uint32(kConnectivityFull);
    return g_variant_new_uint32(kStateConnected);
  }

  void serve() {
    m_context = g_main_context_new();
    g_main_context_push_thread_default(m_context);
    GError *err = nullptr;
    m_conn = g_dbus_connection_new_for_address_sync(
        m_address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &err);
    GDBusNodeInfo *info = m_conn ? g_dbus_node_info_new_for_xml(kXml, &err) : nullptr;
    static const GDBusInterfaceVTable vtable = {nullptr, getProperty, nullptr, {}};
    guint reg = info ? g_dbus_connection_register_object(m_conn, kPath, info->interfaces[0],
                                                         &vtable, this, nullptr, &err)
                     : 0;
    GVariant *owned =
        reg ? g_dbus_connection_call_sync(m_conn, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                          "org.freedesktop.DBus", "RequestName",
                                          g_variant_new("(su)", kIface, 0u), nullptr,
                                          G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &err)
            : nullptr;
    if (err) ADD_FAILURE() << err->message;
    g_clear_error(&err);
    if (owned) {
      g_variant_unref(owned);
      m_loop = g_main_loop_new(m_context, FALSE);
      m_ready = true;
      g_main_loop_run(m_loop);
      g_main_loop_unref(m_loop);
    } else {
      m_failed = true;
    }
    if (reg) g_dbus_connection_unregister_object(m_conn, reg);
    if (info) g_dbus_node_info_unref(info);
    if (m_conn) {
      g_dbus_connection_close_sync(m_conn, nullptr, nullptr);
      g_object_unref(m_conn);
    }
    g_main_context_pop_thread_default(m_context);
    g_main_context_unref(m_context);
  }

  std::string m_address;
  std::thread m_thread;
  std::atomic<bool> m_ready{false}, m_failed{false};
  std::atomic<guint32> m_metered{kMeteredYes};
  GMainContext *m_context = nullptr;
  GDBusConnection *m_conn = nullptr;
  GMainLoop *m_loop = nullptr;
};

}  // namespace

TEST(MeteredNetwork, GIOMonitorFollowsNetworkManagersMeteredProperty) {
  const RunResult bus =
      runProgram({"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"});
  if (bus.exitCode != 0) GTEST_SKIP() << "no message bus to serve a NetworkManager on: " << bus.err;
  const size_t nl = bus.out.find('\n');
  const std::string address = bus.out.substr(0, nl);
  const pid_t busPid = static_cast<pid_t>(std::atoi(bus.out.c_str() + nl + 1));
  ASSERT_GT(busPid, 0);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
  {
    FakeNetworkManager nm(address);
    ASSERT_TRUE(nm.ready());
    // A phone hotspot: metered, so no backups over it (no setting allows it here).
    EXPECT_EQ(1, vxnetevent__systemMetered());
    EXPECT_EQ(0, vxnetevent__applyMetered(1));
    // Back on the home network: the monitor follows without anyone's main loop.
    nm.setMetered(kMeteredNo);
    EXPECT_TRUE(eventually([] { return vxnetevent__systemMetered() == 0; }));
    EXPECT_EQ(1, vxnetevent__applyMetered(1));
    nm.setMetered(kMeteredYes);
    EXPECT_TRUE(eventually([] { return vxnetevent__systemMetered() == 1; }));
  }
  kill(busPid, SIGTERM);
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
