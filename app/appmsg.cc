// The main-thread message queue: a locked list and an eventfd that wakes the GLib main loop.
#include "appmsg.h"

#include <glib-unix.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <string>

#include "brlog.h"
#include "hbobj.h"

namespace {

struct Pending {
  AppMessage message;
  std::string data;
  std::function<void()> call;
};

struct Queue {
  std::mutex mu;
  std::deque<Pending> items;
  int wakeFd = -1;
  guint sourceId = 0;
  GMainContext *context = nullptr;
  appmsg_handler handler = nullptr;
  void *handlerContext = nullptr;
};

Queue &queue() {
  static Queue *q = new Queue;
  return *q;
}

void release(Pending &p) {
  if (p.message.msg == MSG_OPEN_URL && p.message.wParam) {
    reinterpret_cast<IHBObj *>(p.message.wParam)->dnref();
    p.message.wParam = 0;
  }
}

gboolean onWake(gint fd, GIOCondition, gpointer) {
  uint64_t count;
  while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
  Queue &q = queue();
  // One batch per wake-up: messages posted by the handler run on the next turn of the loop.
  std::deque<Pending> batch;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    batch.swap(q.items);
  }
  while (!batch.empty()) {
    Pending p = std::move(batch.front());
    batch.pop_front();
    p.message.data = p.data.empty() ? nullptr : p.data.data();
    p.message.dataSize = static_cast<uint32_t>(p.data.size());
    if (p.message.msg == MSG_CALL) {
      if (p.call) p.call();
    } else if (q.handler) {
      q.handler(p.message, q.handlerContext);
    }
    release(p);
  }
  return G_SOURCE_CONTINUE;
}

int32_t enqueue(Pending &&p) {
  Queue &q = queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.wakeFd < 0) {
    release(p);
    return BR_EBADSTATE;
  }
  q.items.push_back(std::move(p));
  const uint64_t one = 1;
  while (write(q.wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  return BR_OK;
}

}  // namespace

int32_t appmsg__init(GMainContext *context, appmsg_handler handler, void *handlerContext) {
  Queue &q = queue();
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.wakeFd >= 0) return BR_EBADSTATE;
  q.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (q.wakeFd < 0) {
    brlog("APPMSG", BRLOG_ERROR, "eventfd failed (errno %d)\n", errno);
    return BR_EUNSPEC;
  }
  q.handler = handler;
  q.handlerContext = handlerContext;
  q.context = context;
  GSource *source = g_unix_fd_source_new(q.wakeFd, G_IO_IN);
  g_source_set_callback(source, G_SOURCE_FUNC(onWake), nullptr, nullptr);
  q.sourceId = g_source_attach(source, context);
  g_source_unref(source);
  return BR_OK;
}

int32_t appmsg__post(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
  Pending p;
  p.message.msg = msg;
  p.message.wParam = wParam;
  p.message.lParam = lParam;
  return enqueue(std::move(p));
}

int32_t appmsg__postData(uintptr_t kind, const void *data, uint32_t size) {
  Pending p;
  p.message.msg = MSG_COPYDATA;
  p.message.wParam = kind;
  if (data && size) p.data.assign(static_cast<const char *>(data), size);
  return enqueue(std::move(p));
}

int32_t appmsg__postCall(std::function<void()> call) {
  Pending p;
  p.message.msg = MSG_CALL;
  p.call = std::move(call);
  return enqueue(std::move(p));
}

void appmsg__shutdown() {
  Queue &q = queue();
  std::deque<Pending> left;
  {
    std::lock_guard<std::mutex> lock(q.mu);
    if (q.wakeFd < 0) return;
    if (q.sourceId) {
      GSource *source = g_main_context_find_source_by_id(q.context, q.sourceId);
      if (source) g_source_destroy(source);
    }
    q.sourceId = 0;
    close(q.wakeFd);
    q.wakeFd = -1;
    q.handler = nullptr;
    left.swap(q.items);
  }
  for (Pending &p : left) release(p);
}
