// URL parsing and composing, and the path codecs, on arbitrary text.
#include <cstdint>
#include <cstring>
#include <string>

#include "hbstr.h"
#include "hburl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  HBRef<IHBURL> url;
  if (hburl__parse(url.out(), text.c_str()) == 0) {
    HBRef<IHBStr> s;
    if (url->toString(s.out()) == 0) {
      // A composed URL parses again.
      HBRef<IHBURL> again;
      (void)hburl__parse(again.out(), s->getText());
    }
    char small[8];
    (void)url->format(small, sizeof(small));
  }
  char enc[HBURL_ENCODE_BUFSIZE];
  (void)hburl__encodePath(text.c_str(), enc);
  char dec[64];
  (void)hburl__decodePath(text.c_str(), dec, sizeof(dec));
  HBRef<IHBURL> fromPath;
  (void)hburl__fromPath(fromPath.out(), text.c_str());
  return 0;
}
