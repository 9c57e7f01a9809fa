// The drive helper's content cache: a bounded folder of file contents on local disk, so that
// file managers and viewers can seek and read again without fetching again.
//
// One cache file per version of a file (its identifier, size and modification time make the
// key), filled a chunk at a time from ranged downloads as readers ask for its bytes; a reader
// going on where the last download stopped continues that download, with a window that grows
// while the reading stays sequential. A reader that goes on where its last read ended gets a
// thread that downloads ahead of it (a lead as long as what it has read so far, within bounds),
// so that fetching and reading overlap. A complete file keeps its name across runs; pieces are
// removed at start. A version counts its whole size against the bound from its first read, and
// so do the staging files of files being written. When the bound cannot be kept, the least
// recently used versions not in use go; a version that still finds no room (or meets a full
// disk) is read straight from the service. Log tag "TFSCACHE".
//
// Drive folders side by side under one parent may share the bound: every helper (a process of
// its own) then counts the files of all of them. A total kept in the parent's lock file under an
// exclusive lock says whether a new version fits; when it does not, the folders are counted
// again and the oldest files (by modification time) that no process holds go, whichever drive's
// they are. A version in use holds a shared lock on its file, so another helper never removes it;
// a helper's death lets go of its locks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hbobj.h"
#include "hbstream.h"

// Opens the bytes [first, last] of a file as a stream: 0 or a result code.
using TFSOpenRange = std::function<int32_t(int64_t first, int64_t last, HBRef<IHBStream> *out)>;

// The cache's chunk: the unit of fetching and of what is known to be present.
#define TFS_CHUNK (1 << 20)

class TFSContentCache;
class TFSCacheLedger;

// The cached bytes of one file version, shared by every handle open on it.
class TFSContent {
 public:
  ~TFSContent();
  TFSContent(const TFSContent &) = delete;
  TFSContent &operator=(const TFSContent &) = delete;
  // Reads up to `n` bytes at `off` into `buf`, fetching what is missing through `open`: the bytes
  // read (0 at the end), or a result code of the fetch.
  long read(char *buf, size_t n, int64_t off, const TFSOpenRange &open);
  // Makes the bytes [off, off + n) present in the cache file, fetching what is missing: their
  // count (0 at the end) with *fd that file, open as long as this content lives; *fd is -1 when
  // the content is not kept (read() them instead). Or a result code of the fetch.
  long locate(size_t n, int64_t off, const TFSOpenRange &open, int *fd);
  bool complete();
  // Served straight from the service (no room in the cache).
  bool uncached();
  int64_t size() const { return m_size; }
  // Bytes fetched from the service for this content.
  int64_t fetched();

 private:
  friend class TFSContentCache;
  TFSContent(std::string path, std::string key, int64_t size);
  int32_t fill(int64_t from, int64_t to, const TFSOpenRange &open);
  int32_t startStream(int64_t at, const TFSOpenRange &open);
  void endStream();
  long readDirect(char *buf, size_t n, int64_t off, const TFSOpenRange &open);
  void goUncached(std::unique_lock<std::mutex> &lock);
  // Marks the chunks a download from `start` has passed at `pos` as whole; renames the file
  // once all are.
  void passed(int64_t start, int64_t pos);
  // The start of the first chunk of [from, to) not yet here, or -1.
  int64_t firstMissing(int64_t from, int64_t to);
  // With m_lock held (released while the thread ends).
  void startAhead(int64_t from, const TFSOpenRange &open);
  void stopAhead(std::unique_lock<std::mutex> &lock);
  void aheadLoop(TFSOpenRange open);

  std::atomic<TFSContentCache *> m_cache{nullptr};  // none once the cache let go of it
  std::shared_ptr<TFSCacheLedger> m_ledger;         // the shared bound's total, if shared
  const std::string m_path;                         // the finished file; pieces are "<path>.part"
  const std::string m_key;
  const int64_t m_size;
  std::mutex m_lock;
  // Closed only with the content: FUSE takes bytes from it after a read returns.
  int m_fd = -1;
  bool m_uncached = false;
  bool m_complete = false;
  std::vector<bool> m_have;
  int64_t m_missing = 0;
  HBRef<IHBStream> m_stream;
  int64_t m_streamPos = -1, m_streamEnd = -1;
  int64_t m_lastEnd = -1;  // where the last download stopped
  int64_t m_window;
  int64_t m_fetched = 0;
  // Reading ahead.
  std::thread m_ahead;
  std::condition_variable m_changed;
  bool m_aheadRunning = false, m_aheadStop = false, m_aheadFailed = false;
  bool m_aheadIdle = false;        // far enough ahead, waiting for the reader to move on
  bool m_completedUntold = false;  // complete, the cache not told yet
  int64_t m_aheadPos = -1;         // where the thread's download is
  int64_t m_readerEnd = -1;        // where the last read ended
  int64_t m_seqStart = 0;          // where the reader's sequential run began
  int m_waiting = 0;               // readers waiting for the thread
  int64_t m_wanted = -1;           // the furthest byte they wait for
};

class TFSContentCache {
 public:
  // `folder` is created (mode 0700); `maxBytes` is the bound. With `sharedParent` the bound is
  // for every folder beside `folder` in its parent together, each used by a helper of its own.
  TFSContentCache(std::string folder, int64_t maxBytes, bool sharedParent = false);
  ~TFSContentCache();
  TFSContentCache(const TFSContentCache &) = delete;
  TFSContentCache &operator=(const TFSContentCache &) = delete;

  // Creates the folder, removes pieces left behind, counts the complete versions and keeps the
  // bound. Shared: also removes the cache content left directly in the parent (from when every
  // helper used that one folder) that no process has open, and counts every folder again.
  // 0 or -errno.
  int init();
  // The content of version `key` (letters, digits, "-", "_", ".") of `size` bytes.
  std::shared_ptr<TFSContent> content(const std::string &key, int64_t size);
  // A new staging file for a file being written (unnamed, gone with its last descriptor), or
  // -errno.
  int openStaging();
  // Counts `bytes` more against the bound, evicting unused versions; false when they do not fit.
  // This helper's own count only: a shared total counts files on disk.
  bool reserve(int64_t bytes);
  void release(int64_t bytes);
  int64_t used();
  const std::string &folder() const { return m_folder; }

 private:
  friend class TFSContent;
  struct Entry {
    int64_t bytes = 0;  // counted in m_used
    bool complete = false;
    std::weak_ptr<TFSContent> live;
    std::shared_ptr<TFSContent> held;  // a piece kept for the next reader
  };
  bool reserveLocked(int64_t bytes, std::vector<std::shared_ptr<TFSContent>> *dying);
  void touchLocked(const std::string &key);
  void eraseLocked(const std::string &key, std::vector<std::shared_ptr<TFSContent>> *dying);
  // From a content: it became complete, or it gave up its room.
  void completed(const std::string &key);
  void dropped(const std::string &key);
  // Shared, with the ledger locked: counts `bytes` more in the total, counting every folder
  // again and removing the oldest files no process holds when it does not fit (always with
  // `recount`). False when they do not fit.
  bool sharedReserveLocked(int64_t bytes, bool recount);
  void removeOldShared();

  const std::string m_folder;
  const int64_t m_max;
  std::shared_ptr<TFSCacheLedger> m_ledger;  // shared only
  std::mutex m_lock;
  int64_t m_used = 0;
  std::map<std::string, Entry> m_entries;
  std::list<std::string> m_lru;  // least recently used first
};
