// Internals of the metadata parser shared by the framework and its format implementations.
//
// An implementation sees the stream in slices through HBFormatImplInfo_t, consumes what it can
// and reports items to the sink. It never keeps a pointer into a slice between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hbobj.h"

struct IHBStream;
struct IHBFormatParser;

// Where an implementation reports its items (the parser itself).
struct IHBFormatImplSink : IHBObj {
  // Stores `value` under `key`: a text for HBTYPE_TEXT (trimmed; an empty result is not stored),
  // or an object that the map takes its own reference on.
  virtual int32_t notifyItemFound(const char *key, hbtype_t hbtype, const void *value) = 0;
};

// The record shared between the parser and its implementation for one call.
struct HBFormatImplInfo_t {
  IHBFormatImplSink *sink = nullptr;  // borrowed: the parser outlives its implementation
  const char *name = nullptr;
  uint32_t avail = 0;
  const uint8_t *data = nullptr;
  uint64_t offset = 0;
  uint32_t used = 0;         // out
  int64_t seekRequest = 0;   // out: absolute offset to continue at; 0 = none
};

// One parse of one stream.
struct IHBFormatImpl : IHBObj {
  // 0: `used` bytes consumed, offer the rest again; -2: needs more than `avail`; -7: finished;
  // any other negative value: the stream is not parseable further.
  HB_NODISCARD virtual int32_t parseSlice(HBFormatImplInfo_t *info) = 0;
};

// A stateless, never released factory of implementations.
struct IHBFormatImplFact {
  virtual const char *getName() const = 0;
  // Hands out a new implementation with one reference and returns 0 when the bytes at hand are
  // its format (setting `used` to the bytes that precede its data); else a negative value.
  HB_NODISCARD virtual int32_t create(HBFormatImplInfo_t *info, IHBFormatImpl **out) const = 0;

 protected:
  ~IHBFormatImplFact() = default;
};

const IHBFormatImplFact &hbfmt__factId3();
const IHBFormatImplFact &hbfmt__factExif();
const IHBFormatImplFact &hbfmt__factAac();
// TIFF files and the TIFF-based raws ("TIFF"), WebP ("WEBP"), HEIF/HEIC/AVIF ("HEIF"), Canon CR3
// ("CR3") and Fujifilm RAF ("RAF"). Each accepts only its own magic at the start of the file.
const IHBFormatImplFact &hbfmt__factTiff();
const IHBFormatImplFact &hbfmt__factWebp();
const IHBFormatImplFact &hbfmt__factHeif();
const IHBFormatImplFact &hbfmt__factCr3();
const IHBFormatImplFact &hbfmt__factRaf();

// The EXIF walk started at a TIFF header: the next bytes offered are the header, whose first
// IFD is read as `firstIfd` (0 for IFD0, 0x8769 the Exif sub-IFD, 0x8825 the GPS sub-IFD).
// HBFMT_TIFF_RAW also takes the raw variants of the header's magic number.
enum : uint32_t { HBFMT_TIFF_RAW = 1 };
HB_NODISCARD int32_t hbfmt__newTiffReader(IHBFormatImpl **out, uint16_t firstIfd, uint32_t flags);
// True for 42, and with HBFMT_TIFF_RAW for the Olympus and Panasonic raw magic numbers.
bool hbfmt__isTiffMagic(uint16_t magic, uint32_t flags);
// Runs `impl` over `length` bytes in memory as if they were the stream from `offset` on, until
// it finishes (-7), fails, or wants bytes beyond them (-2). Returns that result.
int32_t hbfmt__feedMemory(IHBFormatImpl *impl, IHBFormatImplSink *sink, const uint8_t *data,
                          size_t length, uint64_t offset);
// A text as it is stored in the item map: valid UTF-8 (other bytes read as Latin-1, see
// hbstr__validUTF8), without C0 and C1 control characters or DEL except tab, line feed and
// carriage return.
std::string hbfmt__cleanText(std::string_view text);

// The largest block a container reader collects in memory (an EXIF block, a HEIF "meta" box).
constexpr uint64_t kHBFmtMaxBlock = 4u * 1024 * 1024;

