// The network watchers: what counts as a network, the metered rule, and real rtnetlink changes
// inside a network namespace of the test's own.
#include "vxnetevent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "logcapture.h"
#include "testtask.h"
#include "testutil.h"
#include "vxnetevent_posix.h"
#include "watchtest.h"

using namespace tessel::test;

namespace {

// A dump answer made of rtnetlink messages.
class Dump {
 public:
  Dump &link(int index, unsigned flags) {
    struct ifinfomsg m = {};
    m.ifi_index = index;
    m.ifi_flags = flags;
    return add(RTM_NEWLINK, &m, sizeof m);
  }
  Dump &addr(int index, unsigned char scope) {
    struct ifaddrmsg m = {};
    m.ifa_index = static_cast<uint32_t>(index);
    m.ifa_scope = scope;
    return add(RTM_NEWADDR, &m, sizeof m);
  }
  Dump &route(unsigned char dstLen, unsigned char type, uint32_t table, unsigned flags = 0) {
    std::vector<char> body(sizeof(struct rtmsg) + RTA_SPACE(sizeof(uint32_t)), 0);
    auto *m = reinterpret_cast<struct rtmsg *>(body.data());
    m->rtm_dst_len = dstLen;
    m->rtm_type = type;
    m->rtm_table = RT_TABLE_UNSPEC;
    m->rtm_flags = flags;
    auto *a = reinterpret_cast<struct rtattr *>(body.data() + sizeof(struct rtmsg));
    a->rta_type = RTA_TABLE;
    a->rta_len = RTA_LENGTH(sizeof(uint32_t));
    std::memcpy(RTA_DATA(a), &table, sizeof table);
    return add(RTM_NEWROUTE, body.data(), body.size());
  }
  Dump &done() { return add(NLMSG_DONE, nullptr, 0); }
  Dump &error() {
    int code = -1;
    return add(NLMSG_ERROR, &code, sizeof code);
  }
  int32_t parse(VXNetState *st, size_t cut = 0) const {
    return vxnetevent__parseDump(m_buf.data(), m_buf.size() - cut, st);
  }

