#include "hbtranscode_ffmpeg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hbproperties.h"
#include "testutil.h"

using tessel::test::readFile;
using tessel::test::runProgram;
using tessel::test::TempDir;
using tessel::test::writeFile;

namespace {

using Args = std::vector<std::string>;

// ffmpeg 5 "-i" output for the sources of the cases below.
const char kH264Probe[] =
    "Input #0, mov,mp4,m4a,3gp,3g2,mj2, from 'in.mp4':\n"
    "  Metadata:\n"
    "    major_brand     : isom\n"
    "  Duration: 00:00:10.00, start: 0.000000, bitrate: 5000 kb/s\n"
    "  Stream #0:0[0x1](und): Video: h264 (High) (avc1 / 0x31637661), yuv420p(tv, bt709, "
    "progressive), 1920x1080 [SAR 1:1 DAR 16:9], 4800 kb/s, %s fps, %s tbr, 12800 tbn (default)\n"
    "  Stream #0:1[0x2](und): Audio: aac (LC) (mp4a / 0x6134706D), %s Hz, stereo, fltp, "
    "128 kb/s (default)\n"
    "At least one output file must be specified\n";
const char kPhotoProbe[] =
    "Input #0, image2, from 'p.jpg':\n"
    "  Duration: 00:00:00.04, start: 0.000000, bitrate: 600000 kb/s\n"
    "  Stream #0:0: Video: mjpeg (Baseline), yuvj420p(pc, bt470bg/unknown/unknown), 4000x3000 "
    "[SAR 1:1 DAR 4:3], 25 tbr, 25 tbn\n";

// A stand-in for ffmpeg: answers "-i" with probe.txt, records a transcode's arguments in
// args.txt and behaves as the file "mode" says.
const char kFakeFfmpeg[] = R"SH(#!/bin/sh
D=$(dirname "$0")
if [ "$#" -eq 2 ] && [ "$1" = "-i" ]; then
  cat "$D/probe.txt" >&2
  exit 1
fi
for a in "$@"; do printf '%s\n' "$a"; done > "$D/args.txt"
for last in "$@"; do :; done
case "$(cat "$D/mode" 2>/dev/null)" in
  hang) exec sleep 30 ;;
  chatty) while :; do echo "frame= 1 time=00:00:00.10" >&2; sleep 0.05; done ;;
  crash) echo "@#%garbage" >&2; kill -SEGV $$ ;;
  fail) echo "Conversion failed!" >&2; exit 1 ;;
  slow) while :; do printf 'frame= 1 time=00:00:01.00 bitrate=1\r' >&2; sleep 0.05; done ;;
  stdin) cat > "$D/fed" ;;
  cmov) printf '\000\000\000\010free\000\000\000\020moov\000\000\000\010cmov' > "$last"; exit 0 ;;
esac
printf 'frame=   10 fps=0.0 q=-1.0 size= 0kB time=00:00:00.50 bitrate= 1.0kbits/s\r' >&2
printf 'frame=   20 fps=0.0 q=-1.0 Lsize= 1kB time=00:00:01.00 bitrate= 1.0kbits/s\n' >&2
printf 'OUTPUTDATA' > "$last"
exit 0
)SH";

class Settings {
 public:
  Settings() {
    EXPECT_EQ(hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_CREATE, m_store.out()), 0);
    hbproperties__setDefault(m_store.get());
  }
  ~Settings() {
    for (const char *n : {"installdir", "accelmpeg", "datadir"}) (void)set(n, nullptr);
    hbproperties__setDefault(nullptr);
  }
  int32_t set(const char *name, const char *value) { return m_store->setProperty(name, value); }

 private:
  HBRef<HBProperties> m_store;
};

struct Sink final : IHBTranscodeEventSink {
  int started_ = 0, completed_ = 0, failed_ = 0;
  std::vector<HBXCodeProgress> reports;
  int32_t answer = 0;
  int32_t started(IHBTranscode *) override { return ++started_, 0; }
  int32_t progress(IHBTranscode *, const HBXCodeProgress *r) override {
    reports.push_back(*r);
    return answer;
  }
  int32_t completed(IHBTranscode *) override { return ++completed_, 0; }
  int32_t failed(IHBTranscode *) override { return ++failed_, 0; }
};

