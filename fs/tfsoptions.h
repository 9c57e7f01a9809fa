// The drive helper's command line.
//
//   tesselutilfs [-d] -l LETTER [--valtoken TOKEN|-] [--justshares] [--volname NAME]
//                [--device ID --service ID]
//
// "-" as the token means: read it from the first line of standard input (the desktop program
// starts the helper that way, because a command line is visible to every local user). Options
// take their value as the next argument or after "=".
#pragma once

#include <string>
#include <vector>

struct TFSOptions {
  bool debug = false;  // -d: log at the debug level
  char letter = 0;     // -l: the drive letter, upper case
  std::string token;   // --valtoken
  bool tokenFromStdin = false;
  bool justShares = false;  // --justshares: the roots of the albums shared with the user
  std::string volname;      // --volname: the name the drive shows
  std::string device;       // --device, --service: the drive; without them the user's first
  std::string service;
};

// True with the options; false with the reason in *error.
bool tfsoptions__parse(const std::vector<std::string> &args, TFSOptions *out, std::string *error);

// The usage text.
const char *tfsoptions__usage();