 private:
  Dump &add(uint16_t type, const void *body, size_t len) {
    struct nlmsghdr h = {};
    h.nlmsg_len = NLMSG_LENGTH(len);
    h.nlmsg_type = type;
    const size_t at = m_buf.size();
    m_buf.resize(at + NLMSG_SPACE(len), 0);
    std::memcpy(&m_buf[at], &h, sizeof h);
    if (len) std::memcpy(&m_buf[at + NLMSG_HDRLEN], body, len);
    return *this;
  }
  std::vector<char> m_buf;
};

std::atomic<int32_t> g_metered{0};
int32_t fakeMetered() {
  return g_metered.load();
}

// The metered source replaced for a test.
struct FakeMetered {
  explicit FakeMetered(int32_t metered) {
    g_metered = metered;
    vxnetevent__setMeteredSource(fakeMetered);
  }
  ~FakeMetered() { vxnetevent__setMeteredSource(nullptr); }
};

std::string ipProgram() {
  for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

// The calling thread in a network namespace of its own until destruction.
class OwnNetwork {
 public:
  OwnNetwork() {
    m_old = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (m_old >= 0 && unshare(CLONE_NEWNET) == 0) {
      m_in = true;
    } else {
      m_why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    }
  }
  ~OwnNetwork() {
    if (m_in) {
      EXPECT_EQ(0, setns(m_old, CLONE_NEWNET));
    }
    if (m_old >= 0) close(m_old);
  }
  bool in() const { return m_in; }
  const std::string &why() const { return m_why; }

 private:
  int m_old = -1;
  bool m_in = false;
  std::string m_why;
};

}  // namespace

TEST(NetworkWatcher, WhatCountsAsANetwork) {
  const unsigned up = IFF_UP | IFF_RUNNING;
  VXNetState st;
  // Only the loopback, and a cable without carrier: nothing.
  EXPECT_EQ(1, Dump()
                   .link(1, up | IFF_LOOPBACK)
                   .addr(1, RT_SCOPE_HOST)
                   .link(2, IFF_UP)
                   .addr(2, 0)
                   .done()
                   .parse(&st));
  EXPECT_FALSE(st.available());
  // Link-local addresses come by themselves: still nothing.
  st = VXNetState();
  EXPECT_EQ(0, Dump().link(3, up).addr(3, RT_SCOPE_LINK).parse(&st));
  EXPECT_FALSE(st.available());
  // An interface that is up with a global (or site) address.
  EXPECT_EQ(1, Dump().addr(3, RT_SCOPE_SITE).done().parse(&st));
  EXPECT_TRUE(st.available());
  // A default route of the main table, unless its link is down.
  st = VXNetState();
  EXPECT_EQ(0, Dump()
                   .route(0, RTN_UNICAST, RT_TABLE_MAIN, RTNH_F_LINKDOWN)
                   .route(0, RTN_UNREACHABLE, RT_TABLE_MAIN)
                   .route(0, RTN_UNICAST, 100)
                   .route(24, RTN_UNICAST, RT_TABLE_MAIN)
                   .parse(&st));
  EXPECT_FALSE(st.available());
  EXPECT_EQ(0, Dump().route(0, RTN_UNICAST, RT_TABLE_MAIN).parse(&st));
  EXPECT_TRUE(st.available());
  // Errors and broken buffers.
  EXPECT_EQ(-1, Dump().error().parse(&st));
  EXPECT_EQ(-1, Dump().link(1, up).parse(&st, 4));
}

TEST(NetworkWatcher, MeteredNetworksWaitUnlessTheSettingAllowsThem) {
  TempSettings settings;
  LogCapture log;
  {
    FakeMetered metered(1);
    EXPECT_EQ(0, vxnetevent__applyMetered(1));
    EXPECT_TRUE(log.has("The network is metered: no backups over it (setting backup.onmetered)"));
    ASSERT_EQ(0, settings.store()->setProperty("backup.onmetered", "1"));
    EXPECT_EQ(1, vxnetevent__applyMetered(1));
    ASSERT_EQ(0, settings.store()->setProperty("backup.onmetered", "0"));
    EXPECT_EQ(0, vxnetevent__applyMetered(1));
    EXPECT_EQ(0, vxnetevent__applyMetered(0));
  }
  FakeMetered unmetered(0);
  EXPECT_EQ(1, vxnetevent__applyMetered(1));
}

TEST(NetworkWatcher, RealAddressChangesInANamespaceGiveOneEventTenSecondsLater) {
  const std::string ip = ipProgram();
  if (ip.empty()) GTEST_SKIP() << "no ip program (iproute2) to change the network with";
  OwnNetwork ns;
  if (!ns.in()) GTEST_SKIP() << "not permitted to make a network namespace: " << ns.why();
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), ip);
    const RunResult r = runProgram(args);
    EXPECT_EQ(0, r.exitCode) << r.err;
  };
  FakeMetered unmetered(0);
  FakeClock clock;
  LogCapture log;
  // A new namespace has only its loopback: no network, as for a machine without any.
  HBRef<IVXNetEventer> w;
  ASSERT_EQ(0, vxnetevent__makeNetWatcher(w.out()));
  EXPECT_EQ(0, w->isNetworkAvailable());
  EXPECT_TRUE(log.has("New network interface listener: "));
  HBRef<RecordingNetSink> sink = RecordingNetSink::make();
  ASSERT_EQ(0, w->addSink(sink.get(), 0));
  auto settle = [&](int64_t ms) {
    ASSERT_TRUE(vxnetevent__waitPassesForTest(2));
    clock.advance(ms);
    ASSERT_TRUE(vxnetevent__waitPassesForTest(2));
  };

  // A connection coming up is several changes within seconds: one event, 10 s after the last.
  run({"link", "add", "v0", "type", "veth", "peer", "name", "v1"});
  settle(2000);
  run({"addr", "add", "10.77.0.1/24", "dev", "v0"});
  settle(2000);
  run({"link", "set", "v0", "up"});
  run({"link", "set", "v1", "up"});
  settle(VXNETEVENT_QUIET_MS - 1000);
  EXPECT_TRUE(sink->seen().empty());
  settle(1500);
  EXPECT_EQ(std::vector<int32_t>{1}, sink->seen());
  EXPECT_EQ(1, w->isNetworkAvailable());
  EXPECT_TRUE(log.has("Notify network interface event sinks"));

  run({"route", "add", "default", "via", "10.77.0.2", "dev", "v0"});
  settle(VXNETEVENT_QUIET_MS + 1);
  EXPECT_EQ((std::vector<int32_t>{1, 1}), sink->seen());

  // The cable pulled: the next event says no network.
  run({"link", "del", "v0"});
  settle(VXNETEVENT_QUIET_MS + 1);
  EXPECT_EQ((std::vector<int32_t>{1, 1, 0}), sink->seen());
  EXPECT_EQ(0, w->isNetworkAvailable());
  settle(3 * VXNETEVENT_QUIET_MS);
  EXPECT_EQ(3u, sink->seen().size());

  // The table holds 64 watchers; the sixty-fifth exists but never reports.
  std::vector<HBRef<IVXNetEventer>> more;
  for (int i = 0; i < 64; ++i) {
    more.emplace_back();
    ASSERT_EQ(0, vxnetevent__makeNetWatcher(more.back().out()));
  }
  EXPECT_EQ(64, vxnetevent__slotsInUseForTest());
  EXPECT_TRUE(log.has("No room for network interface listener: "));
  HBRef<RecordingNetSink> silent = RecordingNetSink::make();
  ASSERT_EQ(0, more.back()->addSink(silent.get(), 0));
  run({"link", "add", "v2", "type", "veth", "peer", "name", "v3"});
  settle(VXNETEVENT_QUIET_MS + 1);
  EXPECT_EQ(4u, sink->seen().size());
  EXPECT_TRUE(silent->seen().empty());
  ASSERT_EQ(0, more.back()->removeSink(silent.get()));
  more.clear();
  ASSERT_EQ(0, w->removeSink(sink.get()));
  w.reset();
  EXPECT_EQ(0, vxnetevent__slotsInUseForTest());
  ASSERT_TRUE(vxnetevent__waitPassesForTest(2));
  EXPECT_TRUE(log.has("[LOCKED] Removing network interface listener @ 0: "));
  EXPECT_TRUE(log.has("[LOCKED] Removed network interface listener @ 0: "));
}
