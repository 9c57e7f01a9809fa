// The transcoder: probing, output size, argument list, following ffmpeg's output, fast start.
#include "hbtranscode_ffmpeg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "brlog.h"
#include "brthread.h"
#include "hbfaststart.h"
#include "hbjson.h"
#include "hbproperties.h"

namespace {

const char kTag[] = "HBXCFF";

std::atomic<int64_t> g_watchdogMs{600000};
std::atomic<int32_t> g_exitWaitMs{10000};

int32_t even(int64_t v) {
  return int32_t(std::min<int64_t>((v + 1) & ~int64_t(1), INT32_MAX - 1));
}

// Larger sides than this are not believed.
constexpr int kMaxSide = 1000000;

// A decimal text as a number in [0, limit]; anything unreadable is 0.
int32_t toInt(const char *text, int64_t limit) {
  const long long v = std::strtoll(text, nullptr, 10);
  return int32_t(std::clamp<long long>(v, 0, limit));
}

// Hours, minutes and seconds as seconds, kept within 32 bits whatever the text said.
int32_t clockSeconds(int h, int m, int s) {
  return int32_t(std::min<int64_t>(int64_t(h) * 3600 + int64_t(m) * 60 + s, INT32_MAX));
}

bool startsWith(const std::string &s, const char *prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

bool isFile(const std::string &path, int mode) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), mode) == 0;
}

std::string withSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/' && dir.back() != '\\') dir += '/';
  return dir;
}

// The folder of the running program, with a trailing "/".
std::string programDir() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = 0;
  char *slash = std::strrchr(buf, '/');
  if (!slash) return {};
  slash[1] = 0;
  return buf;
}

// Looks `name` up in `dirs` in order, then on PATH. Empty and relative PATH entries name the
// current folder (or one below it) and are skipped: programs are never taken from there.
std::string findProgram(const std::vector<std::string> &dirs, const char *name) {
  for (const auto &d : dirs)
    if (isFile(d + name, X_OK)) return d + name;
  const char *path = std::getenv("PATH");
  for (const char *p = path; p && *p;) {
    const char *end = std::strchr(p, ':');
    const std::string d(p, end ? size_t(end - p) : std::strlen(p));
    if (!d.empty() && d[0] == '/' && isFile(withSlash(d) + name, X_OK)) return withSlash(d) + name;
    if (!end) break;
    p = end + 1;
  }
  return {};
}

std::string trimLeft(const std::string &s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

std::vector<std::string> splitCommas(const std::string &s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t c = s.find(',', start);
    parts.push_back(
        trimLeft(s.substr(start, c == std::string::npos ? std::string::npos : c - start)));
    if (c == std::string::npos) break;
    start = c + 1;
  }
  return parts;
}

// "1920x1080 [PAR 1:1 DAR 16:9]" (or SAR); the width follows the display aspect ratio.
bool parseResolution(HBXCodeSourceInfo *info, const std::string &part) {
  int w = 0, h = 0, pw = 0, ph = 0, dw = 0, dh = 0, n = 0;
  char kind[4] = {};
  if (std::sscanf(part.c_str(), "%dx%d [%3[PSA]R %d:%d DAR %d:%d]%n", &w, &h, kind, &pw, &ph, &dw,
                  &dh, &n) == 7 &&
      n > 0 && w > 0 && h > 0 && w <= kMaxSide && h <= kMaxSide) {
    int nw = w;
    if (dw > 0 && dh > 0 && int64_t(w) * dh != int64_t(h) * dw)
      nw = std::min(even(int64_t(h) * dw / dh), kMaxSide);
    brlog(kTag, BRLOG_INFO, "Parsed source resolution: %dx%d -> %dx%d\n", w, h, nw, h);
    info->width = nw;
    info->height = h;
    info->bits |= HBXC_SRC_RESOLUTION;
    return true;
  }
  n = 0;
  if (std::sscanf(part.c_str(), "%dx%d%n", &w, &h, &n) == 2 && n > 0 && w > 0 && h > 0 &&
      w <= kMaxSide && h <= kMaxSide && (part[size_t(n)] == 0 || part[size_t(n)] == ' ')) {
    brlog(kTag, BRLOG_INFO, "Parsed source resolution: %dx%d -> %dx%d\n", w, h, w, h);
    info->width = w;
    info->height = h;
    info->bits |= HBXC_SRC_RESOLUTION;
    return true;
  }
  return false;
}