bool noChildLeft() {
  return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

bool exists(const std::string &path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t s = 0;
  for (size_t e; (e = text.find('\n', s)) != std::string::npos; s = e + 1)
    out.push_back(text.substr(s, e - s));
  return out;
}

class FakeFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string ff = m_bin.file("ffmpeg");
    ASSERT_TRUE(writeFile(ff, kFakeFfmpeg));
    ASSERT_EQ(::chmod(ff.c_str(), 0755), 0);
    ASSERT_EQ(m_settings.set("installdir", m_bin.path().c_str()), 0);
    hbxcode__setTimeoutsForTest(300, 200);
  }
  void TearDown() override { hbxcode__setTimeoutsForTest(0, 0); }

  void probe(const std::string &text) { ASSERT_TRUE(writeFile(m_bin.file("probe.txt"), text)); }
  void probeH264(const char *fps, const char *hz) {
    char buf[2048];
    std::snprintf(buf, sizeof buf, kH264Probe, fps, fps, hz);
    probe(buf);
  }
  void mode(const char *m) { ASSERT_TRUE(writeFile(m_bin.file("mode"), m)); }

  HBRef<HBXCodeFFMPEG> make(const char *mime, int w, int h, int crop = 0,
                            const char *input = "/media/in put.mp4") {
    HBXCodeFFMPEGParams p;
    p.mimeType = mime;
    p.width = w;
    p.height = h;
    p.crop = crop;
    p.quality = "medium";
    p.inputPath = input;
    p.workDir = m_work.path().c_str();
    HBRef<IHBTranscode> xc;
    EXPECT_EQ(HBXCodeFFMPEG__new(&p, nullptr, xc.out()), 0);
    return HBRef<HBXCodeFFMPEG>::adopt(static_cast<HBXCodeFFMPEG *>(xc.detach()));
  }

  // A 160x160 JPEG transcoder of a source held only as a stream.
  HBRef<IHBTranscode> makeFromStream(IHBStream *src) {
    HBXCodeFFMPEGParams p;
    p.mimeType = "image/jpeg";
    p.width = p.height = 160;
    p.workDir = m_work.path().c_str();
    HBRef<IHBTranscode> xc;
    EXPECT_EQ(HBXCodeFFMPEG__new(&p, src, xc.out()), 0);
    return xc;
  }

  Args designed(HBXCodeFFMPEG *xc) {
    Args a;
    xc->transcodeArguments(&a);
    return a;
  }
  Args ran() {
    std::string text;
    EXPECT_TRUE(readFile(m_bin.file("args.txt"), &text));
    return lines(text);  // the arguments after the program
  }
  // No output files remain in the work folder.
  bool workEmpty() {
    auto r = runProgram({"/bin/ls", "-A", m_work.path()});
    return r.exitCode == 0 && r.out.empty();
  }

  Settings m_settings;
  TempDir m_bin, m_work;
};

TEST_F(FakeFfmpeg, H264At1080pForStreaming) {
  probeH264("25", "48000");
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->prepare(), 0);
  EXPECT_EQ(xc->source().width, 1920);
  EXPECT_EQ(xc->source().duration, 10);
  EXPECT_EQ(xc->source().bitRate, 5000000);
  EXPECT_EQ(xc->source().videoCodec, "h264");
  EXPECT_EQ(xc->source().format, "mov,mp4,m4a,3gp,3g2,mj2");
  const std::string out = xc->outputPath();
  EXPECT_EQ(out.rfind(m_work.path() + "/hbxc", 0), 0u) << out;
  EXPECT_EQ(designed(xc.get()),
            (Args{m_bin.file("ffmpeg"), "-y", "-i", "/media/in put.mp4", "-f", "mp4", "-vcodec",
                  "libx264", "-b", "300000", "-ar", "44100", "-ac", "2", "-s", "480x270", out}));
  char buf[64];
  EXPECT_EQ(xc->getOutputProperty("size", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "375000");  // the estimate: 10 s at 300000 bit/s
  EXPECT_EQ(xc->getOutputProperty("url", buf, sizeof buf), BR_EAGAIN);
  EXPECT_EQ(xc->read(buf, 1), BR_EBUSY);

  Sink sink;
  ASSERT_EQ(xc->transcode(&sink, nullptr), 0);
  EXPECT_EQ(ran(), (Args{"-y", "-i", "/media/in put.mp4", "-f", "mp4", "-vcodec", "libx264", "-b:v",
                         "300000", "-ar", "44100", "-ac", "2", "-vf", "scale=480:270", "-pix_fmt",
                         "yuv420p", out}));
  EXPECT_EQ(sink.started_, 1);
  EXPECT_EQ(sink.completed_, 1);
  EXPECT_EQ(sink.failed_, 0);
  ASSERT_FALSE(sink.reports.empty());
  EXPECT_EQ(sink.reports.back().position, 1);
  EXPECT_EQ(sink.reports.back().duration, 10);
  // Not an MP4 at all: the fast-start rewrite had nothing to do, the output stays.
  EXPECT_EQ(xc->getOutputProperty("url", buf, sizeof buf), 0);
  EXPECT_EQ(buf, out);
  EXPECT_EQ(xc->getOutputProperty("size", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "10");
  EXPECT_EQ(xc->getOutputProperty("width", buf, 3), 0);
  EXPECT_STREQ(buf, "48");  // cut to the buffer
  EXPECT_EQ(xc->getOutputProperty("colour", buf, sizeof buf), BR_ENOENT);
  char data[32] = {};
  EXPECT_EQ(xc->read(data, sizeof data), 10);
  EXPECT_STREQ(data, "OUTPUTDATA");
  EXPECT_FALSE(exists(out + "-"));
  EXPECT_EQ(xc->write("x", 1), BR_EINVAL);
  EXPECT_EQ(xc->close(), 0);
  EXPECT_FALSE(exists(out));
}

TEST_F(FakeFfmpeg, Mp4ThatCannotBeRewrittenIsKeptAsWritten) {
  probeH264("25", "48000");
  mode("cmov");  // an index the rewrite refuses
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->transcode(nullptr, nullptr), 0);
  char size[32];
  EXPECT_EQ(xc->getOutputProperty("size", size, sizeof size), 0);
  EXPECT_STREQ(size, "24");
  EXPECT_TRUE(exists(xc->outputPath()));
  EXPECT_FALSE(exists(xc->outputPath() + "-"));
  xc.reset();
  EXPECT_TRUE(workEmpty());
}

