// Commands of tesseltool. Each command lives in its own file and registers itself:
//
//   static int runMeta(int argc, char **argv);   // argv[0] is the command name
//   TESSEL_TOOL_COMMAND(meta, "meta FILE", "print the metadata items of a file as JSON", runMeta);
//
// Exit codes: 0 success, 1 local failure, 2 a refusal from the far side (for example a service
// fault), 64 bad usage.
#pragma once

struct IHBObj;
class VXClientTaskReference;

namespace tesseltool {

typedef int (*CommandFn)(int argc, char **argv);

struct Command {
  const char *name;
  const char *usage;
  const char *summary;
  CommandFn run;
};

bool registerCommand(const Command &command);

// Writes `text` as a JSON string literal (with quotes) to standard output.
void printJsonString(const char *text);

// Writes a value tree as JSON text to standard output: maps as objects, iterators as arrays (the
// iterator is consumed), texts and string objects as strings, any other object as null.
void printJsonValue(IHBObj *value);

// Writes a task reference (a backup source) as a JSON object to standard output: "sourceid",
// "sourceclass", "name", "uris".
void printReference(VXClientTaskReference *ref);

}  // namespace tesseltool

#define TESSEL_TOOL_COMMAND(ident, usage, summary, fn) \
  static const bool tesseltool_registered_##ident =    \
      ::tesseltool::registerCommand({#ident, usage, summary, fn})
