// The drive helper's FUSE 3 mount.
#define FUSE_USE_VERSION 35
#include "tfsfuse.h"

#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "brlog.h"
#include "brsocket.h"

namespace {

constexpr const char *kTag = "TFSFUSE";

std::atomic<bool> g_running{false};
std::atomic<bool> g_quit{false};
pthread_t g_loopThread;
double g_kernelTtl = 5.0;

TFSFileSystem *fs() {
  return static_cast<TFSFileSystem *>(fuse_get_context()->private_data);
}

TFSHandle *handle(fuse_file_info *fi) {
  return fi ? reinterpret_cast<TFSHandle *>(static_cast<uintptr_t>(fi->fh)) : nullptr;
}

// The signal that wakes a thread whose request was interrupted (its caller had a Ctrl-C): its
// handler does nothing, and is installed without SA_RESTART, so that the wait it breaks fails
// with EINTR and asks the thread's cancel check.
constexpr int kInterruptSignal = SIGUSR1;

void onInterruptSignal(int) {}

int requestInterrupted(void *) {
  return fuse_interrupted();
}

// For the length of a callback that only reads (nothing changes on the drive when it gives up):
// an interrupt of its request ends its waits on the service, which then answer -21 (EINTR).
// Calls that change the drive, uploads above all, are not cut short: they finish or time out.
class Interruptible {
 public:
  Interruptible() { brsocket__setThreadCancel(requestInterrupted, nullptr); }
  ~Interruptible() { brsocket__setThreadCancel(nullptr, nullptr); }
  Interruptible(const Interruptible &) = delete;
  Interruptible &operator=(const Interruptible &) = delete;
};

void *opInit(fuse_conn_info *conn, fuse_config *cfg) {
  // The kernel's interrupt of a request becomes kInterruptSignal to the thread serving it.
  cfg->intr = 1;
  cfg->intr_signal = kInterruptSignal;
  cfg->entry_timeout = cfg->attr_timeout = g_kernelTtl;
  cfg->negative_timeout = 1.0;
  // An unlinked file still open is gone at once (no ".fuse_hidden" renames on the drive).
  cfg->hard_remove = 1;
  cfg->use_ino = 0;
  cfg->kernel_cache = 0;
  conn->want |= conn->capable & (FUSE_CAP_READDIRPLUS | FUSE_CAP_SPLICE_WRITE);
  // Direct reads (O_DIRECT) as requests the reader waits for: sent asynchronously, the kernel
  // waits for them uninterruptibly and never passes on a Ctrl-C.
  conn->want &= ~FUSE_CAP_ASYNC_DIO;
  brlog(kTag, BRLOG_INFO, "Connection: max_read %u, max_readahead %u, max_write %u, splice %d\n",
        conn->max_read, conn->max_readahead, conn->max_write,
        (conn->want & FUSE_CAP_SPLICE_WRITE) != 0);
  return fuse_get_context()->private_data;
}

int opGetattr(const char *path, struct stat *st, fuse_file_info *) {
  Interruptible interruptible;
  return fs()->getattr(path, st);
}

int opReaddir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, fuse_file_info *,
              fuse_readdir_flags) {
  Interruptible interruptible;
  std::vector<std::pair<std::string, struct stat>> entries;
  const int rc = fs()->readdir(path, &entries);
  if (rc < 0) return rc;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  for (const auto &[name, st] : entries)
    if (fill(buf, name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS) != 0) break;
  return 0;
}

int opOpen(const char *path, fuse_file_info *fi) {
  // Opening only reads (the folder's listing, a file's bytes before it is changed here).
  Interruptible interruptible;
  TFSHandle *h = nullptr;
  bool keep = false;
  const int rc = fs()->open(path, fi->flags, &h, &keep);
  if (rc < 0) return rc;
  fi->fh = reinterpret_cast<uintptr_t>(h);
  fi->keep_cache = keep;
  return 0;
}

int opCreate(const char *path, mode_t, fuse_file_info *fi) {
  TFSHandle *h = nullptr;
  const int rc = fs()->create(path, fi->flags, &h);
  if (rc < 0) return rc;
  fi->fh = reinterpret_cast<uintptr_t>(h);
  return 0;
}

// Bytes the cache file holds go from it to the kernel by splicing, without a copy through this
// process; the rest (writes in progress, contents not kept) is read into memory.
int opReadBuf(const char *, fuse_bufvec **bufp, size_t size, off_t off, fuse_file_info *fi) {
  Interruptible interruptible;
  int fd = -1;
  const long n = fs()->locate(handle(fi), size, off, &fd);
  if (n < 0) return static_cast<int>(n);
  auto *bv = static_cast<fuse_bufvec *>(malloc(sizeof(fuse_bufvec)));
  if (!bv) return -ENOMEM;
  *bv = FUSE_BUFVEC_INIT(static_cast<size_t>(n));
  if (fd >= 0 && n > 0) {
    bv->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    bv->buf[0].fd = fd;
    bv->buf[0].pos = off;
  } else if (n > 0) {
    void *mem = malloc(static_cast<size_t>(n));
    const long r =
        mem ? fs()->read(handle(fi), static_cast<char *>(mem), static_cast<size_t>(n), off)
            : -ENOMEM;
    if (r < 0) {
      free(mem);
      free(bv);
      return static_cast<int>(r);
    }
    bv->buf[0].mem = mem;
    bv->buf[0].size = static_cast<size_t>(r);
  }
  *bufp = bv;
  return 0;
}