TEST_F(FakeFfmpeg, DecodeDownscaleWithAcceleration) {
  ASSERT_EQ(m_settings.set("accelmpeg", "1"), 0);
  probeH264("25", "48000");
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->prepare(), 0);
  const std::string out = xc->outputPath();
  EXPECT_EQ(designed(xc.get()),
            (Args{m_bin.file("ffmpeg"), "-y", "-lowres", "2", "-i", "/media/in put.mp4", "-f",
                  "mp4", "-vcodec", "libx264", "-b", "300000", "-ar", "44100", "-ac", "2", out}));
  ASSERT_EQ(xc->transcode(nullptr, nullptr), 0);
  // The H.264 decoder cannot decode reduced: the scale filter does it.
  EXPECT_EQ(ran(), (Args{"-y", "-i", "/media/in put.mp4", "-f", "mp4", "-vcodec", "libx264", "-b:v",
                         "300000", "-ar", "44100", "-ac", "2", "-vf", "scale=480:270", "-pix_fmt",
                         "yuv420p", out}));
}

TEST_F(FakeFfmpeg, FrameAndSampleRates) {
  struct Case {
    const char *fps, *hz;
    Args expect;
  } cases[] = {
      {"59.94", "32000", {"-r", "29.97", "-ar", "32000"}},
      {"60", "44100", {"-r", "30", "-ar", "44100"}},
      {"25", "48000", {"-ar", "44100"}},
      {"29.97", "8000", {"-ar", "44100"}},
  };
  for (const auto &c : cases) {
    probeH264(c.fps, c.hz);
    auto xc = make("video/mp4", 480, 480);
    ASSERT_EQ(xc->prepare(), 0);
    Args a = designed(xc.get());
    Args mid(a.begin() + 10, a.end() - 5);  // after "-b 300000", before "-ac 2 -s WxH out"
    EXPECT_EQ(mid, c.expect) << c.fps << " " << c.hz;
  }
}

TEST_F(FakeFfmpeg, PhotoThumbnailCroppedToSquare) {
  probe(kPhotoProbe);
  auto xc = make("image/jpeg", 160, 160, 1, "/p/photo.jpg");
  ASSERT_EQ(xc->prepare(), 0);
  const std::string out = xc->outputPath();
  EXPECT_EQ(designed(xc.get()),
            (Args{m_bin.file("ffmpeg"), "-y", "-i", "/p/photo.jpg", "-f", "mjpeg", "-an", "-r", "1",
                  "-vframes", "1", "-cropleft", "500", "-cropright", "500", "-s", "160x160", out}));
  ASSERT_EQ(xc->transcode(nullptr, nullptr), 0);
  EXPECT_EQ(ran(), (Args{"-y", "-i", "/p/photo.jpg", "-f", "mjpeg", "-an", "-r", "1", "-vframes",
                         "1", "-vf", "crop=iw-1000:ih-0:500:0,scale=160:160", out}));
  EXPECT_EQ(xc->outputWidth(), 160);
}

