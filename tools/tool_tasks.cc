// tesseltool tasks: the user sources and auto-import tasks the settings hold, as the task queue
// would restore them, printed as JSON. Reads the settings only; nothing is created or changed.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hbproperties.h"
#include "tesseltool.h"
#include "vxclienttaskqueue.h"

namespace tesseltool {

void printReference(VXClientTaskReference *ref) {
  std::printf("{\"sourceid\": ");
  tesseltool::printJsonString(ref->getRefID());
  std::printf(", \"sourceclass\": ");
  if (ref->refClassText())
    tesseltool::printJsonString(ref->refClassText());
  else
    std::printf("null");
  std::printf(", \"name\": ");
  if (ref->refNameText())
    tesseltool::printJsonString(ref->refNameText());
  else
    std::printf("null");
  std::printf(", \"uris\": [");
  const std::vector<std::string> uris = ref->uriTexts();
  for (size_t i = 0; i < uris.size(); ++i) {
    if (i) std::printf(", ");
    tesseltool::printJsonString(uris[i].c_str());
  }
  std::printf("]}");
}

}  // namespace tesseltool

namespace {

// A saved text, "" when there is none.
std::string savedText(const char *name) {
  std::string text;
  if (hbproperties__readKeyValue(HBPROPERTIES_KEY_BROWSER, name, &text) < 0) text.clear();
  return text;
}

int run(int argc, char **argv) {
  if (argc != 1) {
    std::fprintf(stderr,
                 "usage: tesseltool tasks\n"
                 "Prints the saved user sources and auto-import tasks as JSON (settings "
                 "database: %s).\n",
                 hbproperties__databasePath().c_str());
    return argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) ? 0 : 64;
  }
  int status = 0;
  std::vector<HBRef<VXClientTaskReference>> sources;
  std::vector<VXSavedAutoImport> tasks;
  int32_t skippedSources = 0, skippedTasks = 0;

  std::string text = savedText("usersources");
  if (vxclienttaskqueue__parseUserSources(text.c_str(), &sources, &skippedSources) < 0) {
    std::fprintf(stderr, "tesseltool tasks: the saved user sources are not readable (%zu bytes)\n",
                 text.size());
    status = 1;
  }
  text = savedText("autoimports");
  if (vxclienttaskqueue__parseAutoImports(text.c_str(), &tasks, &skippedTasks) < 0) {
    std::fprintf(stderr, "tesseltool tasks: the saved auto-imports are not readable (%zu bytes)\n",
                 text.size());
    status = 1;
  }

  std::printf("{\n  \"userSources\": [");
  for (size_t i = 0; i < sources.size(); ++i) {
    std::printf(i ? ",\n    " : "\n    ");
    tesseltool::printReference(sources[i].get());
  }
  std::printf(sources.empty() ? "],\n" : "\n  ],\n");
  std::printf("  \"autoImports\": [");
  for (size_t i = 0; i < tasks.size(); ++i) {
    const VXSavedAutoImport &t = tasks[i];
    std::string dest;
    hburi__text(t.destination.get(), &dest);
    std::printf(i ? ",\n    " : "\n    ");
    std::printf("{\"taskid\": ");
    tesseltool::printJsonString(t.taskId.c_str());
    std::printf(", \"taskclass\": \"%s\", \"flags\": %u, \"state\": \"%s\", \"desturi\": ",
                vxclienttask__className(t.taskClass), t.flags, vxclienttask__stateName(t.state));
    tesseltool::printJsonString(dest.c_str());
    std::printf(", \"source\": ");
    tesseltool::printReference(t.source.get());
    std::printf("}");
  }
  std::printf(tasks.empty() ? "],\n" : "\n  ],\n");
  std::printf("  \"skipped\": {\"userSources\": %d, \"autoImports\": %d}\n}\n", skippedSources,
              skippedTasks);
  return status;
}

}  // namespace

TESSEL_TOOL_COMMAND(tasks, "tasks", "print the saved user sources and auto-import tasks as JSON",
                    run);
