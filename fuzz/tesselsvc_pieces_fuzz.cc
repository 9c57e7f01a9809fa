// The service's readers of a piece's Content-Range and of a pending upload's record: any text
// gives a range inside its total (or a question), or a record holding no more than its total,
// and a record read back from its own text is the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "svccontent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace tessel::svc;
  const std::string text(reinterpret_cast<const char *>(data), size);
  int64_t first = -2, last = -2, total = -2;
  if (svccontent__parseContentRange(text, &first, &last, &total)) {
    if (total < 0 || total > kSvcMaxStream) abort();
    if (first != -1 && !(first >= 0 && first <= last && last < total)) abort();
    if (first == -1 && last != -1) abort();
  }
  SvcPendingState st;
  if (svccontent__parseRecord(text, &st)) {
    if (st.total < 0 || st.total > kSvcMaxStream || st.held < 0 || st.held > st.total) abort();
    SvcPendingState again;
    if (!svccontent__parseRecord(svccontent__record(st), &again) || again.total != st.total ||
        again.held != st.held || again.lastMs != st.lastMs)
      abort();
  }
  return 0;
}