void parseStreamLine(HBXCodeSourceInfo *info, const char *line) {
  const char *p = std::strstr(line, "Stream #") + 8;
  int a = 0, b = 0;
  char id[32] = "";
  char sep = 0;
  if (std::sscanf(p, "%d%c%d", &a, &sep, &b) == 3 && (sep == '.' || sep == ':'))
    std::snprintf(id, sizeof id, "%d.%d", a, b);
  if (const char *v = std::strstr(line, "Video: ")) {
    const std::string rest = v + 7;
    const size_t comma = rest.find(',');
    std::string codec = rest.substr(0, comma);
    // Current ffmpeg adds the profile and tag after a blank: "h264 (High) (avc1 / 0x...)".
    codec = codec.substr(0, codec.find(' '));
    if (info->videoCodec.empty()) {
      info->videoCodec = codec;
      brlog(kTag, BRLOG_INFO, "Parsed video format: '%s'\n", codec.c_str());
      brlog(kTag, BRLOG_INFO, "Saved video stream ID: %s\n", id);
    }
    if (comma == std::string::npos) return;
    for (const std::string &part : splitCommas(rest.substr(comma + 1))) {
      if (!(info->bits & HBXC_SRC_RESOLUTION)) {
        parseResolution(info, part);
      } else if (!(info->bits & HBXC_SRC_FRAMERATE)) {
        float fps = 0;
        int n = 0;
        if (std::sscanf(part.c_str(), "%f tbr%n", &fps, &n) == 1 && n > 0 && fps > 0 &&
            fps < 1e6f) {
          brlog(kTag, BRLOG_INFO, "Parsed source frame rate: %.2f\n", double(fps));
          info->frameRate = int32_t(fps);
          info->bits |= HBXC_SRC_FRAMERATE;
        }
      }
    }
  } else if (const char *au = std::strstr(line, "Audio:")) {
    std::string rest = trimLeft(au + 6);
    const size_t comma = rest.find(',');
    if (info->audioCodec.empty()) {
      info->audioCodec = rest.substr(0, comma);
      info->audioCodec = info->audioCodec.substr(0, info->audioCodec.find(' '));
      brlog(kTag, BRLOG_INFO, "Saved audio stream ID: %s\n", id);
    }
    if (comma == std::string::npos) return;
    bool channelsNext = false;
    for (const std::string &part : splitCommas(rest.substr(comma + 1))) {
      if (channelsNext) {
        if (!(info->bits & HBXC_SRC_CHANNELS)) {
          int ch = 0;
          if (std::sscanf(part.c_str(), "%d", &ch) == 1 && ch > 0)
            ;
          else if (startsWith(part, "st"))
            ch = 2;
          else if (startsWith(part, "mo"))
            ch = 1;
          if (ch > 0) {
            brlog(kTag, BRLOG_INFO, "Parsed channels: %d\n", ch);
            info->channels = ch;
            info->bits |= HBXC_SRC_CHANNELS;
          } else {
            brlog(kTag, BRLOG_INFO, "Failed to parse channels!\n");
          }
        }
        break;
      }
      int hz = 0, n = 0;
      if (std::sscanf(part.c_str(), "%d Hz%n", &hz, &n) == 1 && n > 0) {
        if (!(info->bits & HBXC_SRC_SAMPLERATE)) {
          brlog(kTag, BRLOG_INFO, "Parsed sample freq: %d\n", hz);
          info->sampleRate = hz;
          info->bits |= HBXC_SRC_SAMPLERATE;
        }
        channelsNext = true;
      }
    }
  }
}

}  // namespace

void hbxcode__setTimeoutsForTest(int64_t watchdogMs, int32_t exitWaitMs) {
  g_watchdogMs = watchdogMs > 0 ? watchdogMs : 600000;
  g_exitWaitMs = exitWaitMs > 0 ? exitWaitMs : 10000;
}

void hbxcode__parseFormatLine(HBXCodeSourceInfo *info, const char *line) {
  if (std::strstr(line, "Input #")) {
    const char *a = std::strstr(line, ", ");
    if (a && info->format.empty()) {
      a += 2;
      const char *b = std::strstr(a, ", ");
      info->format.assign(a, b ? size_t(b - a) : std::strlen(a));
      brlog(kTag, BRLOG_INFO, "Parsed file format: '%s'\n", info->format.c_str());
    }
  }
  if (std::strstr(line, "Stream #")) {
    parseStreamLine(info, line);
  } else if (const char *d = std::strstr(line, "Duration:")) {
    int h = 0, m = 0, s = 0;
    if (!(info->bits & HBXC_SRC_DURATION) && std::sscanf(d + 9, " %d:%d:%d", &h, &m, &s) == 3 &&
        h >= 0 && m >= 0 && s >= 0) {
      info->duration = clockSeconds(h, m, s);
      info->bits |= HBXC_SRC_DURATION;
      brlog(kTag, BRLOG_INFO, "Parsed duration: %d:%d:%d (%ds)\n", h, m, s, info->duration);
    }
    int kbs = 0;
    const char *br = std::strstr(d, "bitrate:");
    if (br && !(info->bits & HBXC_SRC_BITRATE) && std::sscanf(br + 8, " %d kb/s", &kbs) == 1 &&
        kbs > 0 && kbs < 2000000) {
      info->bitRate = kbs * 1000;
      info->bits |= HBXC_SRC_BITRATE;
      brlog(kTag, BRLOG_INFO, "Parsed bitrate: %d kb/s\n", kbs);
    }
  }
}

bool hbxcode__parseTime(const char *line, int32_t *seconds, int32_t *fraction) {
  const char *t = std::strstr(line, "time=");
  if (!t) return false;
  t += 5;
  int h = 0, m = 0, s = 0, f = 0;
  if (std::sscanf(t, "%d:%d:%d.%d", &h, &m, &s, &f) == 4 && h >= 0 && m >= 0 && s >= 0) {
    *seconds = clockSeconds(h, m, s);
    *fraction = f;
    return true;
  }
  if (std::sscanf(t, "%d.%d", &s, &f) == 2 && s >= 0) {
    *seconds = s;
    *fraction = f;
    return true;
  }
  return false;
}

