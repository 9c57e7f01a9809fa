// The network watcher over rtnetlink (see vxnetevent_posix.h).
#include "vxnetevent_posix.h"

#include <gio/gio.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>

#include "brlog.h"

namespace {

constexpr const char *kTag = "VXNETE";
constexpr const char *kAvailTag = "VXNETEV";
constexpr size_t kBuffer = 32 * 1024;

void *handle(int fd) {
  return reinterpret_cast<void *>(static_cast<intptr_t>(fd));
}

VXWatchTable &table() {
  static VXWatchTable *t = new VXWatchTable("NETEVENT", VXNETEVENT_QUIET_MS,
                                            VXNETEVENT_MAX_DELAY_MS);  // lives on
  return *t;
}

int openSocket(uint32_t groups, bool nonBlocking) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                        NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct sockaddr_nl sa = {};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = groups;
  if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  if (!nonBlocking) {
    // A dump answer never takes long; a kernel that does not answer must not hold the caller.
    struct timeval tv = {2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  return fd;
}

// The dump socket of a watcher, shared by the watcher and its slot: availability is asked by
// the task that made the watcher and by the thread when a report is due.
struct Query {
  BRMutex lock;
  int fd = -1;
  uint32_t seq = 0;
  ~Query() {
    if (fd >= 0) close(fd);
  }

  // One dump of `type` into *state. 0, or -1.
  int32_t dump(uint16_t type, VXNetState *state, char *buf) {
    struct {
      struct nlmsghdr nh;
      union {
        struct ifinfomsg link;
        struct ifaddrmsg addr;
        struct rtmsg route;
      } body;
    } req;
    std::memset(&req, 0, sizeof req);
    const size_t bodyLen = type == RTM_GETLINK   ? sizeof(struct ifinfomsg)
                           : type == RTM_GETADDR ? sizeof(struct ifaddrmsg)
                                                 : sizeof(struct rtmsg);
    req.nh.nlmsg_len = NLMSG_LENGTH(bodyLen);
    req.nh.nlmsg_type = type;
    req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.nh.nlmsg_seq = ++seq;
    if (send(fd, &req, req.nh.nlmsg_len, 0) < 0) return BR_EUNSPEC;
    for (;;) {
      const ssize_t n = recv(fd, buf, kBuffer, 0);
      if (n <= 0) return BR_EUNSPEC;
      const int32_t rc = vxnetevent__parseDump(buf, static_cast<size_t>(n), state);
      if (rc < 0) return BR_EUNSPEC;
      if (rc == 1) return BR_OK;
    }
  }

  int32_t available() {
    BRLock hold(lock);
    std::unique_ptr<char[]> buf(new char[kBuffer]);
    VXNetState state;
    for (uint16_t type : {RTM_GETLINK, RTM_GETADDR, RTM_GETROUTE}) {
      if (dump(type, &state, buf.get()) == 0) continue;
      brlog(kAvailTag, BRLOG_INFO, "Network state query failed: %d\n", errno);
      return 0;
    }
    return vxnetevent__applyMetered(state.available() ? 1 : 0);
  }
};

struct Slot final : VXWatchSlot {
  std::shared_ptr<Query> query;
  VXNetEventer *owner = nullptr;  // under the table lock; null once the watcher is gone
  std::vector<HBRef<IVXNetEventSink>> dueSinks;

  bool readReady() override {
    static char buf[kBuffer];  // only the thread reads
    bool changed = false;
    for (;;) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        changed = true;
      } else if (n < 0 && errno == ENOBUFS) {
        changed = true;  // notifications were lost: something changed all the same
      } else {
        if (n < 0 && errno != EAGAIN && errno != EINTR)
          brlog(kTag, BRLOG_ERROR, "[LOCKED] Failed updating network interface listener @ %d: %d\n",
                index, errno);
        break;
      }
    }
    return changed;
  }
  void takeDue() override {
    if (owner) dueSinks = owner->sinks();
  }
  bool deliverDue() override {
    std::vector<HBRef<IVXNetEventSink>> sinks = std::move(dueSinks);
    if (sinks.empty()) return false;
    HBRef<VXNetEvent> event;
    VXNetEvent::create(VXNETEVENT_TYPE_CHANGE, query->available(), event);
    brlog(kTag, BRLOG_INFO, "Notify network interface event sinks\n");
    VXNetEventer::deliver(sinks, event.get());
    return false;
  }
  void logRemoved() override {
    brlog(kTag, BRLOG_INFO, "[LOCKED] Removed network interface listener @ %d: %p\n", index,
          handle(fd));
  }
};

class VXNetEventerPosix final : public VXNetEventer {
 public:
  explicit VXNetEventerPosix(std::shared_ptr<Query> query) : m_query(std::move(query)) {}

  int32_t isNetworkAvailable() override { return m_query->available(); }

  // Enters `slot` into the table; false when the table is full.
  bool enter(Slot *slot) {
    {
      BRLock hold(table().lock());
      slot->owner = this;
    }
    if (table().enter(slot) >= 0) {
      m_slot = slot;
      return true;
    }
    slot->owner = nullptr;
    return false;
  }

