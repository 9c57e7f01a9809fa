// Making the import's preview ("pv", within 1024 x 1024) and square thumbnail ("tn", 160 x 160)
// of a 12-megapixel JPEG, HEIC and TIFF and a 24-megapixel raw (DNG, developed: it has no
// preview), against vipsthumbnail making the same two sizes from the same file in the same run
// (one process per size, as a user would run it) and, for the HEIC, heif-thumbnailer. The photo
// is made once by ffmpeg, the other kinds from it.
//
// BM_Prefetch50MP_PeakRss runs a folder of 50-megapixel pictures of every kind through the
// import's look-ahead (three started at once, as the import does) in a child process and
// reports the child's peak resident memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "benchrun.h"
#include "hbimg.h"
#include "vximport.h"
#include "vximport_prefetch.h"

namespace {

using benchrun::run;

// A DNG of `w` x `h` photosites (RGGB, 16 bits) from an 8-bit RGB PPM of the same size.
bool writeDng(const std::string &ppm, const std::string &path) {
  FILE *in = std::fopen(ppm.c_str(), "rb");
  if (!in) return false;
  int w = 0, h = 0, max = 0;
  if (std::fscanf(in, "P6 %d %d %d", &w, &h, &max) != 3 || w <= 0 || h <= 0) {
    std::fclose(in);
    return false;
  }
  std::fgetc(in);
  TIFF *t = TIFFOpen(path.c_str(), "w");
  if (!t) {
    std::fclose(in);
    return false;
  }
  static const float kMatrix[9] = {3.2406f, -1.5372f, -0.4986f, -0.9689f, 1.8758f,
                                   0.0415f, 0.0557f,  -0.2040f, 1.0570f};
  static const float kNeutral[3] = {1, 1, 1};
  static const uint16_t kDim[2] = {2, 2};
  TIFFSetField(t, TIFFTAG_MAKE, "Tessel");
  TIFFSetField(t, TIFFTAG_MODEL, "Bench Camera");
  TIFFSetField(t, TIFFTAG_DNGVERSION, "\1\4\0\0");
  TIFFSetField(t, TIFFTAG_UNIQUECAMERAMODEL, "Tessel Bench Camera");
  TIFFSetField(t, TIFFTAG_COLORMATRIX1, 9, kMatrix);
  TIFFSetField(t, TIFFTAG_ASSHOTNEUTRAL, 3, kNeutral);
  TIFFSetField(t, TIFFTAG_SUBFILETYPE, 0);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(t, TIFFTAG_CFAREPEATPATTERNDIM, kDim);
  TIFFSetField(t, TIFFTAG_CFAPATTERN, 4, "\0\1\1\2");
  std::vector<uint8_t> rgb(static_cast<size_t>(w) * 3);
  std::vector<uint16_t> row(static_cast<size_t>(w));
  bool ok = true;
  for (int y = 0; ok && y < h; ++y) {
    ok = std::fread(rgb.data(), 1, rgb.size(), in) == rgb.size();
    for (int x = 0; x < w; ++x) {
      const int site = (y & 1) * 2 + (x & 1);
      row[x] = static_cast<uint16_t>(rgb[x * 3 + (site == 0 ? 0 : site == 3 ? 2 : 1)] * 257);
    }
    ok = ok && TIFFWriteScanline(t, row.data(), static_cast<uint32_t>(y), 0) >= 0;
  }
  ok = ok && TIFFWriteDirectory(t);
  TIFFClose(t);
  std::fclose(in);
  return ok;
}

struct Fixture {
  std::string dir, photo, heic, tiff, dng;
  std::vector<std::string> big;  // 50 MP of every kind
  bool ok = false, bigOk = false;
  Fixture() {
    const char *t = std::getenv("TMPDIR");
    std::string templ = std::string(t && *t ? t : "/tmp") + "/hbimg-bench-XXXXXX";
    if (!mkdtemp(templ.data())) return;
    dir = templ;
    photo = dir + "/photo.jpg";
    heic = dir + "/photo.heic";
    tiff = dir + "/photo.tif";
    dng = dir + "/photo.dng";
    ok = run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=4000x3000", "-frames:v",
              "1", "-q:v", "4", photo}) == 0 &&
         run({"heif-enc", "-q", "80", photo, "-o", heic}) == 0 &&
         run({"convert", photo, "-compress", "None", tiff}) == 0 &&
         run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=6000x4000", "-frames:v",
              "1", dir + "/raw.ppm"}) == 0 &&
         writeDng(dir + "/raw.ppm", dng);
    run({"rm", "-f", dir + "/raw.ppm"});
  }
  // The 50-megapixel folder, made on first use (minutes: the HEIC encoder is slow).
  void makeBig() {
    if (!big.empty()) return;
    const std::string b = dir + "/big";
    const std::string jpg = b + ".jpg";
    bigOk = run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=8660x5773",
                 "-frames:v", "1", "-q:v", "3", jpg}) == 0;
    big.push_back(jpg);
    auto make = [&](const std::string &ext, std::vector<std::string> argv) {
      const std::string out = b + ext;
      for (std::string &a : argv) a = a == "IN" ? jpg : a == "OUT" ? out : a;
      bigOk = bigOk && run(argv) == 0;
      big.push_back(out);
    };
    make("-progressive.jpg", {"convert", "IN", "-interlace", "JPEG", "OUT"});
    // ffmpeg for the formats ImageMagick's resource policy will not make at this size.
    make(".png", {"ffmpeg", "-v", "error", "-i", "IN", "OUT"});
    make(".heic", {"heif-enc", "-q", "70", "IN", "-o", "OUT"});
    make(".webp", {"cwebp", "-quiet", "-q", "80", "IN", "-o", "OUT"});
    make(".tif", {"ffmpeg", "-v", "error", "-i", "IN", "-compression_algo", "lzw", "OUT"});
    make(".gif", {"ffmpeg", "-v", "error", "-i", "IN", "OUT"});
    make(".bmp", {"ffmpeg", "-v", "error", "-i", "IN", "OUT"});
    const std::string ppm = b + ".ppm", raw = b + ".dng";
    bigOk = bigOk && run({"ffmpeg", "-v", "error", "-i", jpg, ppm}) == 0 && writeDng(ppm, raw);
    run({"rm", "-f", ppm});
    big.push_back(raw);
  }
  ~Fixture() {
    if (!dir.empty()) run({"rm", "-rf", dir});
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void ours(benchmark::State &state, const std::string &file, uint32_t which) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  for (auto _ : state) {
    HBRef<IHBStream> in;
    HBImgRenditions r;
    if (hbstream__openFile(in.out(), file.c_str(), HBFILE_O_READ) != 0 ||
        hbimg__makeRenditions(in.get(), HBIMG_ORIENT_FROM_PICTURE, which, &r) != 0)
      return state.SkipWithError("renditions failed");
  }
}