void hbxcode__translateArguments(const std::vector<std::string> &in,
                                 const HBXCodeTranslateContext &ctx,
                                 std::vector<std::string> *out) {
  out->clear();
  const std::string &codec = ctx.videoCodec;
  const bool lowresDecoder = codec == "mjpeg" || startsWith(codec, "mpeg");
  int64_t left = 0, right = 0, top = 0, bottom = 0, factor = 1;
  bool crop = false, x264 = false;
  std::vector<std::string> extra;
  const size_t last = in.empty() ? 0 : in.size() - 1;  // the output path
  for (size_t i = 0; i < last; ++i) {
    const std::string &a = in[i];
    const bool hasValue = i + 1 < last;
    const std::string v = hasValue ? in[i + 1] : std::string();
    if (a == "-lowres" && hasValue) {
      if (lowresDecoder) {
        out->push_back(a);
        out->push_back(v);
      } else {
        // Decoders without reduced decoding give full frames: crops were computed for the
        // reduced size.
        factor = int64_t(1) << std::clamp(std::atoi(v.c_str()), 0, 8);
      }
      ++i;
    } else if ((a == "-cropleft" || a == "-cropright" || a == "-croptop" || a == "-cropbottom") &&
               hasValue) {
      const int64_t n = std::max(0, std::atoi(v.c_str()));
      (a == "-cropleft" ? left : a == "-cropright" ? right : a == "-croptop" ? top : bottom) = n;
      crop = true;
      ++i;
    } else if (a == "-s" && hasValue) {
      ++i;  // the scale filter below carries the size
    } else if (a == "-b" && hasValue) {
      out->push_back("-b:v");
      out->push_back(v);
      ++i;
    } else if (a == "-fpre" && hasValue) {
      // Old preset files list codec options one "name=value" a line; keep the ones current
      // encoders still know.
      static const char *const kept[] = {
          "preset",       "tune",        "profile",  "level",   "crf",   "g",       "keyint_min",
          "bf",           "refs",        "qmin",     "qmax",    "qcomp", "maxrate", "bufsize",
          "sc_threshold", "x264-params", "x264opts", "threads", "b"};
      if (FILE *f = std::fopen(v.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, f)) {
          std::string l(line);
          while (!l.empty() && (l.back() == '\n' || l.back() == '\r' || l.back() == ' '))
            l.pop_back();
          const size_t eq = l.find('=');
          if (l.empty() || l[0] == '#' || eq == std::string::npos) continue;
          const std::string name = trimLeft(l.substr(0, eq)), value = l.substr(eq + 1);
          bool known = false;
          for (const char *k : kept) known = known || name == k;
          if (!known) {
            brlog(kTag, BRLOG_VERBOSE, "Preset option dropped: '%s'\n", name.c_str());
            continue;
          }
          extra.push_back(name == "b" ? "-b:v" : "-" + name);
          extra.push_back(value);
        }
        std::fclose(f);
      }
      ++i;
    } else {
      if (a == "-vcodec" && v == "libx264") x264 = true;
      out->push_back(a);
    }
  }
  out->insert(out->end(), extra.begin(), extra.end());
  std::string filter;
  if (crop) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "crop=iw-%lld:ih-%lld:%lld:%lld",
                  (long long)((left + right) * factor), (long long)((top + bottom) * factor),
                  (long long)(left * factor), (long long)(top * factor));
    filter = buf;
  }
  if (ctx.outWidth > 0 && ctx.outHeight > 0) {
    if (!filter.empty()) filter += ',';
    filter += "scale=" + std::to_string(ctx.outWidth) + ":" + std::to_string(ctx.outHeight);
  }
  if (!filter.empty()) {
    out->push_back("-vf");
    out->push_back(filter);
  }
  if (x264) {
    out->push_back("-pix_fmt");
    out->push_back("yuv420p");
  }
  if (!in.empty()) out->push_back(in[last]);
}

// ------------------------------------------------------------------------------------------

struct HBXCodeFFMPEG::ParseState {
  int32_t pass = 1, passes = 1;
  IHBTranscodeEventSink *sink = nullptr;
  const char *outputPath = nullptr;  // set for the transcode step: the file watchdog
  bool formatLines = false;
  int64_t lastProgress = 0;
  int32_t seconds = 0, fraction = 0;
};

HBXCodeFFMPEG::HBXCodeFFMPEG(const HBXCodeFFMPEGParams &p, IHBStream *source)
    : m_mimeType(p.mimeType ? p.mimeType : ""),
      m_reqWidth(p.width),
      m_reqHeight(p.height),
      m_crop(p.crop),
      m_quality(p.quality ? p.quality : "low"),
      m_hasInput(p.inputPath && *p.inputPath),
      m_inputPath(m_hasInput ? p.inputPath : "-"),
      m_hasWorkDir(p.workDir && *p.workDir),
      m_workDir(m_hasWorkDir ? p.workDir : ""),
      m_source(HBRef<IHBStream>::retain(source)) {
  if (p.durationLimit) m_durationLimit = uint32_t(std::strtoul(p.durationLimit, nullptr, 10));
  std::string accel;
  m_accelMpeg = hbproperties__getDefaultString("accelmpeg", &accel) == 0 && accel == "1";
}

HBXCodeFFMPEG::~HBXCodeFFMPEG() {
  m_result.reset();
  removeOutputs();
}

int32_t HBXCodeFFMPEG::getifc(int32_t ifc, void **out) {
  if (ifc == HBIFC_XCODE) return offer<IHBTranscode>(out);
  if (ifc == HBIFC_XCODE2) return offer<IHBTranscodeImpl>(out);
  brlog(kTag, BRLOG_WARNING, "%s(): Unsupported IID: %d\n", "HBXCodeFFMPEG::getifc", ifc);
  return BR_ENOENT;
}

int32_t HBXCodeFFMPEG::read(void *buffer, int32_t length) {
  if (!m_result) {
    brlog(kTag, BRLOG_ERROR, "Conversion not yet done!\n");
    return BR_EBUSY;
  }
  return m_result->read(buffer, length);
}

int64_t HBXCodeFFMPEG::seek(int64_t offset, int32_t whence) {
  if (!m_result) {
    brlog(kTag, BRLOG_ERROR, "Conversion not yet done!\n");
    return BR_EBUSY;
  }
  return m_result->seek(offset, whence);
}

int32_t HBXCodeFFMPEG::write(const void *, int32_t) {
  brlog(kTag, BRLOG_ERROR, "%s unsupported!\n", "HBXCodeFFMPEG::write");
  return BR_EINVAL;
}

int32_t HBXCodeFFMPEG::flush() {
  brlog(kTag, BRLOG_ERROR, "%s unsupported!\n", "HBXCodeFFMPEG::sync");
  return BR_EINVAL;
}

int32_t HBXCodeFFMPEG::close() {
  if (m_result) {
    (void)m_result->close();
    m_result.reset();
  }
  removeOutputs();
  return 0;
}

void HBXCodeFFMPEG::removeOutputs() {
  if (m_outputPath.empty()) return;
  ::unlink(m_outputPath.c_str());
  ::unlink((m_outputPath + "-").c_str());
}