int opWrite(const char *, const char *buf, size_t size, off_t off, fuse_file_info *fi) {
  return static_cast<int>(fs()->write(handle(fi), buf, size, off));
}

int opFlush(const char *, fuse_file_info *fi) {
  return fs()->flush(handle(fi));
}

int opFsync(const char *, int, fuse_file_info *fi) {
  return fs()->flush(handle(fi));
}

int opRelease(const char *, fuse_file_info *fi) {
  return fs()->release(handle(fi));
}

int opTruncate(const char *path, off_t size, fuse_file_info *fi) {
  return fs()->truncate(path, size, handle(fi));
}

int opMkdir(const char *path, mode_t) {
  return fs()->mkdir(path);
}

int opUnlink(const char *path) {
  return fs()->unlink(path);
}

int opRmdir(const char *path) {
  return fs()->rmdir(path);
}

int opRename(const char *from, const char *to, unsigned int flags) {
  return fs()->rename(from, to, flags);
}

int opStatfs(const char *, struct statvfs *st) {
  Interruptible interruptible;
  return fs()->statfs(st);
}

// The drive keeps no permissions and no times but its own: accepted, so that copying tools go on.
int opChmod(const char *, mode_t, fuse_file_info *) {
  return 0;
}
int opChown(const char *, uid_t, gid_t, fuse_file_info *) {
  return 0;
}
int opUtimens(const char *, const struct timespec *, fuse_file_info *) {
  return 0;
}

fuse_operations operations() {
  fuse_operations ops;
  memset(&ops, 0, sizeof ops);
  ops.init = opInit;
  ops.getattr = opGetattr;
  ops.readdir = opReaddir;
  ops.open = opOpen;
  ops.create = opCreate;
  ops.read_buf = opReadBuf;
  ops.write = opWrite;
  ops.flush = opFlush;
  ops.fsync = opFsync;
  ops.release = opRelease;
  ops.truncate = opTruncate;
  ops.mkdir = opMkdir;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.rename = opRename;
  ops.statfs = opStatfs;
  ops.chmod = opChmod;
  ops.chown = opChown;
  ops.utimens = opUtimens;
  return ops;
}

// An option value in FUSE's option syntax: no separators, no control characters.
std::string optionText(const std::string &s) {
  std::string out;
  for (unsigned char c : s) out += c == ',' || c == '\\' || c == '=' || c < 0x20 ? '_' : char(c);
  return out.empty() ? "tessel" : out.substr(0, 200);
}

}  // namespace

int tfsfuse__run(TFSFileSystem *filesystem, const TFSMountOptions &options) {
  g_kernelTtl = options.kernelTtlMs / 1000.0;
  const std::string opts =
      "fsname=" + optionText(options.volname) + ",subtype=tesselutilfs,default_permissions,noatime";
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  fuse_opt_add_arg(&args, "tesselutilfs");
  fuse_opt_add_arg(&args, "-o");
  fuse_opt_add_arg(&args, opts.c_str());
  const fuse_operations ops = operations();
  fuse *f = fuse_new(&args, &ops, sizeof ops, filesystem);
  fuse_opt_free_args(&args);
  if (!f) {
    brlog(kTag, BRLOG_ERROR, "fuse_new failed\n");
    return 1;
  }
  struct sigaction wake;
  memset(&wake, 0, sizeof wake);
  wake.sa_handler = onInterruptSignal;
  sigemptyset(&wake.sa_mask);
  sigaction(kInterruptSignal, &wake, nullptr);
  // The handlers are there before the mount shows: a SIGTERM as soon as it does still unmounts.
  fuse_session *se = fuse_get_session(f);
  fuse_set_signal_handlers(se);
  if (fuse_mount(f, options.mountpoint.c_str()) != 0) {
    brlog(kTag, BRLOG_ERROR, "Cannot mount on '%s'\n", options.mountpoint.c_str());
    fuse_remove_signal_handlers(se);
    fuse_destroy(f);
    return 1;
  }
  g_loopThread = pthread_self();
  g_running = true;
  brlog(kTag, BRLOG_INFO, "Mounted on '%s'\n", options.mountpoint.c_str());
  fuse_loop_config config;
  memset(&config, 0, sizeof config);
  config.max_idle_threads = 10;
  // Told to quit while mounting: no loop at all.
  const int rc = g_quit ? 0 : fuse_loop_mt(f, &config);
  g_running = false;
  fuse_remove_signal_handlers(se);
  fuse_unmount(f);
  fuse_destroy(f);
  brlog(kTag, BRLOG_INFO, "Unmounted from '%s' (%d)\n", options.mountpoint.c_str(), rc);
  return 0;
}

void tfsfuse__quit() {
  // The loop's thread takes the signal (FUSE's own threads block them) and leaves the loop.
  g_quit = true;
  if (g_running) pthread_kill(g_loopThread, SIGTERM);
}
