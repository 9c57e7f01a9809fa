// RPC calls per second over one pooled connection to the real tesselsvc, SOAP and packet
// messages, for a listFiles answer of 500 entries; and the parse cost of that answer against
// pugixml reading the same bytes.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "benchsvc.h"
#include "brhttp.h"
#include "hbhttpconnpool.h"
#include "hbmap.h"
#include "hbpktmessage.h"
#include "hbrpc.h"
#include "hbsoap.h"
#include "hbsvcmethods.h"
#include "hburl.h"

namespace {

constexpr int kEntries = 500;

std::string g_token, g_dev, g_sid, g_folder, g_base;
std::string g_xml, g_pkt;  // one listFiles answer in each form
bool g_ready = false;
bool g_tried = false;

benchsvc::Service g_svc;

HBRef<HBRPCGeneric> call(const std::string &path, IHBHTTPConnPool *pool) {
  HBRef<IHBURL> url;
  HBRef<HBRPCGeneric> rpc;
  if (hburl__parse(url.out(), (g_base + path).c_str()) == 0)
    (void)HBRPCGeneric::create(url.get(), pool, rpc);
  return rpc;
}

// The raw answer body of listFiles.
std::string rawListFiles(bool packet) {
  BRHTTPConnection *c = nullptr;
  const int port = std::atoi(g_base.substr(g_base.rfind(':') + 1).c_str());
  if (BRHTTPConnection__new(&c, "http", "127.0.0.1", uint32_t(port), 0, 10000, 10000, 10000) < 0)
    return "";
  const char *pairs[] = {"valtoken",  g_token.c_str(), "deviceid",   g_dev.c_str(),
                         "serviceid", g_sid.c_str(),   "parentid",   g_folder.c_str(),
                         "maxcount",  "500",           "pageoffset", "0",
                         nullptr};
  HBRef<IHBMemStream> body;
  (void)hbstream__newMem(body.out(), 4096);
  HBRef<HBPKTMessage> msg;
  if (packet) {
    (void)HBPKTMessage::create(nullptr, msg);
    (void)msg->fromPairs(pairs);
    (void)msg->write(body.get());
  } else {
    (void)hbsoap__writeEnvelope(body.get(), "listFiles", 0, nullptr, pairs);
  }
  void *data = nullptr;
  int32_t len = 0;
  (void)body->getBuffer(&data, &len);
  BRHTTPRequest *r = nullptr;
  std::string out;
  if (BRHTTPConnection__newRequest(c, "POST", packet ? "/svc/pktm/listFiles" : "/svc/api", &r) ==
      0) {
    const std::string clen = std::to_string(len);
    (void)BRHTTPRequest__addRequestHeader(r, "SoapAction", "listFiles");
    (void)BRHTTPRequest__addRequestHeader(r, "Content-Length", clen.c_str());
    (void)BRHTTPRequest__writeRequestBody(r, data, len);
    if (BRHTTPRequest__receiveResponseHeader(r, nullptr, 0) == 200) {
      char buf[4096];
      int32_t n;
      while ((n = BRHTTPRequest__receiveResponseBody(r, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    }
    BRHTTPRequest__destroy(r);
  }
  BRHTTPConnection__destroy(c);
  return out;
}

bool setUp();
void stop();

// Starts the service and fills the folder once; a failed start is not retried.
bool start() {
  if (!g_tried) {
    g_tried = true;
    if (!setUp()) stop();
  }
  return g_ready;
}

bool setUp() {
  if (!g_svc.start("hbrpc-bench")) return false;
  g_token = g_svc.token;
  g_dev = g_svc.device;
  g_sid = g_svc.service;
  g_base = "http://127.0.0.1:" + std::to_string(g_svc.port);

  HBRef<HBRPCGeneric> rpc = call("/svc/api", nullptr);
  if (!rpc || hbsvc__createFolder(rpc.get(), g_token.c_str(), g_dev.c_str(), g_sid.c_str(), "0",
                                  "bench", "1") != 0)
    return false;
  HBRef<HBMap> file = HBRef<HBMap>::adopt(rpc->getArgmentMap("file"));
  g_folder = file ? file->getString("fileid") : "";
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = "picture-" + std::to_string(i) + ".jpg";
    const char *fields[] = {"type",          "0",        "size",       "123456", "mtime",
                            "1700000000000", "mimetype", "image/jpeg", nullptr};
    if (hbsvc__createFile(rpc.get(), g_token.c_str(), g_dev.c_str(), g_sid.c_str(),
                          g_folder.c_str(), name.c_str(), fields) != 0)
      return false;
  }
  g_xml = rawListFiles(false);
  g_pkt = rawListFiles(true);
  g_ready = !g_xml.empty() && !g_pkt.empty();
  return g_ready;
}

void stop() { g_svc.stop(); }

void callLoop(benchmark::State &state, const char *path) {
  if (!start()) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  HBRef<IHBHTTPConnPool> pool;
  (void)hbhttpconnpool__create(pool.out());
  HBRef<HBRPCGeneric> rpc = call(path, pool.get());
  for (auto _ : state) {
    if (hbsvc__listFiles(rpc.get(), g_token.c_str(), g_dev.c_str(), g_sid.c_str(), g_folder.c_str(),
                         "0") != 0 ||
        std::strcmp(rpc->getArgmentByName("count") ? rpc->getArgmentByName("count") : "", "500")) {
      state.SkipWithError("listFiles failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["calls/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ListFiles500_Soap(benchmark::State &state) {
  callLoop(state, "/svc/api");
}
void BM_ListFiles500_Packet(benchmark::State &state) {
  callLoop(state, "/svc/pktm/");
}

const HBSoapListType kFiles[] = {{"files", 1}, {nullptr, 0}};

void BM_ParseListFiles500_Ours(benchmark::State &state) {
  if (!start()) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  char buf[HBSOAP_BUFSIZE];
  for (auto _ : state) {
    HBRef<HBMap> map;
    (void)HBMap::create(nullptr, 4096, 4096, map);
    map->setFlags(HBMAP_ORDERED);
    HBCommandParserCore parser;
    parser.initParser("listFiles", map.get(), kFiles);
    int32_t fill = 0;
    size_t pos = 0;
    while (pos < g_xml.size()) {
      const size_t n = std::min(g_xml.size() - pos, size_t(HBSOAP_BUFSIZE - fill));
      std::memcpy(buf + fill, g_xml.data() + pos, n);
      pos += n;
      fill += int32_t(n);
      (void)parser.feed(buf, &fill);
    }
    parser.endParser();
    benchmark::DoNotOptimize(map->count());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_xml.size()));
}

void BM_ParseListFiles500_Pugixml(benchmark::State &state) {
  if (!start()) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(g_xml.data(), g_xml.size()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_xml.size()));
}

void BM_ParseListFiles500_Packet(benchmark::State &state) {
  if (!start()) {
    state.SkipWithError("tesselsvc did not start");
    return;
  }
  for (auto _ : state) {
    HBRef<HBPKTMessage> msg;
    (void)HBPKTMessage::create(nullptr, msg);
    (void)msg->readBytes(g_pkt.data(), int64_t(g_pkt.size()));
    HBRef<HBMap> map;
    (void)HBMap::create(nullptr, 4096, 4096, map);
    benchmark::DoNotOptimize(msg->toMap(map.get()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(g_pkt.size()));
}

BENCHMARK(BM_ListFiles500_Soap)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ListFiles500_Packet)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseListFiles500_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseListFiles500_Pugixml)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseListFiles500_Packet)->Unit(benchmark::kMicrosecond);

// Stops the service once every benchmark has run.
struct Cleanup {
  ~Cleanup() { stop(); }
} g_cleanup;

}  // namespace
