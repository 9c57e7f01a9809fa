// Entry point of the desktop program.
#include <unistd.h>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "zvbrowser.h"
#include "zvdesktop.h"

int main(int argc, char **argv) {
  zvdesktop__install();
  const int code = zvbrowser__main(argc, argv);
  // The worker pool, the service cache and the task queue's helpers may still be inside a
  // service call that waits for its time-out. They end with the process, without the exit
  // handlers (OpenSSL's clean-up among them) running under their feet.
  fflush(nullptr);
#if defined(__SANITIZE_ADDRESS__)
  __lsan_do_leak_check();
#endif
  _exit(code);
}