double childCpuMs() {
  rusage u;
  getrusage(RUSAGE_CHILDREN, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

void vips(benchmark::State &state, const std::string &in, bool thumbnail) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  const std::string &dir = fixture().dir;
  // The programs' own CPU time, which the parent's CPU column cannot show.
  const double before = childCpuMs();
  for (auto _ : state) {
    if (run({"vipsthumbnail", in, "--size", "1024x1024", "-o", dir + "/pv.jpg[Q=80]"}) != 0 ||
        (thumbnail && run({"vipsthumbnail", in, "--size", "160x160", "--smartcrop", "centre", "-o",
                           dir + "/tn.jpg[Q=80]"}) != 0))
      return state.SkipWithError("vipsthumbnail could not make it");
  }
  state.counters["child_cpu_ms"] = (childCpuMs() - before) / double(state.iterations());
}

void heifThumbnailer(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  const std::string &dir = fixture().dir;
  const double before = childCpuMs();
  for (auto _ : state) {
    if (run({"heif-thumbnailer", "-s", "1024", fixture().heic, dir + "/pv.png"}) != 0 ||
        run({"heif-thumbnailer", "-s", "160", fixture().heic, dir + "/tn.png"}) != 0)
      return state.SkipWithError("could not run heif-thumbnailer");
  }
  state.counters["child_cpu_ms"] = (childCpuMs() - before) / double(state.iterations());
}

constexpr uint32_t kBoth = HBIMG_RENDITION_PV | HBIMG_RENDITION_TN;

void BM_PvAndTn_HBImg(benchmark::State &state) {
  ours(state, fixture().photo, kBoth);
}
void BM_PvAndTn_Vipsthumbnail(benchmark::State &state) {
  vips(state, fixture().photo, true);
}
void BM_PvOnly_HBImg(benchmark::State &state) {
  ours(state, fixture().photo, HBIMG_RENDITION_PV);
}
void BM_PvOnly_Vipsthumbnail(benchmark::State &state) {
  vips(state, fixture().photo, false);
}
void BM_Heic12MP_HBImg(benchmark::State &state) {
  ours(state, fixture().heic, kBoth);
}
void BM_Heic12MP_Vipsthumbnail(benchmark::State &state) {
  vips(state, fixture().heic, true);
}
void BM_Heic12MP_HeifThumbnailer(benchmark::State &state) {
  heifThumbnailer(state);
}
void BM_Tiff12MP_HBImg(benchmark::State &state) {
  ours(state, fixture().tiff, kBoth);
}
void BM_Tiff12MP_Vipsthumbnail(benchmark::State &state) {
  vips(state, fixture().tiff, true);
}
void BM_Dng24MP_HBImg(benchmark::State &state) {
  ours(state, fixture().dng, kBoth);
}
void BM_Dng24MP_Vipsthumbnail(benchmark::State &state) {
  vips(state, fixture().dng, true);
}

void BM_Prefetch50MP_PeakRss(benchmark::State &state) {
  if (!fixture().ok) return state.SkipWithError("fixture");
  fixture().makeBig();
  if (!fixture().bigOk) return state.SkipWithError("50 MP fixture");
  long peakKb = 0;
  int failures = 0;
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) return state.SkipWithError("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      // As the import: three pictures started ahead, each taken in turn.
      VXImportPrefetch ahead(3);
      const std::vector<std::string> &files = fixture().big;
      long result[2] = {0, 0};
      size_t next = 0;
      for (size_t i = 0; i < files.size(); ++i) {
        while (next < files.size() && next < i + 3) (void)ahead.start(files[next++], kBoth);
        VXImportFileSignature now;
        HBImgRenditions r;
        int32_t rc = -1;
        if (vximport__fileSignature(files[i].c_str(), &now) != 0 ||
            !ahead.take(files[i], kBoth, now, &r, &rc) || rc != 0)
          ++result[1];
      }
      rusage u;
      getrusage(RUSAGE_SELF, &u);
      result[0] = u.ru_maxrss;
      (void)!write(fds[1], result, sizeof result);
      _exit(0);
    }
    close(fds[1]);
    long result[2] = {0, 0};
    (void)!read(fds[0], result, sizeof result);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    peakKb = result[0];
    failures = static_cast<int>(result[1]);
  }
  state.counters["peak_rss_mb"] = peakKb / 1024.0;
  state.counters["failed"] = failures;
}

}  // namespace

BENCHMARK(BM_PvAndTn_HBImg)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvAndTn_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvOnly_HBImg)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_PvOnly_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(20)->UseRealTime();
BENCHMARK(BM_Heic12MP_HBImg)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Heic12MP_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Heic12MP_HeifThumbnailer)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Tiff12MP_HBImg)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Tiff12MP_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();
BENCHMARK(BM_Dng24MP_HBImg)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Dng24MP_Vipsthumbnail)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Prefetch50MP_PeakRss)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
