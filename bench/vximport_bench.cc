// "tesseltool import" of 200 photos of 12 megapixels into tesselsvc on loopback with originals
// (flags 0x05: preview, thumbnail and original of each): photos per second and the tool's peak
// RSS, also for 50 photos (the RSS must not grow with the count). Two weights of photo: typical
// (about 3.6 MB, noise like a camera's) and light (about 0.8 MB).
//
// Side by side, in the same run and on the same photos, what a user would otherwise run for the
// same work: vipsthumbnail making the two renditions of every photo (two processes, one per
// size) and curl uploading the originals over one connection (the entries made beforehand,
// untimed). Their sum is the yardstick for the import's photos per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "benchrun.h"
#include "benchsvc.h"
#include "hbrpc.h"
#include "hbsvcmethods.h"
#include "hburl.h"

namespace {

struct Measured {
  int exitCode = -1;
  double seconds = 0;
  double peakRssMB = 0;
};

// Runs argv with `input` on standard input and its output thrown away; wall time and peak RSS.
Measured runMeasured(const std::vector<std::string> &args, const std::string &input = "") {
  Measured m;
  int in[2];
  if (pipe(in) != 0) return m;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  const ssize_t written = write(in[1], input.data(), input.size());
  (void)written;
  close(in[1]);
  int status = 0;
  rusage ru{};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  m.peakRssMB = static_cast<double>(ru.ru_maxrss) / 1024.0;
  return m;
}

std::string binDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  buf[n > 0 ? n : 0] = 0;
  return (std::filesystem::path(buf).parent_path().parent_path() / "bin").string();
}

struct Fixture {
  benchsvc::Service svc;
  std::string dir, tool;
  bool ok = false;

  Fixture() {
    if (!svc.start("vximport-bench", {"--quota", "200000000000"})) return;
    dir = svc.dir;
    // The tool's settings (service host) live in the benchmark's folder, never in the home.
    setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir + "/share").c_str(), 1);
    tool = binDir() + "/tesseltool";
    if (benchrun::run({tool, "settings", "set", "Server", "host",
                       "127.0.0.1:" + std::to_string(svc.port)}) != 0)
      return;
    ok = makeSet("typical", 12, 200) && makeSet("typical", 12, 50) && makeSet("light", 4, 200);
  }

  // DIR/NAME-COUNT/ holding COUNT photos: four different 12-megapixel frames made by ffmpeg
  // (noise of strength NOISE), with EXIF written by exiftool, linked under COUNT names.
  bool makeSet(const std::string &name, int noise, int count) {
    const std::string base = dir + "/" + name;
    if (!std::filesystem::exists(base + "/p4.jpg")) {
      std::filesystem::create_directories(base);
      if (benchrun::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=4000x3000:r=1",
                         "-vf", "noise=alls=" + std::to_string(noise) + ":allf=t", "-frames:v", "4",
                         "-q:v", "3", base + "/p%d.jpg"}) != 0 ||
          benchrun::run({"exiftool", "-q", "-overwrite_original", "-Make=Bench", "-Model=B1",
                         "-DateTimeOriginal=2024:06:01 12:00:00", base}) != 0)
        return false;
    }
    const std::string set = dir + "/" + name + "-" + std::to_string(count);
    std::filesystem::create_directories(set);
    for (int i = 0; i < count; ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "/IMG_%04d.jpg", i);
      std::error_code ec;
      std::filesystem::create_hard_link(base + "/p" + std::to_string(i % 4 + 1) + ".jpg",
                                        set + file, ec);
      if (ec) return false;
    }
    return true;
  }

  std::string set(const std::string &name, int count) const {
    return dir + "/" + name + "-" + std::to_string(count);
  }
  std::vector<std::string> photos(const std::string &name, int count) const {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "/IMG_%04d.jpg", i);
      out.push_back(set(name, count) + file);
    }
    return out;
  }
};

Fixture &fixture() {
  static Fixture f;
  return f;
}

void report(benchmark::State &state, int photos, const Measured &m) {
  state.SetIterationTime(m.seconds);
  state.counters["photos_per_s"] = photos / m.seconds;
  state.counters["peak_rss_MB"] = m.peakRssMB;
}

