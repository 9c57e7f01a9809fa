// The drive helper's file system: the operations FUSE asks for, in POSIX terms, over the drive's
// store (hbvfs.h). The FUSE callbacks are thin over this class, so that it runs the same mounted
// and called directly.
//
// Folders are listed a whole folder (all pages) at a time and kept for a short time-out; the
// helper's own changes update what is kept at once. A file is read through the content cache
// (tfscache.h) with ranged downloads. A file being written lives in a local staging file and
// goes to the service when it is closed: uploaded under a hidden temporary name, then renamed
// into place (replacing the file it overwrites), so that no one ever sees it half uploaded
// under its name; a failed upload leaves nothing behind. The root of every mount shows the
// marker file ".com.orvane.TesselDrive". Names the service sends that cannot be file names here
// ("", ".", "..", with "/" or control characters, longer than 255 bytes) are left out.
//
// Results are 0 (or a count) or -errno. Failures to reach the drive are EIO (after the client's
// time-outs) and are told to `unavailable`. A call whose thread's socket cancel check says so
// (brsocket.h: the FUSE request was interrupted) gives up its waits with EINTR, which is no
// failure of the drive. Log tag "TFS".
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "hbvfs.h"
#include "tfscache.h"

#define TFS_MARKER ".com.orvane.TesselDrive"

// One top folder of a mount: the drive itself, or in a shares mount one album root shown as a
// folder of the mount's root.
struct TFSTop {
  std::string name;  // the folder's name in a shares mount
  HBRef<IHBVFS2> store;
};

// Where the drive comes from. open is called again (at most every few seconds) while it fails.
struct TFSSource {
  virtual ~TFSSource() = default;
  // The tops: 0, or a result code (the drive offline, no connection, not authorized).
  virtual int32_t open(std::vector<TFSTop> *out) = 0;
  // True for a shares mount (the tops are folders of the root).
  virtual bool shares() = 0;
  // The drive's free and total bytes: 0 or a result code.
  virtual int32_t space(int64_t *free, int64_t *total) = 0;
};

struct TFSConfig {
  int64_t listTtlMs = 5000;     // how long a folder's listing is believed
  int64_t retryOpenMs = 5000;   // between attempts to reach a drive that was not reachable
  int64_t noticeGapMs = 60000;  // between two drive-not-available notices
  int64_t downMemoryMs = 5000;  // how long a drive that did not answer is answered for at once
  uid_t uid = 0;
  gid_t gid = 0;
  // The drive could not be reached.
  std::function<void()> unavailable;
  // Where the hidden uploads the service could not take away yet are listed, to be taken away
  // after the next upload and at the next start ("": not kept beyond this run).
  std::string leftoverFile;
};

class TFSHandle;
struct TFSWriter;

class TFSFileSystem {
 public:
  TFSFileSystem(std::unique_ptr<TFSSource> source, TFSContentCache *cache, TFSConfig config);
  ~TFSFileSystem();
  TFSFileSystem(const TFSFileSystem &) = delete;
  TFSFileSystem &operator=(const TFSFileSystem &) = delete;

  int getattr(const char *path, struct stat *st);
  // The entries of a folder with their attributes ("." and ".." not included).
  int readdir(const char *path, std::vector<std::pair<std::string, struct stat>> *out);
  // `flags` of open(2). *keepCache: what the kernel cached of the file is still good.
  int open(const char *path, int flags, TFSHandle **out, bool *keepCache);
  int create(const char *path, int flags, TFSHandle **out);
  long read(TFSHandle *h, char *buf, size_t size, off_t off);
  // Where the bytes are in a local file: their count, with *fd that file to take them from at
  // `off` (open while `h` is); *fd is -1 when they are to be read with read().
  long locate(TFSHandle *h, size_t size, off_t off, int *fd);
  long write(TFSHandle *h, const char *buf, size_t size, off_t off);
  // Uploads what was written through the handle's file (close(2) reports the result).
  int flush(TFSHandle *h);
  // Uploads if still needed and frees the handle.
  int release(TFSHandle *h);
  // `h` may be null.
  int truncate(const char *path, off_t size, TFSHandle *h);
  int mkdir(const char *path);
  int unlink(const char *path);
  int rmdir(const char *path);
  // RENAME_NOREPLACE is honoured, RENAME_EXCHANGE refused.
  int rename(const char *from, const char *to, unsigned int flags);
  int statfs(struct statvfs *st);
  // Forgets every listing (as if the time-out had passed).
  void forgetListings();
  // The files open for writing, or still uploading what was written, by path.
  std::vector<std::string> writesInProgress();
  // Takes away the hidden uploads left on the drive by uploads that failed.
  void cleanLeftovers();

 private:
  struct Node {
    HBRef<IHBVFSFile> file;
    int top = -1;
    bool folder = false;
    bool marker = false;
    int64_t size = 0;
    int64_t mtime = 0;
    std::shared_ptr<TFSWriter> writer;  // a file being written that the service does not have yet
  };
  struct Dir {
    int top = -1;  // -1: the root of a shares mount
    HBRef<IHBVFSFile> file;
    std::map<std::string, Node> children;
    int64_t listedAt = -1;
    bool loading = false;
  };

  int32_t ensureOpen();
  int32_t lookupDir(const std::string &path, std::shared_ptr<Dir> *out);
  int32_t resolve(const std::string &path, Node *out);
  int32_t fetch(int top, IHBVFSFile *folder, std::map<std::string, Node> *out);
  Node nodeOf(int top, IHBVFSFile *f);
  void fillStat(const Node &n, struct stat *st);
  int fail(int32_t rc, const char *what, const std::string &path);
  // A read of a listed file that failed: EIO, with the reason logged, for content the drive
  // does not have (404).
  int readFailure(int32_t rc, IHBVFSFile *file);
  // Under m_lock: what a call to the drive gave (an unreachable drive is remembered for a
  // moment; any answer forgets it).
  void noteReach(int32_t rc);
  // Ranged downloads of `file`, answered at once while the drive is remembered unreachable.
  TFSOpenRange opener(const HBRef<IHBVFSFile> &file);
  IHBVFS2 *storeOf(int top);
  // Updates what is kept after a change made here.
  void putChild(const std::string &dirPath, const std::string &name, const Node &node);
  void dropChild(const std::string &dirPath, const std::string &name);
  void dropDirsUnder(const std::string &path);
  int openWriter(const std::string &path, const Node *existing, bool truncate,
                 std::shared_ptr<TFSWriter> *out);
  int upload(TFSWriter &w);
  int uploadOnce(TFSWriter &w);
  void dropUpload(int top, IHBVFSFile *up);
  void saveLeftovers();  // under m_leftoverLock
  std::string contentKey(const Node &n);

  std::unique_ptr<TFSSource> m_source;
  TFSContentCache *m_cache;
  const TFSConfig m_config;
  const int64_t m_started;  // the root's time
  std::mutex m_lock;
  std::condition_variable m_listed;
  std::vector<TFSTop> m_tops;
  std::map<std::string, std::shared_ptr<Dir>> m_dirs;           // by path; "/" is the root
  std::map<std::string, std::shared_ptr<TFSWriter>> m_writers;  // files being written, by path
  int64_t m_lastOpenTry = -1;
  int32_t m_openError = 0;
  int64_t m_lastNotice = -1;
  int64_t m_spaceAt = -1, m_free = 0, m_total = 0;
  int64_t m_downUntil = -1;  // under m_lock
  int32_t m_downError = 0;
  std::mutex m_leftoverLock;
  std::vector<std::pair<int, std::string>> m_leftovers;  // (top, file identifier)
  bool m_leftoversRead = false;
};
