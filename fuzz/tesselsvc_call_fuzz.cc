// The service's readers of call bodies: SOAP envelopes, the pages' bare envelopes and JSON
// argument objects. Any input is read or refused cleanly, and what is read answers in every form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "svcpkt.h"
#include "svcvalue.h"

using namespace tessel::svc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string body(reinterpret_cast<const char *>(data), size);
  std::string method, err;
  SvcArgs args;
  bool ok = svcxml__parseCall(body, &method, &args, &err);
  if (!ok) ok = svcjson__parseArgs(body, &args, &err);
  if (!ok) return 0;
  SvcValue v = SvcValue::map();
  for (const auto &[k, val] : args)
    if (svcxml__isName(k)) v.set(k, val);
  (void)svcxml__response(svcxml__isName(method) ? method : "m", v);
  (void)svcjson__response(v);
  (void)svcpkt__encode(svcpkt__fromValue(v));
  return 0;
}
