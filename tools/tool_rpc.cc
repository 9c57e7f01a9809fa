// tesseltool rpc: one service call, the answer as JSON.
//
// The transport follows the address: SOAP, or packet messages when its path contains "/pktm/".
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hbrpc.h"
#include "hburl.h"
#include "tesseltool.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: tesseltool rpc URL METHOD [name=value]... [--list NAME]...\n"
               "  Calls METHOD at URL with text arguments in the given order. --list NAME makes\n"
               "  the children of element NAME a list even when there is only one.\n"
               "  Exit 0: the result map as JSON; 2: a service fault (its error XML); 1: a local\n"
               "  failure (the code and its name).\n");
}

int runRpc(int argc, char **argv) {
  if (argc >= 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    usage();
    return 0;
  }
  if (argc < 3) {
    usage();
    return 64;
  }
  std::vector<std::string> names, values, lists;
  for (int i = 3; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--list")) {
      if (i + 1 >= argc) {
        usage();
        return 64;
      }
      lists.push_back(argv[++i]);
      continue;
    }
    const char *eq = std::strchr(argv[i], '=');
    if (!eq || eq == argv[i]) {
      std::fprintf(stderr, "tesseltool rpc: argument '%s' is not name=value\n", argv[i]);
      return 64;
    }
    names.emplace_back(argv[i], size_t(eq - argv[i]));
    values.emplace_back(eq + 1);
  }
  std::vector<const char *> pairs;
  for (size_t i = 0; i < names.size(); ++i) {
    pairs.push_back(names[i].c_str());
    pairs.push_back(values[i].c_str());
  }
  pairs.push_back(nullptr);
  std::vector<HBSoapListType> table;
  for (const auto &l : lists) table.push_back({l.c_str(), 1});
  table.push_back({nullptr, 0});

  HBRef<IHBURL> url;
  if (hburl__parse(url.out(), argv[1]) < 0) {
    std::fprintf(stderr, "tesseltool rpc: '%s' is not a URL\n", argv[1]);
    return 64;
  }
  HBRef<HBRPCGeneric> rpc;
  int32_t rc = HBRPCGeneric::create(url.get(), nullptr, rpc);
  if (rc < 0) {
    std::printf("%d %s\n", rc, brerror__name(rc));
    return 1;
  }
  if (!lists.empty()) rpc->setListTypes(table.data());
  rc = rpc->callArgs(argv[2], 0, nullptr, pairs.data());
  if (rc == 0) {
    tesseltool::printJsonValue(rpc->getResultMap());
    std::putchar('\n');
    return 0;
  }
  if (rpc->isFault()) {
    char xml[256];
    (void)rpc->getErrorXML(xml);
    std::printf("%s\n", xml);
    return 2;
  }
  std::printf("%d %s\n", rc, brerror__name(rc));
  return 1;
}

}  // namespace

TESSEL_TOOL_COMMAND(rpc, "rpc URL METHOD [name=value]... [--list NAME]...",
                    "call a service method over SOAP or packet messages; print the answer as JSON",
                    runRpc);
