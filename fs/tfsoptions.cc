// The drive helper's command line.
#include "tfsoptions.h"

#include <cctype>

bool tfsoptions__parse(const std::vector<std::string> &args, TFSOptions *out, std::string *error) {
  *out = TFSOptions();
  bool tokenGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    bool inlineValue = false;
    const size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto take = [&](std::string *to) {
      if (inlineValue) {
        *to = value;
        return true;
      }
      if (i + 1 >= args.size()) {
        *error = name + " needs a value";
        return false;
      }
      *to = args[++i];
      return true;
    };
    if (name == "-d") {
      out->debug = true;
    } else if (name == "-l") {
      std::string letter;
      if (!take(&letter)) return false;
      if (letter.size() != 1 || !isalpha(static_cast<unsigned char>(letter[0]))) {
        *error = "the drive letter must be one letter";
        return false;
      }
      out->letter = static_cast<char>(toupper(static_cast<unsigned char>(letter[0])));
    } else if (name == "--valtoken") {
      if (!take(&out->token)) return false;
      out->tokenFromStdin = out->token == "-";
      if (out->tokenFromStdin) out->token.clear();
      tokenGiven = true;
    } else if (name == "--justshares") {
      out->justShares = true;
    } else if (name == "--volname") {
      if (!take(&out->volname)) return false;
    } else if (name == "--device") {
      if (!take(&out->device)) return false;
    } else if (name == "--service") {
      if (!take(&out->service)) return false;
    } else {
      *error = "unknown option " + name;
      return false;
    }
  }
  if (!out->letter) {
    *error = "-l LETTER is missing";
    return false;
  }
  if (!tokenGiven || (!out->tokenFromStdin && out->token.empty())) {
    *error = "--valtoken is missing";
    return false;
  }
  if (out->device.empty() != out->service.empty()) {
    *error = "--device and --service go together";
    return false;
  }
  if (out->justShares && !out->device.empty()) {
    *error = "--justshares names no drive";
    return false;
  }
  return true;
}

const char *tfsoptions__usage() {
  return "usage: tesselutilfs [-d] -l LETTER --valtoken TOKEN|- [--justshares] [--volname NAME]\n"
         "                    [--device ID --service ID]\n"
         "Mounts one drive on <drive.mountroot>/LETTER (default ~/Tessel/LETTER) until told to\n"
         "quit. \"--valtoken -\" reads the session token from the first line of standard input.\n";
}
