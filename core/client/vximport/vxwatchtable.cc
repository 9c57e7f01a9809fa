// The slot table and thread of the watchers (see vxwatchtable.h).
#include "vxwatchtable.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "brlog.h"

namespace {
constexpr int64_t kMaxWaitMs = 1000;
}  // namespace

VXWatchSlot::~VXWatchSlot() {
  if (fd >= 0) close(fd);
}

int64_t vxwatch__now() {
  const int64_t t = brtime__ticks();
  return t > 0 ? t : 1;
}

int32_t VXWatchTable::start() {
  BRLock hold(m_lock);
  if (m_started) return BR_OK;
  if (m_wakeFd < 0) m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wakeFd < 0 || m_passCond.create() < 0) return BR_EUNSPEC;
  BRThread *t = nullptr;
  if (brthread__create(&t, threadMain, this, m_name) < 0) return BR_EUNSPEC;
  brthread__detach(t);
  m_started = true;
  return BR_OK;
}

void VXWatchTable::addShared(int fd, short events, std::function<void()> onReady) {
  BRLock hold(m_lock);
  m_shared.push_back({fd, events, std::move(onReady)});
}

void VXWatchTable::wake() {
  const uint64_t one = 1;
  if (m_wakeFd >= 0) (void)!write(m_wakeFd, &one, sizeof one);
}

int32_t VXWatchTable::enter(VXWatchSlot *slot) {
  {
    BRLock hold(m_lock);
    for (int32_t i = 0; i < VXWATCH_SLOTS; ++i) {
      if (m_slots[i]) continue;
      m_slots[i] = slot;
      slot->index = i;
      break;
    }
  }
  if (slot->index >= 0) wake();
  return slot->index;
}

void VXWatchTable::leave(VXWatchSlot *slot) {
  {
    BRLock hold(m_lock);
    if (slot->index >= 0 && m_slots[slot->index] == slot) m_slots[slot->index] = nullptr;
    m_closing.push_back(slot);
  }
  wake();
}

void VXWatchTable::touch(VXWatchSlot *slot) {
  BRLock hold(m_lock);
  slot->lastChange = vxwatch__now();
  if (!slot->firstChange) slot->firstChange = slot->lastChange;
}

int32_t VXWatchTable::slotsInUse() {
  BRLock hold(m_lock);
  int32_t n = 0;
  for (VXWatchSlot *s : m_slots) n += s ? 1 : 0;
  return n;
}

bool VXWatchTable::waitPasses(int32_t passes) {
  BRLock hold(m_lock);
  if (!m_started) return true;
  const uint64_t target = m_passes + static_cast<uint64_t>(passes);
  // Counted in waits rather than ticks: a test may have stopped the clock.
  for (int i = 0; i < 1200 && m_passes < target; ++i) {
    wake();
    (void)m_passCond.wait(m_lock, 50);
  }
  return m_passes >= target;
}

void VXWatchTable::threadMain(void *table) {
  static_cast<VXWatchTable *>(table)->run();
}

void VXWatchTable::run() {
  std::vector<struct pollfd> fds;
  std::vector<VXWatchSlot *> polled, due;
  for (;;) {
    const int64_t t = vxwatch__now();
    int64_t wait = kMaxWaitMs;
    const int64_t quietMs = m_quiet.load();
    const int64_t maxDelayMs = m_maxDelay.load();
    fds.assign(1, {m_wakeFd, POLLIN, 0});
    polled.assign(1, nullptr);
    for (const Shared &sh : m_shared) {
      fds.push_back({sh.fd, sh.events, 0});
      polled.push_back(nullptr);
    }
    due.clear();
    {
      BRLock hold(m_lock);
      for (VXWatchSlot *s : m_closing) {
        s->logRemoved();
        delete s;
      }
      m_closing.clear();
      for (VXWatchSlot *s : m_slots) {
        if (!s) continue;
        if (s->fd >= 0) {
          fds.push_back({s->fd, POLLIN, 0});
          polled.push_back(s);
        }
        if (!s->lastChange) continue;
        const int64_t quiet = t - s->lastChange;
        const int64_t waited = t - (s->firstChange ? s->firstChange : s->lastChange);
        if (quiet > quietMs || waited >= maxDelayMs) {
          s->takeDue();
          s->lastChange = 0;
          s->firstChange = 0;
          due.push_back(s);
        } else {
          wait = std::min({wait, quietMs - quiet + 1, maxDelayMs - waited});
        }
      }
    }
    // Only this thread frees slots, so the due ones stay valid even if their watchers leave.
    for (VXWatchSlot *s : due) {
      if (!s->deliverDue()) continue;
      BRLock hold(m_lock);
      if (!s->lastChange) s->lastChange = vxwatch__now();
      if (!s->firstChange) s->firstChange = s->lastChange;
    }
    const int n = poll(fds.data(), fds.size(), static_cast<int>(wait));
    if (n < 0 && errno != EINTR)
      brlog(m_name, BRLOG_ERROR, "poll(%d) returned %d: %d\n", (int)fds.size(), n, errno);
    if (n > 0) {
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        (void)!read(m_wakeFd, &v, sizeof v);
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLPRI | POLLERR | POLLHUP))) continue;
        if (i <= m_shared.size())
          m_shared[i - 1].onReady();
        else if (polled[i]->readReady())
          touch(polled[i]);
      }
    }
    BRLock hold(m_lock);
    ++m_passes;
    m_passCond.broadcast();
  }
}
