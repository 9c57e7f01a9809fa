// The content folder: stored streams, uploads on their way in, and pending uploads (streams
// sent in pieces, kept between the pieces). Request handling sees only SvcContent; the local
// folder DIR/files, DIR/tmp and DIR/pending is its one implementation, which several instances
// sharing one data folder use at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "svchttp.h"

namespace tessel::svc {

// The longest stream the service takes (an upload in pieces announcing more is refused).
constexpr int64_t kSvcMaxStream = int64_t{1} << 40;

// An upload on its way in: bytes written in order, then made durable. Results are kSvcOk,
// kSvcNoSpace (the service's disk is full) or kSvcInternal.
class SvcUpload {
 public:
  virtual ~SvcUpload() = default;
  [[nodiscard]] virtual int write(const char *p, size_t n) = 0;
  // Makes what was written durable and closes it for writing.
  [[nodiscard]] virtual int finish() = 0;
};

// Putting a finished upload in a stream's place, inside the record's transaction: `publish`
// (told whether a stored stream is replaced) keeps the old content until `done`, `unpublish`
// puts it back when the record cannot be stored.
class SvcPublication {
 public:
  virtual ~SvcPublication() = default;
  [[nodiscard]] virtual int publish(bool replacing) = 0;
  virtual void unpublish() = 0;
  // The record is stored: the old content goes and the new name is made durable.
  virtual void done() = 0;
};

// What a pending upload holds; total 0 when there is none.
struct SvcPendingState {
  int64_t total = 0;
  int64_t held = 0;    // bytes durable in order from the start
  int64_t lastMs = 0;  // wall clock of the last progress
};

// A pending upload of one (drive, file, stream), locked for this caller until it goes: no other
// caller, in this process or another sharing the folder, changes it meanwhile.
class SvcPending {
 public:
  virtual ~SvcPending() = default;
  virtual const SvcPendingState &state() const = 0;
  // Begins afresh with `total`, holding nothing (what was held is dropped).
  [[nodiscard]] virtual int restart(int64_t total) = 0;
  // A writer of the bytes after those held.
  [[nodiscard]] virtual int append(std::unique_ptr<SvcUpload> *out) = 0;
  // Records `held` once the writer's bytes are durable (after its finish()).
  [[nodiscard]] virtual int advance(int64_t held) = 0;
  // The held bytes as an upload of the stream (they stay pending until drop()).
  [[nodiscard]] virtual int publication(std::unique_ptr<SvcPublication> *out) = 0;
  // The pending upload goes.
  virtual void drop() = 0;
};

// Names one pending upload in sweeps and at start: its drive, file and stream, and the key its
// space is held under.
struct SvcPendingRef {
  std::string serviceId;
  int64_t fileId = 0;
  std::string stream;
  SvcPendingState state;
  std::string key() const;
};

class SvcContent {
 public:
  virtual ~SvcContent() = default;

  // Makes the folders and clears the uploads this instance left unfinished; pending uploads
  // are cut back to what their records say is held.
  virtual bool open(std::string *err) = 0;

  // A stored stream for an answer; kSvcNoFile when there is none.
  [[nodiscard]] virtual int openRead(const std::string &serviceId, int64_t fileId,
                                     const std::string &stream,
                                     std::shared_ptr<HttpContent> *out) = 0;
  // A new upload and the means to publish it as the stream.
  [[nodiscard]] virtual int newUpload(const std::string &serviceId, int64_t fileId,
                                      const std::string &stream, std::unique_ptr<SvcUpload> *out,
                                      std::unique_ptr<SvcPublication> *pub) = 0;
  // Removes every stream of a file and its pending uploads (those it dropped are returned; one
  // being written meanwhile goes when its next piece finds the file gone).
  virtual std::vector<SvcPendingRef> removeFile(const std::string &serviceId,
                                                int64_t fileId) = 0;

  // The pending upload of (drive, file, stream), locked; waits at most `waitMs` for another
  // holder. kSvcNoFile when there is none and `create` is false, kSvcExists when another
  // caller keeps it locked past the wait (`*busy` then tells its state when it can be read).
  [[nodiscard]] virtual int lockPending(const std::string &serviceId, int64_t fileId,
                                        const std::string &stream, bool create, int waitMs,
                                        std::unique_ptr<SvcPending> *out,
                                        SvcPendingState *busy) = 0;
  // Every pending upload, as its record says (those being written included).
  virtual std::vector<SvcPendingRef> pending() = 0;
  // Drops the pending uploads without progress since `beforeMs` that nobody has locked; the
  // dropped ones are returned.
  virtual std::vector<SvcPendingRef> sweep(int64_t beforeMs) = 0;
};

// The local content folder under DIR; `tmpPrefix` names this instance's uploads in DIR/tmp.
std::unique_ptr<SvcContent> svccontent__local(const std::string &dir, const std::string &tmpPrefix);

// A piece's "Content-Range: bytes FIRST-LAST/TOTAL" (first, last, total) or a question
// "bytes */TOTAL" (*first = -1). False for anything else, for LAST < FIRST, LAST >= TOTAL and
// TOTAL above kSvcMaxStream.
bool svccontent__parseContentRange(const std::string &value, int64_t *first, int64_t *last,
                                   int64_t *total);
// A pending upload's record: "tessel-pending 1 TOTAL HELD LASTMS\n". False when malformed or
// when HELD is above TOTAL.
bool svccontent__parseRecord(const std::string &text, SvcPendingState *out);
std::string svccontent__record(const SvcPendingState &s);

}  // namespace tessel::svc
