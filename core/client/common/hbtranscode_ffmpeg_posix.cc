// The transcoder's platform part: ffmpeg as an IHBFork2 child, its input fed from a thread.
#include <atomic>
#include <chrono>
#include <thread>

#include "brlog.h"
#include "hbfork2.h"
#include "hbtranscode_ffmpeg.h"

namespace {

const char kTag[] = "XCFFMPEG";

class HBXCodeFFMPEGPosix final : public HBXCodeFFMPEG {
 public:
  HBXCodeFFMPEGPosix(const HBXCodeFFMPEGParams &params, IHBStream *source)
      : HBXCodeFFMPEG(params, source) {}

 protected:
  ~HBXCodeFFMPEGPosix() override {
    m_stopFeed = true;
    if (m_fork) (void)m_fork->kill(2);
    if (m_feeder.joinable()) m_feeder.join();
    m_fork.reset();  // reaps the child
    m_ended.reset();
  }

  int32_t osForkFFMPEG(const std::vector<std::string> &args, IHBStream *input, ChildOutput which,
                       IHBStream **out) override {
    std::vector<const char *> argv;
    for (const auto &a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    const bool stdoutRead = which == ChildOutput::kStdout;
    HBRef<IHBFork2> child;
    int32_t rc = HBFork2__new((stdoutRead ? uint32_t(HBFORK2_STDOUT) : uint32_t(HBFORK2_STDERR)) |
                                  (input ? uint32_t(HBFORK2_STDIN) : 0u),
                              child.out());
    if (rc == 0) rc = child->start(argv.data());
    HBRef<IHBStream> in, output;
    if (rc == 0)
      rc = child->getStream(stdoutRead ? HBFORK2_STREAM_OUT : HBFORK2_STREAM_ERR, output.out());
    if (rc == 0 && input) rc = child->getStream(HBFORK2_STREAM_IN, in.out());
    if (rc != 0) {
      (void)child->kill(2);
      (void)child->wait(-1, nullptr);
      return rc;
    }
    *out = output.detach();
    m_killed = false;
    m_stopFeed = false;
    m_fork = child;
    if (input) {
      HBRef<IHBStream> source = HBRef<IHBStream>::retain(input);
      m_feeder = std::thread([this, in, source]() { feed(in.get(), source.get()); });
    }
    return 0;
  }

  int32_t osKillFFMPEG() override {
    m_killed = true;
    m_stopFeed = true;
    if (m_fork) VERIFY(m_fork->kill(2) == 0);
    return 0;
  }

  int32_t osWaitFFMPEG(int32_t *exitCode) override {
    if (!m_fork) return BR_EHANDLED;
    const int32_t rc = m_fork->wait(0, exitCode);
    if (rc == BR_ETIMEDOUT) return rc;
    m_stopFeed = true;
    // Kept until the feeder is gone: releasing the child closes the pipe it writes into.
    m_ended = std::move(m_fork);
    if (m_killed) return BR_ECANCELED;
    return rc < 0 ? rc : 0;
  }

  void osEndFeed() override {
    if (m_feeder.joinable()) m_feeder.join();
    m_ended.reset();
  }

 private:
  // Copies the source into the child's standard input, then closes it so the child sees the
  // end. Stops when the child goes away or is killed.
  void feed(IHBStream *in, IHBStream *source) {
    char buf[65536];
    int64_t total = 0;
    while (!m_stopFeed) {
      const int32_t n = source->read(buf, sizeof buf);
      if (n == BR_EAGAIN || n == BR_ETIMEDOUT) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      if (n <= 0) {
        if (n < 0) brlog(kTag, BRLOG_ERROR, "Failed to read source: %d %s\n", n, brerror__name(n));
        break;
      }
      for (int32_t off = 0; off < n && !m_stopFeed;) {
        const int32_t w = in->write(buf + off, n - off);
        if (w == BR_ETIMEDOUT || w == BR_EAGAIN || w == 0) continue;
        if (w < 0) {
          m_stopFeed = true;
          break;
        }
        off += w;
        total += w;
      }
    }
    brlog(kTag, BRLOG_VERBOSE, "Fed %lld bytes to the child\n", (long long)total);
    (void)in->close();
  }

  HBRef<IHBFork2> m_fork;
  HBRef<IHBFork2> m_ended;  // the child that ended, until its feeder is gone
  bool m_killed = false;
  std::atomic<bool> m_stopFeed{false};
  std::thread m_feeder;
};

}  // namespace

int32_t HBXCodeFFMPEGPosix__new(const HBXCodeFFMPEGParams *params, IHBStream *source,
                                IHBTranscode **out) {
  if (!params || !params->mimeType || !out) return BR_EINVAL;
  *out = new HBXCodeFFMPEGPosix(*params, source);
  return 0;
}

int32_t HBXCodeFFMPEG__new(const HBXCodeFFMPEGParams *params, IHBStream *source,
                           IHBTranscode **out) {
  return HBXCodeFFMPEGPosix__new(params, source, out);
}
