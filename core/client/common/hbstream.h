// Streams: the one interface through which every byte of the core moves.
//
// IHBStream is implemented by local files, temporary files, memory buffers, HTTP bodies, child
// process pipes and transcoder output. Results follow brerror.h: a count at or above zero, or a
// negative code; -2 (BR_EAGAIN) and -11 (BR_ETIMEDOUT) mean "nothing yet, try again".
//
// Streams are not locked: one thread uses a stream at a time.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "hbobj.h"

struct IHBStream;

// Progress of a copy: `sent` bytes so far. Returning non-zero stops the copy.
typedef int (*HBStreamProgressFn)(int64_t sent, void *user);

// The common copy loop behind every sendTo: reads up to 128 KiB from `src` and writes it all to
// `dst` until `size` bytes were sent (size < 0: until `src` ends). A zero-byte write is retried,
// and so are -2 and -11 from either side. Returns the bytes sent, or the failure's code when it
// happened before any byte was sent. Borrows both streams.
HB_NODISCARD int64_t hbstream__sendTo(IHBStream *src, IHBStream *dst, int64_t size,
                                      HBStreamProgressFn progress = nullptr,
                                      void *user = nullptr);

// Writes all `length` bytes, retrying short and zero-byte writes and -2/-11 within a bounded
// budget. Returns `length`, or a negative code (some bytes may have been written). Borrows the
// stream.
HB_NODISCARD int32_t hbstream__writeAll(IHBStream *stream, const void *buffer, int32_t length);

// Seek origins: these numbers, not SEEK_SET/SEEK_CUR/SEEK_END.
enum : int32_t {
  HBSTREAM_SEEK_SET = 1,
  HBSTREAM_SEEK_CUR = 2,
  HBSTREAM_SEEK_END = 3,
};

struct IHBStream : IHBObj {
  static constexpr int32_t kIfc = HBIFC_STREAM;
  // Bytes read, 0 at the end, or a negative code (-2 and -11: no data yet).
  HB_NODISCARD virtual int32_t read(void *buffer, int32_t length) = 0;
  // Bytes written (possibly fewer than `length`), or a negative code.
  HB_NODISCARD virtual int32_t write(const void *buffer, int32_t length) = 0;
  // The new position, or a negative value. `whence` is one of HBSTREAM_SEEK_*.
  virtual int64_t seek(int64_t offset, int32_t whence) = 0;
  virtual int32_t flush() { return 0; }
  virtual int32_t close() = 0;
  // Copies to `destination` (borrowed); see hbstream__sendTo.
  HB_NODISCARD virtual int64_t sendTo(IHBStream *destination, int64_t size) {
    return hbstream__sendTo(this, destination, size);
  }
};

// Offered by file streams: sets the file's length without moving the position.
struct IHBStreamSpaceAlloc : IHBObj {
  static constexpr int32_t kIfc = HBIFC_STREAMSPACEALLOC;
  // 0, or -8 when the file cannot be resized.
  HB_NODISCARD virtual int32_t setSize(int64_t size) = 0;
};

// Implemented by file streams. It has no interface number of its own: use hbstream__getPath.
struct IHBFileStream : IHBObj {
  // Writes the UTF-8 path into `buffer` (terminated, cut to `size`); returns the path's length
  // in UTF-16 units, or -3 when the stream has no path.
  virtual int32_t getPath(char *buffer, int32_t size) = 0;
};

// The path of a file stream (see IHBFileStream::getPath); -3 for any other stream.
int32_t hbstream__getPath(IHBStream *stream, char *buffer, int32_t size);

// Memory stream flags.
enum : uint32_t {
  HBMEM_READ = 0x1,
  HBMEM_WRITE = 0x2,
  HBMEM_OWNED = 0x10000,        // the buffer is freed with the stream
  HBMEM_GROWABLE = 0x20000,     // a write that does not fit enlarges the buffer
  HBMEM_ALLOC = 0x40000,        // allocate the buffer at construction
  HBMEM_CALLERBUF = 0x80000,    // the first enlargement copies the caller's buffer
  HBMEM_PASSTHROUGH = 0x100000, // full buffers go to the downstream stream
};