TEST_F(FakeFfmpeg, PortraitCropAndPlainScale) {
  probe(
      "Input #0, image2, from 'x':\n  Duration: 00:00:00.04, bitrate: 1 kb/s\n"
      "  Stream #0:0: Video: mjpeg, yuvj420p, 3001x4001, 25 tbr\n");
  auto xc = make("image/jpeg", 160, 160, 1);
  ASSERT_EQ(xc->prepare(), 0);
  Args a = designed(xc.get());
  EXPECT_EQ(Args(a.end() - 7, a.end() - 1),
            (Args{"-croptop", "500", "-cropbottom", "500", "-s", "160x160"}));
  auto plain = make("image/jpeg", 160, 160);
  ASSERT_EQ(plain->prepare(), 0);
  EXPECT_EQ(plain->outputWidth(), 120);  // 3001 * 0.04 = 120.04
  EXPECT_EQ(plain->outputHeight(), 160);
}

TEST_F(FakeFfmpeg, OneDifferingSideStillScales) {
  probe(
      "Input #0, mov,mp4, from 'x':\n  Duration: 00:00:02.00, bitrate: 100 kb/s\n"
      "  Stream #0:0: Video: h264, yuv420p, 481x240, 25 tbr\n");
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->prepare(), 0);
  Args a = designed(xc.get());
  EXPECT_EQ(a[a.size() - 2], "480x240");
  // Source bit rate below the target: no "-b".
  EXPECT_EQ(std::find(a.begin(), a.end(), "-b"), a.end());
}

TEST_F(FakeFfmpeg, ProbeProgramPreferred) {
  const std::string probeProg = m_bin.file("zvxc_probe");
  ASSERT_TRUE(writeFile(probeProg,
                        "#!/bin/sh\ncat <<'EOF'\n"
                        "{\"format\": {\"format_name\": \"mov,mp4\", \"bit_rate\": "
                        "\"5000000\"}, \"streams\": [{\"codec_type\": \"audio\", "
                        "\"codec_name\": \"aac\"}, {\"codec_type\": \"video\", "
                        "\"codec_name\": \"h264\", \"width\": 1280, \"height\": 720, "
                        "\"duration\": \"7.5\"}]}\nEOF\n"));
  ASSERT_EQ(::chmod(probeProg.c_str(), 0755), 0);
  probe("");  // the "-i" route would learn nothing
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->prepare(), 0);
  EXPECT_EQ(xc->probePath(), probeProg);
  EXPECT_EQ(xc->source().width, 1280);
  EXPECT_EQ(xc->source().height, 720);
  EXPECT_EQ(xc->source().duration, 7);
  EXPECT_EQ(xc->source().audioCodec, "aac");
  EXPECT_EQ(xc->source().bits & HBXC_SRC_RESOLUTION, 0u);
  Args a = designed(xc.get());
  EXPECT_EQ(Args(a.begin() + 8, a.end() - 1),
            (Args{"-b", "300000", "-ar", "44100", "-s", "480x270"}));
}

// A stand-in for the probe program: records its arguments and its standard input (all of it,
// or only the first bytes as the file "probemode" says) and describes a 640x480 picture.
const char kFakeStreamProbe[] = R"SH(#!/bin/sh
D=$(dirname "$0")
printf '%s\n' "$@" > "$D/probeargs"
if [ "$(cat "$D/probemode")" = head ]; then head -c 100 > "$D/probed"; else cat > "$D/probed"; fi
echo '{"streams": [{"codec_type": "video", "codec_name": "mjpeg", "width": 640, "height": 480}]}'
)SH";

// The probe program gets a source held only as a stream on its standard input, and ffmpeg then
// gets the whole stream again from its start, whether the probe read all of it or stopped early.
TEST_F(FakeFfmpeg, StreamSourceFedToProbeAndThenToFfmpeg) {
  const std::string probeProg = m_bin.file("zvxc_probe");
  ASSERT_TRUE(writeFile(probeProg, kFakeStreamProbe));
  ASSERT_EQ(::chmod(probeProg.c_str(), 0755), 0);
  probe("");
  mode("stdin");
  // Larger than a pipe holds, so the probe sees it only if it is fed while it runs.
  std::string bytes;
  for (int i = 0; bytes.size() < 300000; ++i) bytes += std::to_string(i) + ",";
  const std::string srcPath = m_work.file("source.bin");
  ASSERT_TRUE(writeFile(srcPath, bytes));
  for (const char *probeMode : {"all", "head"}) {
    ASSERT_TRUE(writeFile(m_bin.file("probemode"), probeMode));
    for (const char *f : {"probed", "fed"}) ::unlink(m_bin.file(f).c_str());
    HBRef<IHBStream> src;
    ASSERT_EQ(hbstream__openFile(src.out(), srcPath.c_str(), HBFILE_O_READ), 0);
    HBRef<IHBTranscode> xc = makeFromStream(src.get());
    ASSERT_TRUE(xc);
    ASSERT_EQ(xc->transcode(nullptr, nullptr), 0) << probeMode;
    std::string probed, fed, probeArgs;
    ASSERT_TRUE(readFile(m_bin.file("probed"), &probed));
    ASSERT_TRUE(readFile(m_bin.file("fed"), &fed));
    ASSERT_TRUE(readFile(m_bin.file("probeargs"), &probeArgs));
    EXPECT_EQ(probeArgs, "-\n") << probeMode;
    if (std::string(probeMode) == "all")
      EXPECT_TRUE(probed == bytes) << probed.size();
    else
      EXPECT_EQ(probed, bytes.substr(0, 100));
    EXPECT_TRUE(fed == bytes) << probeMode << " " << fed.size();
    Args r = ran();
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(Args(r.begin(), r.begin() + 3), (Args{"-y", "-i", "-"}));
    EXPECT_EQ(static_cast<HBXCodeFFMPEG *>(xc.get())->outputHeight(), 120);  // from the probe
    EXPECT_TRUE(noChildLeft()) << probeMode;
  }
}

