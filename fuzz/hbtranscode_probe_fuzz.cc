// Fuzzes the parsers of ffmpeg's output: the "-i" format lines and the progress times.
#include <cstdint>
#include <string>

#include "hbtranscode_ffmpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  HBXCodeSourceInfo info;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    hbxcode__parseFormatLine(&info, line.c_str());
    int32_t seconds = 0, fraction = 0;
    (void)hbxcode__parseTime(line.c_str(), &seconds, &fraction);
    start = end + 1;
  }
  return 0;
}
