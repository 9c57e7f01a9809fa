// tesseltool transcode / xcode: one thumbnail or streamable MP4 made by the transcoder.
// tesseltool faststart: the fast-start rewrite of one MP4 file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hbfaststart.h"
#include "hbproperties.h"
#include "hbtranscode_ffmpeg.h"
#include "tesseltool.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: tesseltool transcode IN OUT --mime image/jpeg|video/mp4 [--size WxH]\n"
               "                            [--crop] [--quality WORD] [--limit SECONDS]\n"
               "Runs the transcoder (ffmpeg from the setting installdir, the program's folder or\n"
               "PATH) and writes the result to OUT; prints the progress, then the output's\n"
               "path, type, size in pixels and size in bytes.\n");
}

struct PrintingSink final : IHBTranscodeEventSink {
  int32_t started(IHBTranscode *) override { return 0; }
  int32_t progress(IHBTranscode *, const HBXCodeProgress *r) override {
    std::printf("progress: %d/%d s (pass %d of %d)\n", r->position, r->duration, r->pass,
                r->passes);
    std::fflush(stdout);
    return 0;
  }
  int32_t completed(IHBTranscode *) override { return 0; }
  int32_t failed(IHBTranscode *) override { return 0; }
};

int runTranscode(int argc, char **argv) {
  HBXCodeFFMPEGParams p;
  const char *in = nullptr, *out = nullptr;
  std::string mime, quality, limit;
  bool haveQuality = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--mime" && hasValue) {
      mime = argv[++i];
    } else if (a == "--size" && hasValue) {
      if (std::sscanf(argv[++i], "%dx%d", &p.width, &p.height) != 2 || p.width < 0 ||
          p.height < 0) {
        usage();
        return 64;
      }
    } else if (a == "--crop") {
      p.crop = 1;
    } else if (a == "--quality" && hasValue) {
      quality = argv[++i];
      haveQuality = true;
    } else if (a == "--limit" && hasValue) {
      limit = argv[++i];
    } else if (a.rfind("--", 0) == 0) {
      usage();
      return 64;
    } else if (!in) {
      in = argv[i];
    } else if (!out) {
      out = argv[i];
    } else {
      usage();
      return 64;
    }
  }
  if (!in || !out || (mime != "image/jpeg" && mime != "video/mp4")) {
    usage();
    return 64;
  }
  p.mimeType = mime.c_str();
  p.inputPath = in;
  if (haveQuality) p.quality = quality.c_str();
  if (!limit.empty()) p.durationLimit = limit.c_str();

  // The settings are read through the default store when the key exists.
  HBRef<HBProperties> store;
  if (hbproperties__open(HBPROPERTIES_KEY_BROWSER, HBPROPERTIES_READONLY, store.out()) == 0)
    hbproperties__setDefault(store.get());

  HBRef<IHBTranscode> xc;
  int32_t rc = HBXCodeFFMPEG__new(&p, nullptr, xc.out());
  PrintingSink sink;
  if (rc == 0) rc = xc->transcode(&sink, nullptr);
  HBRef<IHBStream> file;
  if (rc == 0)
    rc = hbstream__openFile(file.out(), out, HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC);
  if (rc == 0) {
    const int64_t sent = xc->sendTo(file.get(), -1);
    if (sent < 0) rc = int32_t(sent);
    if (file->close() != 0 && rc == 0) rc = BR_EIO;
  }
  if (rc != 0) {
    std::fprintf(stderr, "tesseltool transcode: failed: %d %s\n", rc, brerror__name(rc));
    if (file) std::remove(out);
  } else {
    char w[32] = "", h[32] = "", size[32] = "";
    (void)xc->getOutputProperty("width", w, sizeof w);
    (void)xc->getOutputProperty("height", h, sizeof h);
    (void)xc->getOutputProperty("size", size, sizeof size);
    std::printf("path: %s\nmimetype: %s\nwidth: %s\nheight: %s\nsize: %s\n", out, p.mimeType, w, h,
                size);
  }
  if (xc) (void)xc->close();
  xc.reset();
  hbproperties__setDefault(nullptr);
  return rc == 0 ? 0 : 1;
}

int runFastStart(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: tesseltool faststart IN OUT\n"
                 "Writes IN to OUT with its index first; a file that needs no rewrite is "
                 "copied.\n");
    return argc == 2 && !std::strcmp(argv[1], "--help") ? 0 : 64;
  }
  bool written = false;
  if (hbfaststart__rewrite(argv[1], argv[2], &written) != 0) {
    std::fprintf(stderr, "tesseltool faststart: cannot rewrite %s\n", argv[1]);
    return 1;
  }
  if (written) {
    std::printf("rewritten: %s\n", argv[2]);
    return 0;
  }
  HBRef<IHBStream> src, dst;
  int32_t rc = hbstream__openFile(src.out(), argv[1], HBFILE_O_READ);
  if (rc == 0)
    rc = hbstream__openFile(dst.out(), argv[2], HBFILE_O_WRITE | HBFILE_O_CREAT | HBFILE_O_TRUNC);
  if (rc == 0) {
    const int64_t sent = src->sendTo(dst.get(), -1);
    if (sent < 0) rc = int32_t(sent);
    if (dst->close() != 0 && rc == 0) rc = BR_EIO;
  }
  if (rc != 0) {
    std::fprintf(stderr, "tesseltool faststart: cannot copy %s: %d %s\n", argv[1], rc,
                 brerror__name(rc));
    return 1;
  }
  std::printf("copied: %s\n", argv[2]);
  return 0;
}

}  // namespace

TESSEL_TOOL_COMMAND(transcode,
                    "transcode IN OUT --mime TYPE [--size WxH] [--crop] [--quality W] [--limit S]",
                    "make a thumbnail or streamable MP4 with the transcoder", runTranscode);
TESSEL_TOOL_COMMAND(xcode, "xcode IN OUT --mime TYPE ...", "the same as transcode", runTranscode);
TESSEL_TOOL_COMMAND(faststart, "faststart IN OUT", "rewrite an MP4 with its index first",
                    runFastStart);