bool HBXCodeFFMPEG::cancelled() {
  return m_cancelled.load();
}

int32_t HBXCodeFFMPEG::cancel() {
  brlog(kTag, BRLOG_INFO, "cancelling transcode of '%s'...\n", m_inputPath.c_str());
  std::lock_guard<std::mutex> g(m_lock);
  m_cancelled = true;
  if (m_running) (void)osKillFFMPEG();
  return 0;
}

HBTranscodeCreateFn HBXCodeFFMPEG::creator() {
  return &HBXCodeFFMPEG__new;
}

int32_t HBXCodeFFMPEG::getOutputProperty(const char *name, char *buffer, int32_t size) {
  std::string value;
  if (!std::strcmp(name, "url")) {
    if (!m_result) {
      brlog(kTag, BRLOG_VERBOSE, "Final URL not yet available\n");
      return BR_EAGAIN;
    }
    value = m_outputPath;
  } else if (!std::strcmp(name, "mimetype")) {
    value = m_mimeType;
  } else if (!std::strcmp(name, "size")) {
    if (m_finalSize >= 0) {
      value = std::to_string(m_finalSize);
    } else {
      const int64_t rate = m_targetBitRate > 0 ? m_targetBitRate : m_src.bitRate;
      if (m_src.duration <= 0 || rate <= 0) {
        brlog(kTag, BRLOG_VERBOSE, "Final size not yet available\n");
        return BR_EAGAIN;
      }
      const unsigned long long estimate = (unsigned long long)(int64_t(m_src.duration) * rate / 8);
      brlog(kTag, BRLOG_VERBOSE, "Returning estimated file size: %llu\n", estimate);
      value = std::to_string(estimate);
    }
  } else if (!std::strcmp(name, "width") || !std::strcmp(name, "height")) {
    const bool w = name[0] == 'w';
    const int32_t v = w ? m_outWidth : m_outHeight;
    if (v <= 0) {
      brlog(kTag, BRLOG_VERBOSE,
            w ? "Final width not yet available\n" : "Final height not yet available\n");
      return BR_EAGAIN;
    }
    value = std::to_string(v);
  } else {
    return BR_ENOENT;
  }
  if (buffer && size > 0) {
    const size_t n = std::min(value.size(), size_t(size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = 0;
  }
  return 0;
}

// ------------------------------------------------------------------------------------------

int32_t HBXCodeFFMPEG::findPrograms() {
  if (m_programsFound) return 0;
  // The setting first, then the folder of this program; never the current folder, where
  // anyone could have left a program of that name.
  std::vector<std::string> dirs;
  std::string dir;
  if (hbproperties__getDefaultString("installdir", &dir) == 0 && !dir.empty() && dir[0] == '/') {
    if (dir.size() > 500) dir.resize(500);
    dirs.push_back(withSlash(dir));
  }
  const std::string own = programDir();
  if (!own.empty() && (dirs.empty() || own != dirs[0])) dirs.push_back(own);
  dir = dirs.empty() ? std::string() : dirs[0];
  for (const auto &d : dirs) brlog(kTag, BRLOG_INFO, "Searching for FFMPEG in '%s'!\n", d.c_str());

  const std::string presetName =
      m_quality.empty() ? std::string("yto.ffpreset") : "yto." + m_quality + ".ffpreset";
  for (const auto &d : dirs)
    if (m_presetPath.empty() && isFile(d + presetName, R_OK)) m_presetPath = d + presetName;
  if (!m_presetPath.empty())
    brlog(kTag, BRLOG_INFO, "Found ffmpeg preset path: '%s'\n", m_presetPath.c_str());
  else
    brlog(kTag, BRLOG_INFO, "Couldn't find ffmpeg preset path: %s!\n", (dir + presetName).c_str());

  m_probePath = findProgram(dirs, "zvxc_probe");
  if (!m_probePath.empty())
    brlog(kTag, BRLOG_INFO, "Found zvxc_probe.exe: '%s'\n", m_probePath.c_str());
  else
    brlog(kTag, BRLOG_INFO, "Couldn't find zvxc_probe.exe: %s!\n", (dir + "zvxc_probe").c_str());

  m_ffmpegPath = findProgram(dirs, "ffmpeg");
  if (m_ffmpegPath.empty()) {
    brlog(kTag, BRLOG_ERROR, "Couldn't find ffmpeg.exe: %s!\n", (dir + "ffmpeg").c_str());
    return BR_ENOENT;
  }
  brlog(kTag, BRLOG_INFO, "Found ffmpeg.exe: '%s'\n", m_ffmpegPath.c_str());
  m_programsFound = true;
  return 0;
}

int32_t HBXCodeFFMPEG::makeOutputPath() {
  if (!m_outputPath.empty()) return 0;
  std::string dir = m_workDir;
  if (!m_hasWorkDir && (hbproperties__getDefaultString("datadir", &dir) != 0 || dir.empty())) {
    const char *tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  std::string templ = withSlash(dir) + "hbxcXXXXXX";
  // mkstemp reserves the name for us; ffmpeg overwrites the empty file.
  const int fd = ::mkstemp(templ.data());
  if (fd < 0) {
    const int err = errno;
    brlog(kTag, BRLOG_ERROR, "Failed to make output file in '%s': %s\n", dir.c_str(),
          std::strerror(err));
    return brerror__fromErrno(err);
  }
  ::close(fd);
  m_outputPath = templ;
  return 0;
}

IHBStream *HBXCodeFFMPEG::feedStream() {
  if (m_hasInput || !m_source) return nullptr;
  // The probe consumed the stream once already: start it over.
  if (m_sourceUsed && m_source->seek(0, HBSTREAM_SEEK_SET) != 0) return nullptr;
  m_sourceUsed = true;
  return m_source.get();
}

int32_t HBXCodeFFMPEG::forkFFMPEG(const std::vector<std::string> &args, Step step,
                                  IHBStream **out) {
  std::vector<std::string> real;
  if (step == Step::kTranscode) {
    HBXCodeTranslateContext ctx;
    ctx.videoCodec = m_src.videoCodec;
    ctx.outWidth = m_outWidth;
    ctx.outHeight = m_outHeight;
    hbxcode__translateArguments(args, ctx, &real);
  } else {
    real = args;
  }
  IHBStream *input = nullptr;
  if (!m_hasInput) {
    if (!m_source) return BR_ENOENT;
    input = feedStream();
    if (!input) return BR_EUNSUPPORTED;
  }
  std::lock_guard<std::mutex> g(m_lock);
  ASSERT(m_running == false && "m_ffmpegrunning == 0");
  if (m_cancelled) return BR_ECANCELED;
  const int32_t rc = osForkFFMPEG(
      real, input, step == Step::kProbe ? ChildOutput::kStdout : ChildOutput::kStderr, out);
  if (rc == 0) m_running = true;
  return rc;
}

int32_t HBXCodeFFMPEG::waitFFMPEG(int32_t ms, int32_t *exitCode) {
  const int64_t start = brtime__ticks();
  for (;;) {
    int32_t rc;
    {
      std::lock_guard<std::mutex> g(m_lock);
      rc = osWaitFFMPEG(exitCode);
      if (rc != BR_ETIMEDOUT) m_running = false;
    }
    if (rc != BR_ETIMEDOUT) {
      osEndFeed();
      return rc;
    }
    if (ms >= 0 && brtime__ticks() - start >= ms) return BR_ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

int32_t HBXCodeFFMPEG::waitOrKillFFMPEG(int32_t ms, int32_t *exitCode, const char *step) {
  const int32_t rc = waitFFMPEG(ms, exitCode);
  if (rc != BR_ETIMEDOUT) return rc;
  if (step)
    brlog(kTag, BRLOG_WARNING,
          "%s ffmpeg invocation did not exit within 10 seconds! Killing it and retrying wait...\n",
          step);
  {
    std::lock_guard<std::mutex> g(m_lock);
    (void)osKillFFMPEG();
  }
  // The kill cannot be refused: this wait ends, and the child is reaped before the next.
  return waitFFMPEG(-1, exitCode);
}

int32_t HBXCodeFFMPEG::parseProgressLine(ParseState *st, const char *line) {
  if (!st->sink) return 0;
  int32_t s = 0, f = 0;
  if (!hbxcode__parseTime(line, &s, &f)) return 0;
  brlog(kTag, BRLOG_VERBOSE, "Parsed time: %d.%d\n", s, f);
  st->seconds = s;
  st->fraction = f;
  const int64_t now = brtime__ticks();
  if (st->lastProgress != 0 && now - st->lastProgress < 1000) return 0;
  st->lastProgress = now;
  brlog(kTag, BRLOG_VERBOSE, "PROGRESS %llu: %d.%d\n", (unsigned long long)now, s, f);
  const HBXCodeProgress rec = {st->pass, st->passes, m_src.duration, s};
  const int32_t rc = st->sink->progress(this, &rec);
  if (rc == BR_ECANCELED) (void)cancel();
  return rc;
}

int32_t HBXCodeFFMPEG::parseOutput(IHBStream *stream, ParseState *st) {
  char buf[4096];
  int32_t len = 0;
  int64_t lastData = brtime__ticks();
  int64_t lastFileCheck = lastData;
  int64_t lastChange = brtime__nowMs();  // the output file's last known modification
  const int64_t watchdog = g_watchdogMs.load();
  auto fileTime = [&](int64_t *ms) {
    struct stat sb;
    if (::stat(st->outputPath, &sb) != 0) return false;
    *ms = int64_t(sb.st_mtim.tv_sec) * 1000 + sb.st_mtim.tv_nsec / 1000000;
    return true;
  };
  for (;;) {
    if (cancelled()) return BR_ECANCELED;
    const int32_t n = stream->read(buf + len, int32_t(sizeof buf) - 1 - len);
    brlog(kTag, BRLOG_VERBOSE4, "READ: %d (%s)\n", n,
          n > 0    ? "NO ERROR"
          : n == 0 ? "EOF"
                   : brerror__name(n));
    if (n == 0) return 0;
    if (n == BR_ETIMEDOUT || n == BR_EAGAIN) {
      const int64_t idle = brtime__ticks() - lastData;
      if (idle >= watchdog) {
        brlog(kTag, BRLOG_ERROR, "FFMPEG_TIMEOUT: %llds elapsed with nothing from stdout/stderr\n",
              (long long)(idle / 1000));
        return BR_ETIMEDOUT;
      }
    } else if (n < 0) {
      return n;
    } else {
      lastData = brtime__ticks();
      len += n;
      buf[len] = 0;
      int32_t start = 0;
      for (int32_t i = 0; i < len; ++i) {
        if (buf[i] != '\r' && buf[i] != '\n') continue;
        buf[i] = 0;
        if (i > start) {
          const char *line = buf + start;
          brlog(kTag, BRLOG_VERBOSE2, "LINE: '%s'\n", line);
          if (st->formatLines) {
            hbxcode__parseFormatLine(&m_src, line);
          } else {
            const int32_t rc = parseProgressLine(st, line);
            if (rc != 0) return rc;
          }
        }
        start = i + 1;
      }
      if (start == 0 && len == int32_t(sizeof buf) - 1) start = len;  // no line end: drop it
      len -= start;
      std::memmove(buf, buf + start, size_t(len));
    }
    if (st->outputPath && brtime__ticks() - lastFileCheck >= 1000) {
      lastFileCheck = brtime__ticks();
      int64_t t = 0;
      if (fileTime(&t)) lastChange = std::max(lastChange, t);
      if (brtime__nowMs() - lastChange >= watchdog) {
        if (fileTime(&t)) lastChange = std::max(lastChange, t);
        const int64_t still = brtime__nowMs() - lastChange;
        if (still >= watchdog) {
          brlog(kTag, BRLOG_ERROR,
                "FFMPEG_TIMEOUT: %llds elapsed with no change to output file: %s\n",
                (long long)(still / 1000), st->outputPath);
          return BR_ETIMEDOUT;
        }
      }
    }
  }
}

int32_t HBXCodeFFMPEG::probeWithProbe() {
  brlog(kTag, BRLOG_INFO, "--- USING ZVXC_PROBE:\n");
  brlog(kTag, BRLOG_INFO, "---    \"%s\" \"%s\"\n", m_probePath.c_str(), m_inputPath.c_str());
  // Through the platform part like ffmpeg, so that a source held as a stream is fed to it and
  // a cancel kills it.
  HBRef<IHBStream> out;
  int32_t rc = forkFFMPEG({m_probePath, m_inputPath}, Step::kProbe, out.out());
  if (rc != 0) return rc;
  std::string text;
  const int64_t start = brtime__ticks();
  char buf[4096];
  while (rc == 0 && !cancelled()) {
    const int32_t n = out->read(buf, sizeof buf);
    if (n == 0) break;
    if (n == BR_ETIMEDOUT || n == BR_EAGAIN) {
      if (brtime__ticks() - start >= g_watchdogMs.load()) break;
      continue;
    }
    if (n < 0 || text.size() > (16u << 20)) break;
    text.append(buf, size_t(n));
  }
  HBRef<HBMap> map;
  const int32_t parsed = hbjson__parseText(map, text.c_str(), int32_t(text.size()));
  int32_t code = 0;
  (void)waitOrKillFFMPEG(cancelled() ? 0 : g_exitWaitMs.load(), &code, nullptr);
  if (cancelled()) return BR_ECANCELED;
  if (parsed < 0 || !map) return 0;
  hbvalue__dump(kTag, BRLOG_INFO, 0, nullptr, map.get());
  HBRef<HBMap> format;
  if (map->getMap("format", format) == 0) {
    if (const char *f = format->getString("format_name")) m_src.format = f;
    if (const char *b = format->getString("bit_rate")) m_src.bitRate = toInt(b, INT32_MAX);
  }
  HBRef<IHBIter> streams;
  if (map->getIter("streams", streams) == 0) {
    bool video = false, audio = false;
    for (;;) {
      hbtype_t t = HBTYPE_ANY;
      void *item = nullptr;
      if (streams->next(&t, &item) != 0) break;
      if (hbtype__isRaw(t) || !item) continue;
      // Object items are held through interfaces that all begin with IHBObj.
      HBRef<IHBObj> obj = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(item));
      HBRef<IHBMap> s;
      if (hb_query<IHBMap>(obj.get(), s) != 0) continue;
      const char *type = s->getString("codec_type");
      const char *codec = s->getString("codec_name");
      if (type && type[0] == 'v' && !video) {
        video = true;
        if (codec) m_src.videoCodec = codec;
        if (const char *w = s->getString("width")) m_src.width = toInt(w, kMaxSide);
        if (const char *h = s->getString("height")) m_src.height = toInt(h, kMaxSide);
        if (const char *d = s->getString("duration")) m_src.duration = toInt(d, INT32_MAX);
      } else if (type && type[0] == 'a' && !audio) {
        audio = true;
        if (codec) m_src.audioCodec = codec;
      }
    }
  }
  return 0;
}

int32_t HBXCodeFFMPEG::doFormatFFMPEG() {
  const int64_t start = brtime__ticks();
  std::vector<std::string> args = {m_ffmpegPath, "-i", m_inputPath};
  HBRef<IHBStream> err;
  int32_t rc = forkFFMPEG(args, Step::kFormat, err.out());
  if (rc == 0) {
    ParseState st;
    st.formatLines = true;
    (void)parseOutput(err.get(), &st);
    const uint32_t need = HBXC_SRC_RESOLUTION | HBXC_SRC_DURATION;
    if ((m_src.bits & need) != need) {
      brlog(kTag, BRLOG_WARNING, "Failed to parse source format -- needed bits: 0x%x!\n",
            need & ~m_src.bits);
      brlog(kTag, BRLOG_WARNING, "Failed to parse source format! %d\n", BR_EINVAL);
    }
    int32_t code = 0;
    rc = waitOrKillFFMPEG(g_exitWaitMs.load(), &code, "format");
    if (rc == BR_ECANCELED) {
      brlog(kTag, BRLOG_ERROR, "ffmpeg format invocation received signal %d.\n", 2);
    } else if (rc == 0 && code != 0 && code != 1) {
      brlog(kTag, BRLOG_ERROR, "External transcoder error! %d\n", code);
      rc = BR_EFAULT;
    }
  }
  brlog(kTag, BRLOG_INFO, "[%s] took %llums ==> %d\n", "doFormatFFMPEG",
        (unsigned long long)(brtime__ticks() - start), rc);
  return rc;
}

int32_t HBXCodeFFMPEG::settleOutputSize() {
  const bool mp4 = m_mimeType == "video/mp4";
  if (mp4) {
    brlog(kTag, BRLOG_INFO, "--- CHECKING BEST XCODE OPTION '%s' '%s'\n", m_src.format.c_str(),
          m_src.videoCodec.c_str());
    if (m_targetBitRate == 0) m_targetBitRate = 300000;
    const std::string &vc = m_src.videoCodec;
    if (vc == "mjpeg" || (m_accelMpeg && (startsWith(vc, "mpeg") || vc == "h264"))) {
      brlog(kTag, BRLOG_INFO, "---    ACCELERATE VIA DECODE SCALE\n");
      while (m_src.width > 480 || m_src.height > 480) {
        m_src.width /= 2;
        m_src.height /= 2;
        ++m_lowres;
      }
    }
    if (m_reqWidth == 0 || m_reqHeight == 0) {
      int32_t w = m_src.width, h = m_src.height;
      if (w > 480 || h > 480) {
        if (w > h) {
          h = int32_t(int64_t(h) * 4096 / w * 480 / 4096);
          w = 480;
        } else {
          w = int32_t(int64_t(w) * 4096 / h * 480 / 4096);
          h = 480;
        }
      }
      m_outWidth = even(w);
      m_outHeight = even(h);
    }
    if (startsWith(m_src.format, "mov,") && m_src.videoCodec == "h264") {
      brlog(kTag, BRLOG_INFO, "---    MP4,h264 -- %d x %d (bitrate %d)\n", m_src.width,
            m_src.height, m_src.bitRate);
      if (m_src.width > 480 || m_src.height > 480 || m_src.bitRate > 300000)
        brlog(kTag, BRLOG_INFO, "---    MP4,h264 -- Need to downscale or downrate!\n");
      else
        brlog(kTag, BRLOG_INFO, "---    MP4,h264 -- Accelerate via streamify\n");
    } else {
      brlog(kTag, BRLOG_INFO, "---    Unsupported acceleration\n");
    }
  }
  if (m_outWidth != 0 && m_outHeight != 0) return 0;

  const int32_t sw = m_src.width, sh = m_src.height;
  if (sw <= 0 || sh <= 0) {
    brlog(kTag, BRLOG_ERROR, "Can't scale image\n");
    brlog(kTag, BRLOG_ERROR, "Failed to calculate scaled resolution! %d\n", BR_EINVAL);
    return BR_EINVAL;
  }
  const int32_t rw = m_reqWidth, rh = m_reqHeight;
  if ((rw == 0 && rh == 0) || (rw >= sw && rh >= sh)) {
    brlog(kTag, BRLOG_INFO, "Not scaling %dx%d -> %dx%d\n", sw, sh, rw, rh);
    m_outWidth = even(sw);
    m_outHeight = even(sh);
  } else if (m_crop) {
    if (sw > sh) {
      m_cropLeft = even((sw - sh) / 2);
      m_src.width = sh;
    } else if (sh > sw) {
      m_cropTop = even((sh - sw) / 2);
      m_src.height = sw;
    }
    const int32_t side = rw > 0 ? rw : rh;
    m_outWidth = m_outHeight = even(side);
    brlog(kTag, BRLOG_DEBUG, "Scaling and cropping image %dx%d -> %dx%d\n", sw, sh, m_outWidth,
          m_outHeight);
  } else {
    // A side asked as 0 does not constrain the scale.
    const float fh = rh > 0 ? float(rh) / float(sh) : 1e9f;
    const float fw = rw > 0 ? float(rw) / float(sw) : 1e9f;
    const float f = std::min(fh, fw);
    m_outWidth = std::max(2, even(int32_t(float(sw) * f)));
    m_outHeight = std::max(2, even(int32_t(float(sh) * f)));
    brlog(kTag, BRLOG_DEBUG, "Scaling image %dx%d -> %dx%d\n", sw, sh, m_outWidth, m_outHeight);
  }
  return 0;
}

int32_t HBXCodeFFMPEG::prepare() {
  if (m_prepared <= 0) return m_prepared;
  int32_t rc = findPrograms();
  if (rc == 0) rc = makeOutputPath();
  if (rc == 0) {
    if (!m_probePath.empty()) {
      rc = probeWithProbe();
    } else {
      rc = doFormatFFMPEG();
    }
  }
  if (rc == 0) rc = settleOutputSize();
  if (rc == 0) m_src.bits |= HBXC_SRC_PREPARED;
  if (rc < 0 && !m_outputPath.empty()) removeOutputs();
  // A cancel is not a result of the source: a later call may not reuse it.
  if (rc != BR_ECANCELED) m_prepared = rc;
  return rc;
}

void HBXCodeFFMPEG::transcodeArguments(std::vector<std::string> *out) const {
  auto num = [](long long v) { return std::to_string(v); };
  std::vector<std::string> &a = *out;
  a = {m_ffmpegPath, "-y"};
  if (m_lowres > 0) a.insert(a.end(), {"-lowres", num(m_lowres)});
  a.insert(a.end(), {"-i", m_inputPath});
  if (m_mimeType == "image/jpeg") {
    a.insert(a.end(), {"-f", "mjpeg", "-an", "-r", "1", "-vframes", "1"});
  } else if (m_mimeType == "video/mp4") {
    a.insert(a.end(), {"-f", "mp4", "-vcodec", "libx264"});
    if (!m_presetPath.empty()) a.insert(a.end(), {"-fpre", m_presetPath});
    if (m_durationLimit != 0) a.insert(a.end(), {"-t", num(m_durationLimit)});
    if (m_targetBitRate > 0 && m_targetBitRate < m_src.bitRate) {
      a.insert(a.end(), {"-b", num(m_targetBitRate)});
    } else {
      brlog(kTag, BRLOG_INFO, "Not overriding source bitrate! %d < %d\n", m_src.bitRate,
            m_targetBitRate);
    }
    if (m_src.bits & HBXC_SRC_FRAMERATE) {
      if (m_src.frameRate == 59) a.insert(a.end(), {"-r", "29.97"});
      if (m_src.frameRate == 60) a.insert(a.end(), {"-r", "30"});
    }
    if ((m_src.bits & HBXC_SRC_SAMPLERATE) && m_src.sampleRate >= 22000 &&
        m_src.sampleRate <= 44100)
      a.insert(a.end(), {"-ar", num(m_src.sampleRate)});
    else
      a.insert(a.end(), {"-ar", "44100"});
    if (m_src.bits & HBXC_SRC_CHANNELS) a.insert(a.end(), {"-ac", m_src.channels < 2 ? "1" : "2"});
  }
  if (m_cropLeft > 0) {
    a.insert(a.end(), {"-cropleft", num(m_cropLeft), "-cropright", num(m_cropLeft + m_cropRight)});
  } else if (m_cropRight > 0) {
    a.insert(a.end(), {"-cropright", num(m_cropRight)});
  }
  if (m_cropTop > 0) {
    a.insert(a.end(), {"-croptop", num(m_cropTop), "-cropbottom", num(m_cropTop + m_cropBottom)});
  } else if (m_cropBottom > 0) {
    a.insert(a.end(), {"-cropbottom", num(m_cropBottom)});
  }
  // A side that matches the source on its own still needs the size: either differing side
  // means scaling.
  if (m_outWidth > 0 && m_outHeight > 0 &&
      (m_outWidth != m_src.width - m_cropRight || m_outHeight != m_src.height - m_cropBottom)) {
    a.insert(a.end(), {"-s", std::to_string(m_outWidth) + "x" + std::to_string(m_outHeight)});
  }
  a.push_back(m_outputPath);
}

int32_t HBXCodeFFMPEG::doTranscodeFFMPEG(IHBTranscodeEventSink *sink) {
  const int64_t start = brtime__ticks();
  std::vector<std::string> args;
  transcodeArguments(&args);
  HBRef<IHBStream> err;
  int32_t rc = forkFFMPEG(args, Step::kTranscode, err.out());
  if (rc == 0) {
    ParseState st;
    st.sink = sink;
    st.outputPath = m_outputPath.c_str();
    const int32_t parsed = parseOutput(err.get(), &st);
    brlog(kTag, BRLOG_INFO, "FINAL PROGRESS (RET: %d) %llu: %d.%d (Saved)\n", parsed,
          (unsigned long long)brtime__ticks(), st.seconds, st.fraction);
    if (sink && parsed >= 0) {
      const HBXCodeProgress rec = {st.pass, st.passes, m_src.duration, st.seconds};
      (void)sink->progress(this, &rec);
    }
    int32_t code = 0;
    const int32_t w = waitOrKillFFMPEG(g_exitWaitMs.load(), &code, "Transcode");
    if (w == BR_ECANCELED) {
      brlog(kTag, BRLOG_ERROR, "Transcode ffmpeg invocation recieved signal %d.\n", 2);
      rc = BR_EFAULT;
    } else if (w < 0) {
      rc = w;
    } else {
      brlog(kTag, BRLOG_INFO, "FFMPEG RETURN CODE: %d\n", code);
      if (code != 0)
        rc = BR_EFAULT;
      else if (parsed == BR_ECANCELED)
        rc = BR_ECANCELED;
    }
    // A hung child or a refusal by the sink is the reason, not the kill that followed it.
    if (parsed < 0 && parsed != BR_ECANCELED) rc = parsed;
  }
  brlog(kTag, BRLOG_INFO, "[%s] took %llums ==> %d\n", "doTranscodeFFMPEG",
        (unsigned long long)(brtime__ticks() - start), rc);
  if (rc > 0) {
    brlog(kTag, BRLOG_ERROR, "External transcoder error! %d\n", rc);
    rc = BR_EUNSPEC;
  }
  return rc;
}

void HBXCodeFFMPEG::fastStart() {
  const std::string moved = m_outputPath + "-";
  if (::rename(m_outputPath.c_str(), moved.c_str()) != 0) {
    brlog(kTag, BRLOG_ERROR, "Failed to qtfs! %d\n", brerror__fromErrno(errno));
    return;
  }
  const int64_t start = brtime__ticks();
  bool written = false;
  const int rc = hbfaststart__rewrite(moved.c_str(), m_outputPath.c_str(), &written);
  brlog(kTag, BRLOG_INFO, "[qtfs] took %llums\n", (unsigned long long)(brtime__ticks() - start));
  if (rc != 0) brlog(kTag, BRLOG_ERROR, "Failed to qtfs! %d\n", rc);
  if (rc == 0 && written) {
    ::unlink(moved.c_str());
  } else {
    // Nothing rewritten (already streamable, or the rewrite failed): the moved file is the
    // output.
    ::unlink(m_outputPath.c_str());
    if (::rename(moved.c_str(), m_outputPath.c_str()) != 0)
      brlog(kTag, BRLOG_ERROR, "Failed to qtfs! %d\n", brerror__fromErrno(errno));
  }
}

int32_t HBXCodeFFMPEG::transcode(IHBTranscodeEventSink *sink, IHBStream *output) {
  if (cancelled()) return BR_ECANCELED;
  int32_t rc = prepare();
  if (rc < 0) return rc;
  if (cancelled()) return BR_ECANCELED;
  m_result.reset();
  m_finalSize = -1;
  if (sink) (void)sink->started(this);
  rc = doTranscodeFFMPEG(sink);
  if (rc == 0 && m_mimeType == "video/mp4" && !cancelled()) fastStart();
  if (rc == 0 && !cancelled()) {
    struct stat st;
    if (::stat(m_outputPath.c_str(), &st) != 0 || st.st_size == 0) {
      brlog(kTag, BRLOG_ERROR, "External transcoder error! %d\n", BR_ENOENT);
      rc = BR_EFAULT;
    } else {
      m_finalSize = st.st_size;
      brlog(kTag, BRLOG_INFO, "Created [%s] %dx%d of %llu bytes\n", m_mimeType.c_str(), m_outWidth,
            m_outHeight, (unsigned long long)m_finalSize);
      rc = hbstream__openFile(m_result.out(), m_outputPath.c_str(), HBFILE_O_READ);
    }
  }
  if (cancelled()) rc = BR_ECANCELED;
  if (rc < 0) {
    m_result.reset();
    m_finalSize = -1;
    removeOutputs();
  }
  if (sink) {
    if (rc < 0)
      (void)sink->failed(this);
    else
      (void)sink->completed(this);
  }
  if (rc == 0 && output) {
    const int64_t sent = m_result->sendTo(output, -1);
    if (sent < 0) rc = int32_t(sent);
    (void)m_result->seek(0, HBSTREAM_SEEK_SET);
  }
  return rc;
}