struct IHBMemStream : IHBStream {
  static constexpr int32_t kIfc = HBIFC_MEMSTREAM;
  // Seek to `position`, transfer, seek back; -6 when the seek fails.
  HB_NODISCARD virtual int32_t readAt(void *buffer, int32_t length, int64_t position) = 0;
  HB_NODISCARD virtual int32_t writeAt(const void *buffer, int32_t length, int64_t position) = 0;
  // The buffer (borrowed, valid until the next write) and, for a writable stream, the write
  // length, else the capacity. Returns 0.
  virtual int32_t getBuffer(void **buffer, int32_t *length) = 0;
  HB_NODISCARD virtual int32_t writeULongLong(unsigned long long value) = 0;  // "%llu"
  HB_NODISCARD virtual int32_t writeLongLong(long long value) = 0;            // "%lld"
  HB_NODISCARD virtual int32_t writeUInt(unsigned int value) = 0;             // "%u"
  HB_NODISCARD virtual int32_t writeInt(int value) = 0;                       // "%d"
  // A null text writes "(null)".
  HB_NODISCARD virtual int32_t writeString(const char *text) = 0;
};

struct IHBObjWithMimeType : IHBObj {
  static constexpr int32_t kIfc = HBIFC_OBJWITHMIMETYPE;
  // Borrowed; lives as long as the object.
  virtual const char *getMimeType() = 0;
};

// A read buffer over an inner stream, for text read line by line. Writing and seeking return -6.
struct IHBBufStream : IHBStream {
  // Copies the next line including its end ("\n" or "\r\n") into `buffer`, terminated. A line
  // longer than size-1 bytes is cut: the rest of it is consumed and dropped, so a cut line is
  // the one that does not end in "\n" before the end of the stream. Returns the bytes copied,
  // 0 at the end, or the inner stream's negative code (buffered bytes stay for the next call).
  HB_NODISCARD virtual int32_t readLine(char *buffer, int32_t size) = 0;
};

// File open flags.
enum : int32_t {
  HBFILE_O_READ = 0x1,
  HBFILE_O_WRITE = 0x2,
  HBFILE_O_RDWR = 0x3,
  HBFILE_O_CREAT = 0x1000,
  HBFILE_O_TRUNC = 0x2000,
  HBFILE_O_EXCL = 0x4000,
  HBFILE_O_HIDDEN = 0x10000000,
};

// Opens the file `path` (UTF-8) with HBFILE_O_* flags. Returns 0 and hands one reference to
// *out, or a negative code: -1 for bad flags, -3 when the file or a folder is missing, -17 when
// access is refused. The stream also offers IHBStreamSpaceAlloc and IHBFileStream.
HB_NODISCARD int32_t hbstream__openFile(IHBStream **out, const char *path, int32_t flags);

// Creates a new file "yto_XXXXXX" in `directory` (null or empty: the temporary folder), open
// for reading and writing; it is deleted when the stream is closed or destroyed. Returns 0 and
// hands one reference to *out, or -1.
HB_NODISCARD int32_t hbstream__openTemp(IHBStream **out, const char *directory);

// A growable memory stream of `capacity` bytes (flags 0x70003, growth step = capacity).
// Hands one reference to *out.
HB_NODISCARD int32_t hbstream__newMem(IHBMemStream **out, int32_t capacity);

// A memory stream with HBMEM_* flags over `buffer` (borrowed unless HBMEM_OWNED; ignored with
// HBMEM_ALLOC) of `capacity` bytes, optionally writing into `downstream`, which it keeps one
// reference to. Hands one reference to *out; -6 for a bad combination, -19 without memory.
HB_NODISCARD int32_t HBMemStream__new(IHBMemStream **out, uint32_t flags, void *buffer,
                                      int32_t capacity, IHBStream *downstream);

// Wraps `inner` (one reference taken) with a media type (copied). Hands one reference to *out,
// which also offers IHBObjWithMimeType. Its close closes and releases `inner`, returning -25.
HB_NODISCARD int32_t HBStreamWithMimeType__new(IHBStream **out, IHBStream *inner,
                                               const char *mimeType);

// A line reader over `inner` (one reference taken) with a buffer of `bufferSize` bytes (0:
// 4096). Hands one reference to *out.
HB_NODISCARD int32_t HBBufStream__new(IHBBufStream **out, IHBStream *inner,
                                      int32_t bufferSize = 0);

// Writes `count` vectors: up to 4096 bytes in all collated into one write, else one write per
// vector. Returns the total written (a short write ends early with the total so far), or the
// code of a failure that happened before any byte was written. Borrows the stream.
HB_NODISCARD int32_t hbstream__writev(IHBStream *stream, const struct iovec *vectors, int count);