TEST_F(FakeFfmpeg, PresetFileTranslatedToCurrentOptions) {
  ASSERT_TRUE(writeFile(m_bin.file("yto.medium.ffpreset"),
                        "coder=1\nflags=+loop\n# comment\npreset=veryfast\ncrf=28\ng=250\n"));
  probeH264("25", "48000");
  auto xc = make("video/mp4", 480, 480);
  ASSERT_EQ(xc->prepare(), 0);
  EXPECT_EQ(xc->presetPath(), m_bin.file("yto.medium.ffpreset"));
  Args a = designed(xc.get());
  EXPECT_EQ(Args(a.begin() + 8, a.begin() + 10), (Args{"-fpre", xc->presetPath()}));
  ASSERT_EQ(xc->transcode(nullptr, nullptr), 0);
  Args r = ran();
  EXPECT_EQ(std::find(r.begin(), r.end(), "-fpre"), r.end());
  EXPECT_EQ(Args(r.end() - 11, r.end() - 5),
            (Args{"-preset", "veryfast", "-crf", "28", "-g", "250"}));
}

TEST_F(FakeFfmpeg, NoSourceSizeAndNoPrograms) {
  probe(
      "Input #0, mp3, from 'x':\n  Duration: 00:03:00.00, bitrate: 128 kb/s\n"
      "  Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s\n");
  auto xc = make("video/mp4", 480, 480);
  EXPECT_EQ(xc->prepare(), BR_EINVAL);
  EXPECT_EQ(xc->prepare(), BR_EINVAL);  // cached
  EXPECT_EQ(xc->transcode(nullptr, nullptr), BR_EINVAL);
  xc.reset();
  EXPECT_TRUE(workEmpty());

  TempDir empty;
  ASSERT_EQ(m_settings.set("installdir", empty.path().c_str()), 0);
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", empty.path().c_str(), 1);
  auto none = make("image/jpeg", 160, 160);
  EXPECT_EQ(none->prepare(), BR_ENOENT);
  // Nor from the current folder, however PATH names it (empty or relative entries).
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(m_bin.path().c_str()), 0);
  ::setenv("PATH", (":.:./:" + empty.path()).c_str(), 1);
  auto here = make("image/jpeg", 160, 160);
  EXPECT_EQ(here->prepare(), BR_ENOENT);
  ASSERT_EQ(::chdir(cwd), 0);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_TRUE(workEmpty());
}

TEST_F(FakeFfmpeg, FailingAndCrashingTranscoder) {
  probe(kPhotoProbe);
  for (const char *m : {"fail", "crash"}) {
    mode(m);
    auto xc = make("image/jpeg", 160, 160, 1);
    Sink sink;
    EXPECT_EQ(xc->transcode(&sink, nullptr), BR_EFAULT) << m;
    EXPECT_EQ(sink.failed_, 1) << m;
    EXPECT_EQ(sink.completed_, 0) << m;
    EXPECT_TRUE(workEmpty()) << m;
    EXPECT_TRUE(noChildLeft()) << m;
  }
}

TEST_F(FakeFfmpeg, HungChildIsKilledByTheWatchdogs) {
  probe(kPhotoProbe);
  for (const char *m : {"hang", "chatty"}) {
    mode(m);
    auto xc = make("image/jpeg", 160, 160, 1);
    Sink sink;
    EXPECT_EQ(xc->transcode(&sink, nullptr), BR_ETIMEDOUT) << m;
    EXPECT_EQ(sink.failed_, 1) << m;
    EXPECT_TRUE(noChildLeft()) << m;
    EXPECT_TRUE(workEmpty()) << m;
  }
}

