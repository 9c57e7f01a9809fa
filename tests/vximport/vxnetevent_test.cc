// The network watchers: what counts as a network, the metered rule, and real rtnetlink changes
// inside a network namespace of the test's own.
#include "vxnetevent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <map>
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

// What the kernel announces of the links of the calling thread's network namespace, heard on a
// socket of the test's own. The kernel sends each announcement to every listening socket at
// once, so once this one has heard a change, the watcher's socket holds it too: the test waits
// for the kernel (a carrier comes up some time after the link is set up, later still on a busy
// machine), never for a time.
class LinkAnnouncements {
 public:
  LinkAnnouncements() {
    m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct sockaddr_nl sa = {};
    sa.nl_family = AF_NETLINK;
    sa.nl_groups = RTMGRP_LINK;
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  ~LinkAnnouncements() {
    if (m_fd >= 0) close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }
  // Waits (at most a minute) until link `name` has been announced running (up with a carrier).
  bool waitRunning(const std::string &name) {
    for (int waited = 0; !m_running[name] && waited < 60000; waited += 100) {
      struct pollfd p = {m_fd, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) read();
    }
    return m_running[name];
  }

 private:
  void read() {
    alignas(struct nlmsghdr) char buf[32768];
    const ssize_t n = recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return;
    int left = static_cast<int>(n);
    for (auto *nh = reinterpret_cast<struct nlmsghdr *>(buf); NLMSG_OK(nh, left);
         nh = NLMSG_NEXT(nh, left)) {
      if (nh->nlmsg_type != RTM_NEWLINK) continue;
      const auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(nh));
      int len = static_cast<int>(IFLA_PAYLOAD(nh));
      for (auto *a = IFLA_RTA(ifi); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type != IFLA_IFNAME) continue;
        m_running[static_cast<const char *>(RTA_DATA(a))] = (ifi->ifi_flags & IFF_RUNNING) != 0;
      }
    }
  }
  int m_fd = -1;
  std::map<std::string, bool> m_running;
};

// No IPv6 on the links the test makes: its addresses come by themselves, each a second or two
// after its link (when the kernel has checked it is unique), and would be changes the test did
// not make at a time it cannot know.
void noIPv6() {
  for (const char *conf : {"all", "default"}) {
    const std::string path = std::string("/proc/sys/net/ipv6/conf/") + conf + "/disable_ipv6";
    if (access(path.c_str(), F_OK) == 0) {
      EXPECT_TRUE(writeFile(path, "1\n")) << path;
    }
  }
}

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
  noIPv6();
  LinkAnnouncements links;
  ASSERT_TRUE(links.ok());
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
  ASSERT_TRUE(links.waitRunning("v0"));
  ASSERT_TRUE(links.waitRunning("v1"));
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

  // A network that never settles (a link flapping every 5 s) still reports, a minute after the
  // first change it has not reported.
  run({"link", "add", "f0", "type", "veth", "peer", "name", "f1"});
  for (int64_t waited = 0; waited < VXNETEVENT_MAX_DELAY_MS - 5000; waited += 5000) {
    settle(5000);
    run({"link", "set", "f0", "mtu", std::to_string(1400 + waited / 5000)});
  }
  EXPECT_EQ(3u, sink->seen().size());
  settle(5000);
  EXPECT_EQ((std::vector<int32_t>{1, 1, 0, 0}), sink->seen());
  run({"link", "del", "f0"});
  settle(VXNETEVENT_QUIET_MS + 1);
  EXPECT_EQ(5u, sink->seen().size());

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
  EXPECT_EQ(6u, sink->seen().size());
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
