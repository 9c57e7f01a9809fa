// tesseltool settings: reads and writes the per-user settings database.
//
// KEY is a full key path ("SOFTWARE\Orvane Tessel Utility\browser") or, without a backslash, a
// key under "SOFTWARE\Orvane Tessel Utility" ("browser", "LogFile", "Server", "tesselutilfs").
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "hbproperties.h"
#include "tesseltool.h"

namespace {

std::string keyPath(const char *key) {
  if (strchr(key, '\\')) return key;
  return std::string("SOFTWARE\\Orvane Tessel Utility\\") + key;
}

void usage() {
  fprintf(stderr,
          "usage: tesseltool settings get KEY NAME      print the value (exit 1 when missing)\n"
          "       tesseltool settings set KEY NAME VALUE  store the value, creating the key\n"
          "       tesseltool settings delete KEY NAME   delete the value (exit 1 when missing)\n"
          "       tesseltool settings list KEY          print the key's values as JSON\n"
          "KEY: a full key path, or a key under SOFTWARE\\Orvane Tessel Utility (browser,\n"
          "LogFile, Server, tesselutilfs). Database: %s\n",
          hbproperties__databasePath().c_str());
}

// Opens the key; a missing key is reported unless it is created.
int openKey(const std::string &key, uint32_t flags, HBRef<HBProperties> &store) {
  const int32_t rc = hbproperties__open(key.c_str(), flags, store.out());
  if (rc == BR_ENOENT) {
    fprintf(stderr, "tesseltool settings: no key %s\n", key.c_str());
    return 1;
  }
  if (rc < 0) {
    fprintf(stderr, "tesseltool settings: cannot open %s: %d %s\n",
            hbproperties__databasePath().c_str(), rc, brerror__name(rc));
    return 1;
  }
  return 0;
}

int run(int argc, char **argv) {
  if (argc >= 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
    usage();
    return 0;
  }
  if (argc < 3) {
    usage();
    return 64;
  }
  const std::string op = argv[1];
  const std::string key = keyPath(argv[2]);
  HBRef<HBProperties> store;
  int status;

  if (op == "get" && argc == 4) {
    if ((status = openKey(key, HBPROPERTIES_READONLY, store)) != 0) return status;
    std::string value;
    const int32_t rc = hbproperties__getString(store.get(), argv[3], &value);
    if (rc < 0) {
      fprintf(stderr, "tesseltool settings: no value %s in %s\n", argv[3], key.c_str());
      status = 1;
    } else {
      printf("%s\n", value.c_str());
    }
  } else if (op == "set" && argc == 5) {
    if ((status = openKey(key, HBPROPERTIES_CREATE, store)) != 0) return status;
    if (store->setProperty(argv[3], argv[4]) < 0) {
      fprintf(stderr, "tesseltool settings: cannot write %s\n", argv[3]);
      status = 1;
    }
  } else if (op == "delete" && argc == 4) {
    // Check first so that deleting from a missing key does not create it.
    if ((status = openKey(key, HBPROPERTIES_READONLY, store)) != 0) return status;
    if ((status = openKey(key, HBPROPERTIES_CREATE, store)) != 0) return status;
    if (store->setProperty(argv[3], nullptr) < 0) {
      fprintf(stderr, "tesseltool settings: no value %s in %s\n", argv[3], key.c_str());
      status = 1;
    }
  } else if (op == "list" && argc == 3) {
    if ((status = openKey(key, HBPROPERTIES_READONLY, store)) != 0) return status;
    std::vector<std::pair<std::string, std::string>> values;
    const int32_t rc = static_cast<HBPropertiesPosix *>(store.get())->list(&values);
    if (rc < 0) {
      fprintf(stderr, "tesseltool settings: cannot list %s: %s\n", key.c_str(),
              brerror__name(rc));
      status = 1;
    } else {
      printf("{");
      for (size_t i = 0; i < values.size(); ++i) {
        printf(i ? ",\n  " : "\n  ");
        tesseltool::printJsonString(values[i].first.c_str());
        printf(": ");
        tesseltool::printJsonString(values[i].second.c_str());
      }
      printf(values.empty() ? "}\n" : "\n}\n");
    }
  } else {
    usage();
    status = 64;
  }
  store.reset();
  hbproperties__setDefault(nullptr);
  return status;
}

}  // namespace

TESSEL_TOOL_COMMAND(settings, "settings get|set|delete|list KEY [NAME [VALUE]]",
                    "read and write the per-user settings", run);