TEST_F(FakeFfmpeg, CancelFromAnotherThread) {
  probe(kPhotoProbe);
  mode("slow");
  hbxcode__setTimeoutsForTest(0, 0);  // only the cancel can end this child
  auto xc = make("image/jpeg", 160, 160, 1);
  ASSERT_EQ(xc->prepare(), 0);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    (void)xc->cancel();
  });
  Sink sink;
  EXPECT_EQ(xc->transcode(&sink, nullptr), BR_ECANCELED);
  canceller.join();
  EXPECT_EQ(sink.failed_, 1);
  EXPECT_TRUE(noChildLeft());
  EXPECT_TRUE(workEmpty());
  EXPECT_EQ(xc->transcode(&sink, nullptr), BR_ECANCELED);
}

// A source whose reads hang until released, as a stalled network read does.
class HangingSource final : public HBObject<HangingSource, IHBStream> {
 public:
  static HBRef<HangingSource> make() { return HBRef<HangingSource>::adopt(new HangingSource); }
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }
  int32_t read(void *, int32_t) override {
    std::unique_lock<std::mutex> l(m_m);
    m_entered = true;
    m_cv.notify_all();
    m_cv.wait(l, [&] { return m_released; });
    return 0;
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t, int32_t) override { return 0; }
  int32_t close() override { return 0; }
  bool waitEntered() {
    std::unique_lock<std::mutex> l(m_m);
    return m_cv.wait_for(l, std::chrono::seconds(20), [&] { return m_entered; });
  }
  void release() {
    std::lock_guard<std::mutex> g(m_m);
    m_released = true;
    m_cv.notify_all();
  }

 private:
  friend class HBObject<HangingSource, IHBStream>;
  HangingSource() = default;
  ~HangingSource() override = default;
  std::mutex m_m;
  std::condition_variable m_cv;
  bool m_entered = false, m_released = false;
};

// The child ends while its feeder still hangs in a source read: waiting for that feeder must
// not hold the lock a cancel from another thread needs.
TEST_F(FakeFfmpeg, CancelIsNotHeldUpByAHangingSourceRead) {
  probe(kPhotoProbe);  // the "-i" step answers without reading its input
  auto src = HangingSource::make();
  HBRef<IHBTranscode> xc = makeFromStream(src.get());
  ASSERT_TRUE(xc);
  std::thread worker([&] { (void)static_cast<HBXCodeFFMPEG *>(xc.get())->prepare(); });
  ASSERT_TRUE(src->waitEntered());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the child has ended by now
  std::atomic<bool> done{false};
  std::thread canceller([&] {
    (void)xc->cancel();
    done = true;
  });
  for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(done);
  src->release();
  canceller.join();
  worker.join();
  EXPECT_TRUE(noChildLeft());
}

TEST_F(FakeFfmpeg, SinkRefusalCancels) {
  probe(kPhotoProbe);
  mode("slow");
  auto xc = make("image/jpeg", 160, 160, 1);
  Sink sink;
  sink.answer = BR_ECANCELED;
  EXPECT_EQ(xc->transcode(&sink, nullptr), BR_ECANCELED);
  EXPECT_EQ(sink.reports.size(), 1u);
  EXPECT_TRUE(noChildLeft());
  EXPECT_TRUE(workEmpty());
}

TEST(HBXCodeParse, FormatLinesOfCurrentAndOldFfmpeg) {
  HBXCodeSourceInfo info;
  for (const char *l :
       {"Input #0, avi, from 'old.avi':", "  Duration: 01:02:03.40, start: 0, bitrate: 1500 kb/s",
        "    Stream #0.0: Video: mpeg4, yuv420p, 720x480 [PAR 8:9 DAR 4:3], 29.97 tbr, 30 tbn",
        "    Stream #0.1: Audio: mp3, 32000 Hz, mono, s16, 64 kb/s",
        "  Duration: 00:00:01.00, start: 0, bitrate: 9 kb/s",
        "    Stream #0:2: Video: png, rgb24, 100x100, 90k tbr",
        "    Stream #0:3: Audio: aac, 48000 Hz, stereo"})
    hbxcode__parseFormatLine(&info, l);
  EXPECT_EQ(info.format, "avi");
  EXPECT_EQ(info.duration, 3723);
  EXPECT_EQ(info.bitRate, 1500000);
  EXPECT_EQ(info.videoCodec, "mpeg4");
  EXPECT_EQ(info.width, 640);  // 480 x 4/3: the display aspect ratio wins
  EXPECT_EQ(info.height, 480);
  EXPECT_EQ(info.frameRate, 29);
  EXPECT_EQ(info.audioCodec, "mp3");
  EXPECT_EQ(info.sampleRate, 32000);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.bits, 0x3fu);

  HBXCodeSourceInfo odd;
  for (const char *l : {"Duration: N/A, bitrate: N/A", "Stream #0:0: Video: h264",
                        "Stream #0:0: Video: rawvideo, 0x0, 10 tbr", "Input #0",
                        "Stream #0:1: Audio: pcm, 8000 Hz, quad", "garbage time= Hz x"})
    hbxcode__parseFormatLine(&odd, l);
  EXPECT_EQ(odd.bits, HBXC_SRC_SAMPLERATE);
  EXPECT_EQ(odd.videoCodec, "h264");
}