// A reader for containers whose metadata lies at offsets found along the way: it asks for a
// block of bytes at an absolute offset at or after the current position, skips to it (with a
// seek request when it lies beyond the slice), collects it in memory and hands it over. The
// buffer grows with the bytes that arrive, so a length that lies costs nothing.
class HBFmtBlockReader : public IHBFormatImpl {
 public:
  HB_NODISCARD int32_t parseSlice(HBFormatImplInfo_t *info) final;

 protected:
  ~HBFmtBlockReader() override = default;
  // Asks for `length` bytes from `offset` on. False, asking nothing, when the offset lies behind
  // the bytes already offered or the length is 0 or above kHBFmtMaxBlock.
  bool want(uint64_t offset, uint64_t length);
  // The bytes asked for. Returns 0 after asking for more (without asking, the reader is
  // finished), -7 when finished, another negative value on a malformed file.
  virtual int32_t block(HBFormatImplInfo_t *info, uint64_t offset, const uint8_t *data,
                        size_t length) = 0;
  // Runs an EXIF walk over `length` bytes at `data` that begin with a TIFF header.
  static void walkTiff(HBFormatImplInfo_t *info, const uint8_t *data, size_t length,
                       uint16_t firstIfd = 0);

 private:
  bool m_wanting = false;
  uint64_t m_offset = 0;
  uint64_t m_length = 0;
  uint64_t m_next = 0;  // the stream offset after the bytes already offered
  std::vector<uint8_t> m_buffer;
};

// A parser that asks `facts` (static, `count` of them) in order instead of the standard three.
HB_NODISCARD int32_t hbfmtparser__newWith(IHBFormatParser **out, IHBStream *source,
                                          const IHBFormatImplFact *const *facts, int count);

// Embedded pictures larger than this are skipped rather than held in memory.
constexpr uint64_t kHBFmtMaxPicture = 16u * 1024 * 1024;

// An embedded picture collected slice by slice into a memory stream. The buffer grows with the
// bytes that actually arrive, so a size field that lies costs nothing.
class HBFmtPicture {
 public:
  HBFmtPicture() = default;
  // A picture still being collected when its reader goes (the file ended first) is logged as
  // skipped.
  ~HBFmtPicture();
  HBFmtPicture(const HBFmtPicture &) = delete;
  HBFmtPicture &operator=(const HBFmtPicture &) = delete;

  // Prepares for `size` bytes; false (nothing allocated) when that is above kHBFmtMaxPicture.
  bool start(uint64_t size);
  bool started() const { return m_mem != nullptr; }
  // False when the memory stream refused the bytes.
  bool append(const uint8_t *data, uint32_t length);
  uint64_t length() const { return m_length; }
  // Wraps the bytes with `mime` and reports them as "yto-tn"; the picture is then empty again.
  void report(IHBFormatImplSink *sink, const char *mime);
  void reset();

 private:
  IHBStream *m_mem = nullptr;  // one reference
  uint64_t m_length = 0;
  uint64_t m_expected = 0;
};

// Helpers shared by the readers.
inline uint16_t hbfmt__be16(const uint8_t *p) { return (uint16_t)((p[0] << 8) | p[1]); }
inline uint32_t hbfmt__be32(const uint8_t *p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}
inline uint64_t hbfmt__be64(const uint8_t *p) {
  return ((uint64_t)hbfmt__be32(p) << 32) | hbfmt__be32(p + 4);
}

// The ID3v1 genre list with the Winamp extensions; "Unknown" outside 0 to 147.
const char *hbfmt__genreName(int index);
// The album identity of `text`: SHA-1 in Base64 with "_" and "-" (28 characters).
std::string hbfmt__albumIdentity(const char *text, size_t length);
// Lower-case hexadecimal of `length` bytes.
std::string hbfmt__hex(const uint8_t *data, size_t length);
// Milliseconds since 1970 of a date counted as UTC (month 1 to 12); false for another month.
bool hbfmt__utcMs(long long year, int month, long long day, long long hour, long long minute,
                  long long second, int64_t *out);
// Writes "Y-M-D h:m:s" of `ms` into the six integers (for log lines).
void hbfmt__splitMs(int64_t ms, int fields[6]);