void BM_Import_Tesseltool(benchmark::State &state, const char *weight, int count) {
  Fixture &f = fixture();
  if (!f.ok) return state.SkipWithError("fixture (tesselsvc, ffmpeg, exiftool)");
  for (auto _ : state) {
    const Measured m = runMeasured(
        {f.tool, "import", f.set(weight, count), "--dest",
         "ytozv://" + f.svc.device + ":" + f.svc.service, "--flags", "0x05", "--token", "-"},
        f.svc.token + "\n");
    if (m.exitCode != 0) return state.SkipWithError("tesseltool import failed");
    report(state, count, m);
  }
}

// The yardstick: vipsthumbnail for the two sizes, then curl for the originals.
void BM_Yardstick_VipsAndCurl(benchmark::State &state, const char *weight, int count) {
  Fixture &f = fixture();
  if (!f.ok) return state.SkipWithError("fixture (tesselsvc, ffmpeg, exiftool)");
  const std::vector<std::string> photos = f.photos(weight, count);
  const std::string out = f.dir + "/vips";
  std::filesystem::create_directories(out);
  for (auto _ : state) {
    // The entries the originals go to, made beforehand (not in the time reported).
    HBRef<IHBURL> url;
    HBRef<HBRPCGeneric> rpc;
    std::string config = "header = \"Cookie: valtoken=" + f.svc.token + "\"\nsilent\nfail\n";
    const std::string base = "http://127.0.0.1:" + std::to_string(f.svc.port);
    if (hburl__parse(url.out(), (base + "/svc/api").c_str()) < 0 ||
        hbrpc__new(url.get(), rpc.out()) < 0)
      return state.SkipWithError("rpc");
    for (size_t i = 0; i < photos.size(); ++i) {
      const std::string size = std::to_string(std::filesystem::file_size(photos[i]));
      const char *fields[] = {"type", "0", "size", size.c_str(), nullptr};
      const std::string name = "curl-" + std::to_string(i) + ".jpg";
      if (hbsvc__createFile(rpc.get(), f.svc.token.c_str(), f.svc.device.c_str(),
                            f.svc.service.c_str(), "0", name.c_str(), fields) < 0)
        return state.SkipWithError("createFile");
      HBRef<HBMap> file = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
      if (!file || !file->getString("fileid")) return state.SkipWithError("createFile answer");
      config += "upload-file = \"" + photos[i] + "\"\nurl = \"" + base + "/svc/files/" +
                f.svc.device + "/" + f.svc.service + "/" + file->getString("fileid") + "\"\n";
    }
    const std::string configPath = f.dir + "/curl.cfg";
    FILE *cf = std::fopen(configPath.c_str(), "w");
    if (!cf) return state.SkipWithError("curl config");
    std::fputs(config.c_str(), cf);
    std::fclose(cf);

    std::vector<std::string> pv = {"vipsthumbnail", "--size", "1024x1024", "-o",
                                   out + "/%s_pv.jpg[Q=80]"};
    std::vector<std::string> tn = {"vipsthumbnail",         "--size", "160x160",
                                   "--smartcrop",           "centre", "-o",
                                   out + "/%s_tn.jpg[Q=80]"};
    pv.insert(pv.end(), photos.begin(), photos.end());
    tn.insert(tn.end(), photos.begin(), photos.end());
    const Measured a = runMeasured(pv), b = runMeasured(tn);
    const Measured c = runMeasured({"curl", "-K", configPath});
    if (a.exitCode != 0 || b.exitCode != 0 || c.exitCode != 0)
      return state.SkipWithError("vipsthumbnail or curl failed");
    Measured sum;
    sum.seconds = a.seconds + b.seconds + c.seconds;
    sum.peakRssMB = std::max(a.peakRssMB, std::max(b.peakRssMB, c.peakRssMB));
    report(state, count, sum);
    state.counters["vips_s"] = a.seconds + b.seconds;
    state.counters["curl_s"] = c.seconds;
  }
}

}  // namespace

BENCHMARK_CAPTURE(BM_Import_Tesseltool, typical_200, "typical", 200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Yardstick_VipsAndCurl, typical_200, "typical", 200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Import_Tesseltool, typical_50, "typical", 50)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Import_Tesseltool, light_200, "light", 200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_Yardstick_VipsAndCurl, light_200, "light", 200)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