TEST(HBXCodeParse, ProgressTimes) {
  int32_t s = 0, f = 0;
  EXPECT_TRUE(hbxcode__parseTime("frame= 10 q=1 size= 1kB time=00:01:02.50 bitrate=", &s, &f));
  EXPECT_EQ(s, 62);
  EXPECT_EQ(f, 50);
  EXPECT_TRUE(hbxcode__parseTime("size= 2kB time=12.34 bitrate=", &s, &f));
  EXPECT_EQ(s, 12);
  EXPECT_EQ(f, 34);
  EXPECT_FALSE(hbxcode__parseTime("time=N/A", &s, &f));
  EXPECT_FALSE(hbxcode__parseTime("frame= 1", &s, &f));
}

TEST(HBXCodeParse, TranslationScalesCropsOfDecodersWithoutReducedDecoding) {
  HBXCodeTranslateContext ctx;
  ctx.videoCodec = "h264";
  ctx.outWidth = 240;
  ctx.outHeight = 240;
  Args out;
  hbxcode__translateArguments({"ff", "-y", "-lowres", "1", "-i", "in", "-cropleft", "10",
                               "-cropright", "10", "-s", "240x240", "o"},
                              ctx, &out);
  EXPECT_EQ(out, (Args{"ff", "-y", "-i", "in", "-vf", "crop=iw-40:ih-0:20:0,scale=240:240", "o"}));
  ctx.videoCodec = "mjpeg";
  hbxcode__translateArguments({"ff", "-y", "-lowres", "1", "-i", "in", "o"}, ctx, &out);
  EXPECT_EQ(out, (Args{"ff", "-y", "-lowres", "1", "-i", "in", "-vf", "scale=240:240", "o"}));
}

// End to end with the installed ffmpeg.
class RealFfmpeg : public ::testing::Test {
 protected:
  void SetUp() override {
    auto v = runProgram({"ffmpeg", "-version"});
    if (v.exitCode != 0) GTEST_SKIP() << "no ffmpeg";
    ASSERT_EQ(m_settings.set("installdir", m_work.path().c_str()), 0);  // nothing there: PATH
  }
  std::string make(const std::string &name, const Args &opts) {
    Args argv = {"ffmpeg", "-v", "error", "-y"};
    argv.insert(argv.end(), opts.begin(), opts.end());
    argv.push_back(m_src.file(name));
    auto r = runProgram(argv, "", 60000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return m_src.file(name);
  }
  HBRef<IHBTranscode> xcode(const char *mime, int w, int h, int crop, const std::string &in,
                            IHBStream *source = nullptr) {
    HBXCodeFFMPEGParams p;
    p.mimeType = mime;
    p.width = w;
    p.height = h;
    p.crop = crop;
    p.quality = "medium";
    p.inputPath = in.empty() ? nullptr : in.c_str();
    p.workDir = m_work.path().c_str();
    HBRef<IHBTranscode> xc;
    EXPECT_EQ(HBXCodeFFMPEG__new(&p, source, xc.out()), 0);
    return xc;
  }
  std::string probeStreams(const std::string &path) {
    return runProgram({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                       "stream=codec_name,width,height", "-of", "csv=p=0", path})
        .out;
  }
  std::string saved(IHBTranscode *xc, const char *name) {
    std::string path = m_src.file(name);
    HBRef<IHBStream> out;
    EXPECT_EQ(hbstream__openFile(out.out(), path.c_str(),
                                 HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC),
              0);
    EXPECT_GT(xc->sendTo(out.get(), -1), 0);
    return path;
  }

  Settings m_settings;
  TempDir m_src, m_work;
};

TEST_F(RealFfmpeg, ThumbnailOfAPhoto) {
  const std::string photo =
      make("photo.jpg", {"-f", "lavfi", "-i", "testsrc=size=400x300", "-frames:v", "1"});
  auto xc = xcode("image/jpeg", 160, 160, 1, photo);
  HBRef<IHBMemStream> mem;
  ASSERT_EQ(hbstream__newMem(mem.out(), 4096), 0);
  ASSERT_EQ(xc->transcode(nullptr, mem.get()), 0);
  void *data = nullptr;
  int32_t len = 0;
  ASSERT_EQ(mem->getBuffer(&data, &len), 0);
  ASSERT_GT(len, 100);
  EXPECT_EQ(static_cast<unsigned char *>(data)[0], 0xFF);
  EXPECT_EQ(static_cast<unsigned char *>(data)[1], 0xD8);
  EXPECT_EQ(probeStreams(saved(xc.get(), "tn.jpg")), "mjpeg,160,160\n");
}

TEST_F(RealFfmpeg, StreamableMp4WithIndexFirst) {
  const std::string clip = make(
      "clip.mp4", {"-f", "lavfi", "-i", "testsrc=duration=1:size=640x360:rate=10", "-f", "lavfi",
                   "-i", "sine=duration=1:sample_rate=48000", "-c:v", "libx264", "-shortest"});
  auto xc = xcode("video/mp4", 480, 480, 0, clip);
  Sink sink;
  ASSERT_EQ(xc->transcode(&sink, nullptr), 0);
  EXPECT_EQ(sink.completed_, 1);
  char url[4096];
  ASSERT_EQ(xc->getOutputProperty("url", url, sizeof url), 0);
  std::string bytes;
  ASSERT_TRUE(readFile(url, &bytes));
  ASSERT_NE(bytes.find("moov"), std::string::npos);
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
  EXPECT_FALSE(exists(std::string(url) + "-"));
  EXPECT_EQ(probeStreams(url), "h264,480,270\n");
  auto decode = runProgram({"ffmpeg", "-v", "error", "-i", url, "-f", "null", "-"}, "", 60000);
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.err, "");
  xc.reset();
  EXPECT_FALSE(exists(url));
}

