// Child processes: an external program started hidden, with optional pipes to its standard
// input, output and error that the parent uses as streams.
//
// The child receives the argument vector itself (no shell, so blanks and quotes in arguments
// need no escaping); the joined command line is only written to the log. The parent's pipe ends
// are close-on-exec, so they never leak into other children. Every child is reaped: by `wait`,
// or by the destructor, which waits up to five seconds and then terminates it. Log tag "FORK2".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hbstream.h"

// Creation flags.
enum : uint32_t {
  HBFORK2_STDIN = 0x0001,    // a pipe to the child's standard input; the parent writes
  HBFORK2_STDOUT = 0x0002,   // a pipe from the child's standard output; the parent reads
  HBFORK2_STDERR = 0x0004,   // a separate pipe from the child's standard error
  HBFORK2_ERR2OUT = 0x0100,  // standard error goes where standard output goes
};

// Stream identifiers for getStream.
enum : int32_t {
  HBFORK2_STREAM_IN = 1,
  HBFORK2_STREAM_OUT = 2,
  HBFORK2_STREAM_ERR = 3,
};

struct IHBFork2 : IHBObj {
  static constexpr int32_t kIfc = HBIFC_OBJ;
  // Starts `argv` (null-terminated UTF-8 texts, the program first; a program without "/" is
  // searched on PATH). Returns 0, or -1 when a pipe or the process cannot be made (the object
  // then stays unstarted). Starting twice is refused with -5.
  HB_NODISCARD virtual int32_t start(const char *const *argv) = 0;
  // Terminates the running child; whatever `signal`, it is then reported with exit code 255.
  // Does nothing without a running child. Returns 0. May be called from another thread.
  virtual int32_t kill(int32_t signal) = 0;
  // The time-out of the pipe streams' reads and writes (default 1000 ms).
  virtual int32_t setTimeout(int32_t ms) = 0;
  // Hands one reference to stream 1 (stdin), 2 (stdout) or 3 (stderr) to the caller; -3 when
  // that pipe does not exist.
  HB_NODISCARD virtual int32_t getStream(int32_t id, IHBStream **out) = 0;
  // Waits up to `ms` (negative: without limit, 0: one poll) for the child to end. Returns 0 and
  // its exit code in *exitCode (may be null); -11 while it still runs; -25 when there is no child
  // to wait for (never started, or already waited); -1 when the wait itself fails.
  HB_NODISCARD virtual int32_t wait(int32_t ms, int32_t *exitCode) = 0;
  // Does nothing; returns 0.
  virtual int32_t reserved() = 0;

 protected:
  ~IHBFork2() override = default;
};

// Creates a child object (not started) with HBFORK2_* flags and hands one reference to the
// caller in *out. HBFORK2_ERR2OUT together with HBFORK2_STDERR is a programming error that stops
// the process. Returns 0.
HB_NODISCARD int32_t HBFork2__new(uint32_t flags, IHBFork2 **out);

// The command line as logged: arguments joined with single blanks, an argument holding a blank
// enclosed in double quotes (nothing else escaped).
std::string hbfork2__commandLine(const char *const *argv);

// The process id of a started child that has not been reaped yet, else 0 (for diagnostics and
// tests). Borrows `child`.
int32_t hbfork2__pid(IHBFork2 *child);