 private:
  ~VXNetEventerPosix() override {
    if (!m_slot) return;
    {
      BRLock hold(table().lock());
      brlog(kTag, BRLOG_INFO, "[LOCKED] Removing network interface listener @ %d: %p ...\n",
            m_slot->index, handle(m_slot->fd));
      m_slot->owner = nullptr;
    }
    table().leave(m_slot);
  }

  std::shared_ptr<Query> m_query;
  Slot *m_slot = nullptr;
};

}  // namespace

bool VXNetState::available() const {
  if (defaultRoute) return true;
  for (int32_t link : upLinks)
    if (addrLinks.count(link)) return true;
  return false;
}

int32_t vxnetevent__parseDump(const void *buf, size_t len, VXNetState *state) {
  if (!buf || !state) return BR_EUNSPEC;
  // Netlink messages are 4-byte aligned; a caller's buffer may not be.
  std::unique_ptr<uint32_t[]> copy(new uint32_t[len / 4 + 1]);
  std::memcpy(copy.get(), buf, len);
  // Signed: a last message whose length is not a multiple of 4 takes `left` below zero, which
  // ends the walk instead of wrapping around to a huge count.
  int left = len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  for (auto *nh = reinterpret_cast<struct nlmsghdr *>(copy.get()); NLMSG_OK(nh, left);
       nh = NLMSG_NEXT(nh, left)) {
    const size_t body = nh->nlmsg_len - NLMSG_LENGTH(0);
    switch (nh->nlmsg_type) {
      case NLMSG_DONE:
        return 1;
      case NLMSG_ERROR:
        return BR_EUNSPEC;
      case RTM_NEWLINK: {
        if (body < sizeof(struct ifinfomsg)) return BR_EUNSPEC;
        const auto *ifi = static_cast<const struct ifinfomsg *>(NLMSG_DATA(nh));
        if ((ifi->ifi_flags & IFF_UP) && (ifi->ifi_flags & IFF_RUNNING) &&
            !(ifi->ifi_flags & IFF_LOOPBACK))
          state->upLinks.insert(ifi->ifi_index);
        break;
      }
      case RTM_NEWADDR: {
        if (body < sizeof(struct ifaddrmsg)) return BR_EUNSPEC;
        const auto *ifa = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(nh));
        // Link-local addresses come with any interface that is up: no network yet.
        if (ifa->ifa_scope < RT_SCOPE_LINK)
          state->addrLinks.insert(static_cast<int32_t>(ifa->ifa_index));
        break;
      }
      case RTM_NEWROUTE: {
        if (body < sizeof(struct rtmsg)) return BR_EUNSPEC;
        const auto *rt = static_cast<const struct rtmsg *>(NLMSG_DATA(nh));
        uint32_t tableId = rt->rtm_table;
        int attrLen = static_cast<int>(RTM_PAYLOAD(nh));
        for (const struct rtattr *a = RTM_RTA(rt); RTA_OK(a, attrLen); a = RTA_NEXT(a, attrLen)) {
          if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof(uint32_t))
            std::memcpy(&tableId, RTA_DATA(a), sizeof tableId);
        }
        if (rt->rtm_dst_len == 0 && rt->rtm_type == RTN_UNICAST && tableId == RT_TABLE_MAIN &&
            !(rt->rtm_flags & RTNH_F_LINKDOWN))
          state->defaultRoute = true;
        break;
      }
      default:
        break;
    }
  }
  return left == 0 ? 0 : BR_EUNSPEC;
}

int32_t vxnetevent__makeNetWatcher(IVXNetEventer **out) {
  if (!out) return BR_EINVAL;
  *out = nullptr;
  if (table().start() < 0) return BR_EUNSPEC;
  auto slot = std::make_unique<Slot>();
  slot->query = std::make_shared<Query>();
  slot->fd = openSocket(
      RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE,
      true);
  if (slot->fd >= 0) slot->query->fd = openSocket(0, false);
  if (slot->fd < 0 || slot->query->fd < 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to add network interface listener: %d\n", errno);
    return BR_EUNSPEC;
  }
  brlog(kTag, BRLOG_INFO, "New network interface listener: %p\n", handle(slot->fd));
  const int fd = slot->fd;
  HBRef<VXNetEventerPosix> w = HBRef<VXNetEventerPosix>::adopt(new VXNetEventerPosix(slot->query));
  if (w->enter(slot.get())) {
    slot.release();  // the table's now
  } else {
    brlog(kTag, BRLOG_ERROR, "No room for network interface listener: %p\n", handle(fd));
  }
  *out = w.detach();
  return BR_OK;
}

int32_t vxnetevent__systemMetered() {
  static std::mutex lock;
  static GMainContext *context = nullptr;
  static GNetworkMonitor *monitor = nullptr;
  std::lock_guard<std::mutex> hold(lock);
  if (!context) {
    // The monitor follows the system through the context it was made in; a context of its own,
    // run here before each answer, keeps it current without anyone's main loop.
    context = g_main_context_new();
    g_main_context_push_thread_default(context);
    monitor = g_network_monitor_get_default();
    g_main_context_pop_thread_default(context);
  }
  while (g_main_context_iteration(context, FALSE)) {
  }
  return monitor && g_network_monitor_get_network_metered(monitor) ? 1 : 0;
}

int32_t vxnetevent__slotsInUseForTest() {
  return table().slotsInUse();
}

bool vxnetevent__waitPassesForTest(int32_t passes) {
  return table().waitPasses(passes);
}
