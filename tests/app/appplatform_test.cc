// The platform layer's session-end watch, on the real GLib main loop of this process.
#include "appplatform.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>

namespace {

void countEnd(int, void *context) {
  ++*static_cast<int *>(context);
}

// Runs the default main loop for `ms` milliseconds.
void spin(guint ms) {
  bool done = false;
  g_timeout_add(
      ms, [](gpointer p) -> gboolean { return *static_cast<bool *>(p) = true, G_SOURCE_REMOVE; },
      &done);
  while (!done) g_main_context_iteration(nullptr, TRUE);
}

// The session ends once: a second SIGTERM or a SIGHUP before the loop has ended must not run
// the session-end path again. Watching anew arms it again.
TEST(AppPlatform, SessionEndRunsOnceForRepeatedSignals) {
  int calls = 0;
  appplatform__watchSessionEnd(countEnd, &calls);
  raise(SIGTERM);
  spin(200);
  EXPECT_EQ(calls, 1);
  raise(SIGTERM);
  spin(100);
  raise(SIGHUP);
  spin(100);
  EXPECT_EQ(calls, 1);
  appplatform__watchSessionEnd(countEnd, &calls);
  raise(SIGHUP);
  spin(200);
  EXPECT_EQ(calls, 2);
  appplatform__unwatchSessionEnd();
}

}  // namespace
