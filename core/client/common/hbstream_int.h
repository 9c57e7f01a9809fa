// Internals shared by the stream implementations.
#pragma once

#include <cstdint>

#include "hbstream.h"

namespace hbstream_detail {

// Bounds the retries of "not yet" answers (-2, -11, a zero-byte write) so that a peer that never
// makes progress cannot hold a copy loop forever. Consecutive retries back off from 0 to 16 ms.
class RetryBudget {
 public:
  static constexpr int kMaxRetries = 32;
  // True when `rc` may be retried and the budget allows it (after a pause).
  bool again(int32_t rc);
  void reset() { m_count = 0; }

 private:
  int m_count = 0;
};

inline bool isRetryable(int32_t rc) { return rc == BR_EAGAIN || rc == BR_ETIMEDOUT; }

// Copies `text` into `buffer` of `size` bytes, terminated, cut at a character boundary.
void copyCut(char *buffer, int32_t size, const char *text);

}  // namespace hbstream_detail