TEST_F(RealFfmpeg, SourceFedThroughStandardInput) {
  const std::string photo =
      make("photo.jpg", {"-f", "lavfi", "-i", "testsrc=size=320x240", "-frames:v", "1"});
  HBRef<IHBStream> src;
  ASSERT_EQ(hbstream__openFile(src.out(), photo.c_str(), HBFILE_O_READ), 0);
  auto xc = xcode("image/jpeg", 160, 160, 1, "", src.get());
  ASSERT_EQ(xc->transcode(nullptr, nullptr), 0);
  EXPECT_EQ(probeStreams(saved(xc.get(), "tn.jpg")), "mjpeg,160,160\n");
}

// Gives its bytes, then never ends: "nothing yet" for ever.
class EndlessStream final : public HBObject<EndlessStream, IHBStream> {
 public:
  explicit EndlessStream(std::string data) : m_data(std::move(data)) {}
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }
  int32_t read(void *buffer, int32_t length) override {
    if (m_pos >= m_data.size()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return BR_ETIMEDOUT;
    }
    const size_t n = std::min(m_data.size() - m_pos, size_t(length));
    std::memcpy(buffer, m_data.data() + m_pos, n);
    m_pos += n;
    return int32_t(n);
  }
  int32_t write(const void *, int32_t) override { return BR_EINVAL; }
  int64_t seek(int64_t offset, int32_t whence) override {
    if (whence != HBSTREAM_SEEK_SET || offset != 0) return BR_EINVAL;
    m_pos = 0;
    return 0;
  }
  int32_t close() override { return 0; }

 private:
  ~EndlessStream() override = default;
  friend class HBObject<EndlessStream, IHBStream>;
  std::string m_data;
  size_t m_pos = 0;
};

TEST_F(RealFfmpeg, CancelWhileFfmpegWaitsForInput) {
  const std::string photo =
      make("photo.jpg", {"-f", "lavfi", "-i", "testsrc=size=320x240", "-frames:v", "1"});
  std::string jpeg;
  ASSERT_TRUE(readFile(photo, &jpeg));
  HBRef<IHBStream> src = HBRef<IHBStream>::adopt(new EndlessStream(jpeg));
  auto xc = xcode("video/mp4", 480, 480, 0, "", src.get());
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    (void)xc->cancel();
  });
  EXPECT_EQ(xc->transcode(nullptr, nullptr), BR_ECANCELED);
  canceller.join();
  EXPECT_TRUE(noChildLeft());
  auto r = runProgram({"/bin/ls", "-A", m_work.path()});
  EXPECT_EQ(r.out, "");
}

TEST_F(RealFfmpeg, SourcesThatAreNotMedia) {
  ASSERT_TRUE(writeFile(m_src.file("empty.mp4"), ""));
  ASSERT_TRUE(writeFile(m_src.file("text.mp4"), "just some words, not a video\n"));
  for (const char *name : {"empty.mp4", "text.mp4", "missing.mp4"}) {
    auto xc = xcode("video/mp4", 480, 480, 0, m_src.file(name));
    EXPECT_EQ(xc->transcode(nullptr, nullptr), BR_EINVAL) << name;
  }
  auto r = runProgram({"/bin/ls", "-A", m_work.path()});
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
