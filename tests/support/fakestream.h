// A scripted stream for tests: reads come from `input`, writes go to `output`, and scripts of
// results inject short transfers, "not yet" answers (-2, -11), stalls and hard failures.
//
//   auto s = FakeStream::make("hello");
//   s->readScript = {2, BR_EAGAIN, 0};   // a 2-byte read, a -2, then an early end
//   s->writeScript = {BR_ETIMEDOUT, 1};  // a -11, then a 1-byte write
//   s->failWritesAfter = 100;            // "disk full" once 100 bytes were taken
//
// Each read or write first takes the next entry of its script: a negative entry is returned as
// it is, 0 is returned as 0 (end for reads, no progress for writes), a positive entry caps that
// one transfer. With an empty script transfers are capped by maxRead / maxWrite.
#pragma once

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "hbobj.h"
#include "hbstream.h"

namespace tessel::test {

class FakeStream final : public HBObject<FakeStream, IHBStream> {
 public:
  static HBRef<FakeStream> make(std::string input = "") {
    HBRef<FakeStream> s = HBRef<FakeStream>::adopt(new FakeStream);
    s->input = std::move(input);
    return s;
  }

  // Readable data and the read position (seek moves it).
  std::string input;
  size_t readPos = 0;
  // Everything written.
  std::string output;

  std::deque<int32_t> readScript;
  std::deque<int32_t> writeScript;
  int32_t maxRead = INT32_MAX;
  int32_t maxWrite = INT32_MAX;
  // Once this many bytes were written, writes take only what fits and then fail with failCode.
  int64_t failWritesAfter = -1;
  // Once this many bytes were read, reads fail with failCode.
  int64_t failReadsAfter = -1;
  int32_t failCode = BR_EIO;
  int32_t closeResult = 0;

  // What the callers asked for, in order.
  std::vector<int32_t> readRequests;
  std::vector<int32_t> writeRequests;
  int reads = 0, writes = 0, flushes = 0, closes = 0;

  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

  int32_t read(void *buffer, int32_t length) override {
    ++reads;
    readRequests.push_back(length);
    int32_t cap = maxRead;
    if (!readScript.empty()) {
      const int32_t r = readScript.front();
      readScript.pop_front();
      if (r <= 0) return r;
      cap = r;
    }
    if (failReadsAfter >= 0 && static_cast<int64_t>(readPos) >= failReadsAfter) return failCode;
    size_t n = std::min<size_t>({static_cast<size_t>(length), static_cast<size_t>(cap),
                                 input.size() - std::min(readPos, input.size())});
    if (failReadsAfter >= 0)
      n = std::min<size_t>(n, static_cast<size_t>(failReadsAfter) - readPos);
    std::memcpy(buffer, input.data() + readPos, n);
    readPos += n;
    return static_cast<int32_t>(n);
  }

  int32_t write(const void *buffer, int32_t length) override {
    ++writes;
    writeRequests.push_back(length);
    int32_t cap = maxWrite;
    if (!writeScript.empty()) {
      const int32_t r = writeScript.front();
      writeScript.pop_front();
      if (r <= 0) return r;
      cap = r;
    }
    size_t n = std::min<size_t>(static_cast<size_t>(length), static_cast<size_t>(cap));
    if (failWritesAfter >= 0) {
      const int64_t room = failWritesAfter - static_cast<int64_t>(output.size());
      if (room <= 0) return failCode;
      n = std::min<size_t>(n, static_cast<size_t>(room));
    }
    output.append(static_cast<const char *>(buffer), n);
    return static_cast<int32_t>(n);
  }

  int64_t seek(int64_t offset, int32_t whence) override {
    int64_t base = whence == HBSTREAM_SEEK_CUR   ? static_cast<int64_t>(readPos)
                   : whence == HBSTREAM_SEEK_END ? static_cast<int64_t>(input.size())
                                                 : 0;
    if (base + offset < 0) return BR_EINVAL;
    readPos = static_cast<size_t>(base + offset);
    return base + offset;
  }

  int32_t flush() override {
    ++flushes;
    return 0;
  }
  int32_t close() override {
    ++closes;
    return closeResult;
  }

 private:
  FakeStream() = default;
};

}  // namespace tessel::test
