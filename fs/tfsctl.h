// The drive helper's ties to the desktop program: its control endpoint (in place of a window of
// class "TesselFSChildClass"), the watch on its standard input that tells it the program is
// gone, and the drive-not-available notice it sends to the program.
//
// Messages on both sockets have the form of the program's control socket (appplatform.h): a
// header in host byte order { uint32 msg; uint32 dataSize; uint64 wParam; int64 lParam } of 24
// bytes, then dataSize bytes (at most 65536). Log tag "TFSCTL".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "brerror.h"

#define TFS_CONTROL_CLASS "TesselFSChildClass"
#define TFS_PROGRAM_CLASS "QUILLET_BROWSER_BROWSER"
#define TFS_MSG_MOUNT_QUIT 1124u
#define TFS_MSG_COPYDATA 0x004Au
#define TFS_MAX_DATA 65536u

struct TFSMessage {
  uint32_t msg = 0;
  uint64_t wParam = 0;
  int64_t lParam = 0;
  std::string data;
};

// Reads one message from the start of `buf`: the bytes it took (> 0), 0 when more are needed,
// -1 for a message that is not one (its data too long).
long tfsctl__parse(const char *buf, size_t len, TFSMessage *out);
// The wire form of a message.
std::string tfsctl__encode(const TFSMessage &m);

// $XDG_RUNTIME_DIR, else the program's private folder under /tmp (as the program finds it);
// empty when none is usable.
std::string tfsctl__runtimeDir();

// Sends the drive-not-available notice "name::service::device" (copy-data kind 1) to the
// program. 0, -3 when the program does not listen, -8 on a failed transfer.
HB_NODISCARD int32_t tfsctl__notifyUnavailable(const std::string &name, const std::string &service,
                                               const std::string &device);

// The control endpoint "<runtime>/TesselFSChildClass-PID" (mode 0600) and, when asked, the
// watch on standard input. `quit` runs on the endpoint's thread once: for MSG_MOUNT_QUIT from a
// process of this user, or at the end of standard input. Signals stay with the other threads.
class TFSControl {
 public:
  explicit TFSControl(std::function<void(const char *why)> quit) : m_quit(std::move(quit)) {}
  ~TFSControl() { stop(); }
  TFSControl(const TFSControl &) = delete;
  TFSControl &operator=(const TFSControl &) = delete;

  // 0, or -8 when the socket cannot be made.
  HB_NODISCARD int32_t start(bool watchStdin);
  // Ends the thread and removes the socket.
  void stop();
  const std::string &path() const { return m_path; }

 private:
  void run(bool watchStdin);
  void fire(const char *why);

  std::function<void(const char *)> m_quit;
  std::string m_path;
  int m_listen = -1;
  int m_wake[2] = {-1, -1};
  bool m_fired = false;
  std::thread m_thread;
};
