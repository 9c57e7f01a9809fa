// HTTP client responses: status line and headers, body delimiting, chunked bodies and trailers,
// and destroying a request so that its connection can be reused safely.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "brhttp.h"
#include "brhttp_int.h"
#include "brlog.h"
#include "hbstr.h"

namespace {

const char *hostOf(BRHTTPRequest *r) { return r->conn ? r->conn->host : ""; }

void dumpPending(BRHTTPRequest *r, int level) {
  if (brlog__enabled(level) && r->pending)
    brstr__hexdump(BRHTTP_TAG, level, r->hdr + r->cursor, static_cast<int32_t>(r->pending));
}

// Finds the end of the line that starts at `pos`: CR, LF or CR LF. Returns false when more bytes
// are needed to know; *endLen is the length of the line end.
bool findLineEnd(const char *buf, uint32_t pos, uint32_t used, bool final, uint32_t *idx,
                 uint32_t *endLen) {
  for (uint32_t i = pos; i < used; ++i) {
    if (buf[i] == '\n') {
      *idx = i;
      *endLen = 1;
      return true;
    }
    if (buf[i] == '\r') {
      if (i + 1 < used) {
        *idx = i;
        *endLen = buf[i + 1] == '\n' ? 2 : 1;
        return true;
      }
      if (final) {
        *idx = i;
        *endLen = 1;
        return true;
      }
      return false;
    }
  }
  return false;
}

int32_t failParse(BRHTTPRequest *r, const char *fmt, const char *line) {
  brlog(BRHTTP_TAG, BRLOG_ERROR, fmt, line);
  r->state = BRHTTP_ST_FAILED;
  return BR_EINVAL;
}

int32_t parseStatusLine(BRHTTPRequest *r, char *line, char *reason, int32_t reasonSize) {
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "receiveResponseHeader -- Response status '%s'!\n", line);
  char *sp1 = strchr(line, ' ');
  if (!sp1)
    return failParse(r, "receiveResponseHeader -- Failed to parse status proto '%s'!\n", line);
  *sp1 = '\0';
  if (strncmp(line, "HTTP", 4) == 0) {
    r->flags |= BRHTTP_RESP_HTTP;
    if (strcmp(line, "HTTP/1.0") == 0) {
      r->flags |= BRHTTP_RESP_CLOSE;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Closing connection after response\n");
    } else {
      r->flags |= BRHTTP_RESP_NOT_HTTP10;
    }
  }
  *sp1 = ' ';
  char *codeText = sp1 + 1;
  char *sp2 = strchr(codeText, ' ');
  if (!sp2)
    return failParse(r, "receiveResponseHeader -- Failed to parse status line '%s'!\n", line);
  int32_t code = 0;
  int digits = 0;
  const char *q = codeText;
  while (*q >= '0' && *q <= '9' && digits < 4) {
    code = code * 10 + (*q - '0');
    ++q;
    ++digits;
  }
  if (q != sp2 || digits == 0 || digits > 3 || code < 100)
    return failParse(r, "receiveResponseHeader -- Failed to parse status code '%s'!\n", line);
  r->status = code;
  if (reason && reasonSize > 0) snprintf(reason, static_cast<size_t>(reasonSize), "%s", sp2 + 1);
  return BR_OK;
}

void splitHeader(char *line, bool emptyValueWithoutColon, BRHTTPRequest *r);

void updateResponseState(BRHTTPRequest *r) {
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "UPDATING_RESPONSE_STATE: %x\n", r->flags);
  if (!((r->flags & BRHTTP_RESP_HTTP) && (r->flags & BRHTTP_REQ_HTTP))) {
    r->state = BRHTTP_ST_RESP_BODY;
    return;
  }
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "UPDATING_RESPONSE_STATE: both HTTP\n");
  if (r->flags & BRHTTP_REQ_NO_RESP_BODY) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "UPDATING_RESPONSE_STATE: No response body for method\n");
    r->state = BRHTTP_ST_COMPLETE;
  } else if ((r->flags & BRHTTP_RESP_CLEN) && r->respClen == 0) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "UPDATING_RESPONSE_STATE: Response content-length 0\n");
    r->state = BRHTTP_ST_COMPLETE;
  } else if (r->status == 204 || r->status == 304) {
    r->state = BRHTTP_ST_COMPLETE;
  } else {
    r->state = BRHTTP_ST_RESP_BODY;
  }
}

// One read into the free space after the pending bytes, which first move to the front of the
// buffer. Returns the bytes read, 0 when the peer closed, or a result code.
int32_t fillPending(BRHTTPRequest *r) {
  if (r->pending && r->cursor) memmove(r->hdr, r->hdr + r->cursor, r->pending);
  r->cursor = 0;
  r->bodyStart = 0;
  const int32_t room = BRHTTP_BUFSIZE - static_cast<int32_t>(r->pending);
  if (room <= 0) return BR_ENOSPC;
  const int32_t n = BRHTTPConnection__read(r->conn, r->hdr + r->pending, room);
  if (n == BR_ETIMEDOUT || n == BR_EAGAIN) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "%s:%d -- Timeout getting chunk header...\n", __FILE__,
          __LINE__);
    return n;
  }
  if (n < 0) {
    brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d -- Error getting chunk header: %d!\n", __FILE__,
          __LINE__, n);
    r->state = BRHTTP_ST_FAILED;
    return n;
  }
  r->pending += static_cast<uint32_t>(n);
  return n;
}

int32_t recvInternal(BRHTTPRequest *r, void *buf, int32_t size) {
  char scratch[BRHTTP_BUFSIZE];
  // Pending bytes always lie inside the header buffer; if the accounting were ever off, fail
  // the request rather than copy from beyond the buffer.
  VERIFY(r->cursor + r->pending <= BRHTTP_BUFSIZE);
  if (r->cursor + r->pending > BRHTTP_BUFSIZE) {
    r->state = BRHTTP_ST_FAILED;
    return BR_EINVAL;
  }
  int32_t n = static_cast<int32_t>(r->pending) < size ? static_cast<int32_t>(r->pending) : size;
  if (n > 0) {
    brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Delivering %u of %u pending bytes first\n", (unsigned)n,
          r->pending);
    brlog(BRHTTP_TAG, BRLOG_DEBUG3, "buffer(%u) pending(%u)\n", (unsigned)size, r->pending);
    if (buf) memcpy(buf, r->hdr + r->cursor, static_cast<size_t>(n));
    r->cursor += static_cast<uint32_t>(n);
    r->pending -= static_cast<uint32_t>(n);
  }
  if (r->pending > 0 || n == size) return n;
  if (r->pending == 0) r->cursor = 0;
  int32_t want = size - n;
  char *dst = buf ? static_cast<char *>(buf) + n : scratch;
  if (!buf && want > BRHTTP_BUFSIZE) want = BRHTTP_BUFSIZE;
  brlog(BRHTTP_TAG, BRLOG_DEBUG4, "Receiving %u bytes...\n", (unsigned)want);
  const int32_t rc = BRHTTPConnection__read(r->conn, dst, want);
  if (rc < 0) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Failed to read: %d\n", rc);
    if (n > 0) return n;
    if (rc != BR_ETIMEDOUT && rc != BR_EAGAIN) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d -- Error reading response body: %d!\n", __FILE__,
            __LINE__, rc);
      r->state = BRHTTP_ST_FAILED;
    }
    return rc;
  }
  if (rc == 0) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "EOF on stream -- Assume end...\n");
    r->sawEof = true;
    r->state = BRHTTP_ST_COMPLETE;
  }
  const int32_t total = n + rc;
  brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Actually Received %d bytes\n", total);
  return total;
}

int32_t readChunkHeader(BRHTTPRequest *r) {
  while (r->pending < 3) {
    const int32_t n = fillPending(r);
    if (n < 0) return n;
    if (n == 0) {
      r->state = BRHTTP_ST_FAILED;
      return BR_EOF;
    }
  }
  if (r->chunkSepExpected) {
    if (r->hdr[r->cursor] != '\r' || r->hdr[r->cursor + 1] != '\n') {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d [%s] missing chunk terminator\n", __FILE__, __LINE__,
            hostOf(r));
      r->state = BRHTTP_ST_FAILED;
      return BR_EINVAL;
    }
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "%s:%d [%s] pulled off leading \"\\r\\n\"\n", __FILE__,
          __LINE__, hostOf(r));
    r->cursor += 2;
    r->pending -= 2;
  }
  r->chunkSepExpected = true;
  // The CR that ends the size line, and the LF after it.
  uint32_t cr = 0;
  for (;;) {
    const char *start = r->hdr + r->cursor;
    const char *p = static_cast<const char *>(memchr(start, '\r', r->pending));
    if (p && static_cast<uint32_t>(p - start) + 1 < r->pending) {
      cr = static_cast<uint32_t>(p - start);
      break;
    }
    if (r->pending >= BRHTTP_BUFSIZE) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "Chunk header format error!\n");
      r->state = BRHTTP_ST_FAILED;
      return BR_EINVAL;
    }
    const int32_t n = fillPending(r);
    if (n < 0) return n;
    if (n == 0) {
      r->state = BRHTTP_ST_FAILED;
      return BR_EOF;
    }
  }
  const char *line = r->hdr + r->cursor;
  if (line[cr + 1] != '\n') {
    brlog(BRHTTP_TAG, BRLOG_ERROR, "Chunk header format error!\n");
    r->state = BRHTTP_ST_FAILED;
    return BR_EINVAL;
  }
  uint32_t i = 0;
  while (i < cr && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i + 1 < cr && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X')) i += 2;
  uint64_t size = 0;
  int digits = 0;
  while (i < cr && digits < 16 && isxdigit(static_cast<unsigned char>(line[i]))) {
    const char ch = line[i];
    const uint64_t d = ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10;
    size = size * 16 + d;
    ++digits;
    ++i;
  }
  if (digits == 0 || size > static_cast<uint64_t>(INT64_MAX) ||
      (i < cr && isxdigit(static_cast<unsigned char>(line[i])))) {
    brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d -- Chunk header format error: '%.20s' '%.20s'!\n",
          __FILE__, __LINE__, line, line + i);
    if (brlog__enabled(BRLOG_ERROR)) brstr__hexdump(BRHTTP_TAG, BRLOG_ERROR, line, (int32_t)cr);
    r->state = BRHTTP_ST_FAILED;
    return BR_EINVAL;
  }
  r->cursor += cr + 2;
  r->pending -= cr + 2;
  if (size == 0) {
    r->state = BRHTTP_ST_TRAILER;
    r->respClen = -1;
    return 0;
  }
  r->respClen = static_cast<int64_t>(size);
  return 1;
}

int32_t recvChunked(BRHTTPRequest *r, void *buf, int32_t size) {
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "%s:%d [%s] --- ENTER STATE [%p %p(%d) %p(%d) %u -- %lld]\n",
        __FILE__, __LINE__, hostOf(r), static_cast<void *>(r->hdr),
        static_cast<void *>(r->hdr + r->bodyStart), (int)r->bodyStart,
        static_cast<void *>(r->hdr + r->cursor), (int)r->cursor, r->pending,
        (long long)r->respClen);
  dumpPending(r, BRLOG_DEBUG);
  int32_t result;
  if (r->respClen < 0) {
    const int32_t rc = readChunkHeader(r);
    if (rc <= 0) {
      result = rc;
      goto out;
    }
  }
  {
    const int32_t want = r->respClen < size ? static_cast<int32_t>(r->respClen) : size;
    result = recvInternal(r, buf, want);
    if (result == BR_ETIMEDOUT || result == BR_EAGAIN) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "%s:%d -- Timeout reading chunk data...!\n", __FILE__,
            __LINE__);
    } else if (result < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d -- Failed reading chunk data: %d!\n", __FILE__,
            __LINE__, result);
      r->state = BRHTTP_ST_FAILED;
    } else if (result == 0) {
      // The server closed in the middle of a chunk: the body is incomplete.
      r->state = BRHTTP_ST_FAILED;
      result = BR_EOF;
    } else {
      r->respClen -= result;
      if (r->respClen == 0) r->respClen = -1;
      // Only the last chunk ends a chunked body; an end of stream before it is found next call.
      if (r->sawEof) r->state = BRHTTP_ST_RESP_BODY;
    }
  }
out:
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "%s:%d [%s] --- EXIT STATE (%d) [%p %p %u -- %lld]\n", __FILE__,
        __LINE__, hostOf(r), result, static_cast<void *>(r->hdr),
        static_cast<void *>(r->hdr + r->cursor), r->pending, (long long)r->respClen);
  dumpPending(r, BRLOG_DEBUG);
  return result;
}

int32_t checkResponseHeader(BRHTTPRequest *r, const char *name, const char *value) {
  brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "BRHTTPRequest__checkResponseHeader\n");
  if (brhttp__nameIs(name, "Content-Length")) {
    int64_t len = 0;
    if (!brhttp__parseLength(value, &len)) {
      r->badLength = true;
    } else {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Content length of response: %llu\n",
            (unsigned long long)len);
      if (r->flags & BRHTTP_RESP_CHUNKED) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE4,
              "Chunked reponse with Content-length, ignoring Content-length\n");
        r->respClen = -1;
      } else {
        r->respClen = len;
        r->flags |= BRHTTP_RESP_CLEN;
      }
    }
  } else if (brhttp__nameIs(name, "Connection")) {
    if (strncasecmp(value, "close", 5) == 0) {
      r->flags |= BRHTTP_RESP_CLOSE;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Closing connection after response\n");
    }
  } else if (brhttp__nameIs(name, "Transfer-Encoding")) {
    if (strncasecmp(value, "chunked", 7) == 0) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "  -- Response is chunked\n");
      r->flags |= BRHTTP_RESP_CHUNKED;
      if (r->flags & BRHTTP_RESP_CLEN) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE4,
              "Chunked reponse with Content-length, ignoring Content-length\n");
        r->flags &= ~BRHTTP_RESP_CLEN;
      }
      r->respClen = -1;
    } else {
      brlog(BRHTTP_TAG, BRLOG_WARNING, "Unknown transfer encoding: '%s'\n", value);
    }
  }
  const size_t nl = strlen(name), vl = strlen(value);
  if (nl + vl + 3 <= BRHTTP_BUFSIZE - r->storeLen) {
    memcpy(r->store + r->storeLen, name, nl + 1);
    memcpy(r->store + r->storeLen + nl + 1, value, vl + 1);
    r->storeLen += static_cast<uint32_t>(nl + vl + 2);
  }
  return BR_OK;
}

// "name: value" (spaces after the colon skipped). Without a colon the line is ignored, or in a
// trailer taken as a name with an empty value.
void splitHeader(char *line, bool emptyValueWithoutColon, BRHTTPRequest *r) {
  char *colon = strchr(line, ':');
  if (!colon) {
    if (emptyValueWithoutColon) (void)checkResponseHeader(r, line, "");
    return;
  }
  *colon = '\0';
  char *v = colon + 1;
  while (*v == ' ' || *v == '\t') ++v;
  (void)checkResponseHeader(r, line, v);
}

// Reads the trailer of a chunked response (state 8) until its blank line.
int32_t responseTrailerData(BRHTTPRequest *r) {
  for (;;) {
    uint32_t idx = 0, endLen = 0;
    while (r->pending > 0 &&
           findLineEnd(r->hdr, r->cursor, r->cursor + r->pending, false, &idx, &endLen)) {
      const uint32_t len = idx - r->cursor;
      char *line = r->hdr + r->cursor;
      line[len] = '\0';
      r->cursor = idx + endLen;
      r->pending -= len + endLen;
      if (len == 0) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] END OF RESPONSE TRAILER (%d bytes pending @ %p)\n",
              hostOf(r), (int)r->pending, static_cast<void *>(r->hdr + r->cursor));
        r->state = BRHTTP_ST_COMPLETE;
        return BR_OK;
      }
      splitHeader(line, true, r);
    }
    if (r->pending >= BRHTTP_BUFSIZE) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "[%s] error in response trailer: %d\n", hostOf(r), BR_ENOSPC);
      r->state = BRHTTP_ST_FAILED;
      return BR_ENOSPC;
    }
    const int32_t n = fillPending(r);
    if (n == BR_ETIMEDOUT || n == BR_EAGAIN) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE, "[%s] -- timeout response trailer data\n", hostOf(r));
      return BR_ETIMEDOUT;
    }
    if (n < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "[%s] error in response trailer: %d\n", hostOf(r), n);
      r->state = BRHTTP_ST_FAILED;
      return n;
    }
    if (n == 0) {
      r->state = BRHTTP_ST_FAILED;
      return BR_EOF;
    }
  }
}

void closeConnection(BRHTTPRequest *r) {
  brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "DISCONNECTING %p in state %d\n", static_cast<void *>(r->conn),
        r->state);
  BRHTTPConnection__close(r->conn);
}

}  // namespace

int32_t BRHTTPRequest__receiveResponseHeader(BRHTTPRequest *r, char *reason, int32_t reasonSize) {
  if (!r) return BR_EINVAL;
  if (reason && reasonSize > 0) reason[0] = '\0';
  if (r->state == BRHTTP_ST_CREATED) {
    int32_t reported = 0;
    const int32_t rc = brhttp__sendReqInternal(r, nullptr, 0, &reported);
    if (rc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "receiveResponseHeader -- sendReqInternal failed!\n");
      return rc;
    }
    if (r->state != BRHTTP_ST_WAIT_RESPONSE) {
      brlog(BRHTTP_TAG, BRLOG_WARNING,
            "receiveResponseHeader -- sendReqInternal didn't fix state: %d!\n", r->state);
      return BR_EBADSTATE;
    }
  } else if (r->state == BRHTTP_ST_BODY && (r->flags & BRHTTP_REQ_CHUNKED)) {
    const int32_t rc = brhttp__sendLastChunk(r);
    if (rc < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "receiveResponseHeader -- sendBody failed!\n");
      return rc;
    }
  } else if (r->state != BRHTTP_ST_WAIT_RESPONSE) {
    brlog(BRHTTP_TAG, BRLOG_WARNING, "receiveResponseHeader -- bad state: %d!\n", r->state);
    return BR_EBADSTATE;
  }
  r->savedFlags = r->flags;

  uint32_t used = 0;
  if (r->pending > 0) {
    memmove(r->hdr, r->hdr + r->cursor, r->pending);
    used = r->pending;
  }
  r->pending = 0;
  r->cursor = 0;
  r->bodyStart = 0;
  uint32_t pos = 0;
  bool gotStatus = false;
  bool atEof = false;  // a CR as the very last byte then ends its line
  for (;;) {
    uint32_t idx = 0, endLen = 0;
    while (findLineEnd(r->hdr, pos, used, atEof, &idx, &endLen)) {
      char *line = r->hdr + pos;
      r->hdr[idx] = '\0';
      const uint32_t lineLen = idx - pos;
      pos = idx + endLen;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Response line: '%s'\n", line);
      if (!gotStatus) {
        if (lineLen == 0) continue;  // blank lines before a status line are tolerated
        const int32_t rc = parseStatusLine(r, line, reason, reasonSize);
        if (rc < 0) return rc;
        gotStatus = true;
        continue;
      }
      if (lineLen > 0) {
        splitHeader(line, false, r);
        continue;
      }
      // End of the header.
      r->bodyStart = pos;
      r->cursor = pos;
      r->pending = used - pos;
      brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "End of header -- Still have %u bytes of response body:\n",
            r->pending);
      dumpPending(r, BRLOG_DEBUG2);
      if (r->status >= 100 && r->status <= 199) {
        brlog(BRHTTP_TAG, BRLOG_ERROR,
              "receiveResponseHeader -- 100 Continue Response -- Eating it!\n");
        r->state = BRHTTP_ST_WAIT_RESPONSE;
        r->flags = r->savedFlags;
        r->respClen = -1;
        r->badLength = false;
        memmove(r->hdr, r->hdr + pos, r->pending);
        used = r->pending;
        pos = 0;
        r->pending = 0;
        r->cursor = 0;
        r->bodyStart = 0;
        gotStatus = false;
        continue;
      }
      if (r->badLength) {
        // A Content-Length that is no number, or too large for any body, cannot delimit it.
        brlog(BRHTTP_TAG, BRLOG_ERROR, "receiveResponseHeader -- Failed to parse status code '%s'!\n",
              "Content-Length");
        r->state = BRHTTP_ST_FAILED;
        return BR_EINVAL;
      }
      updateResponseState(r);
      return r->status;
    }
    if (used >= BRHTTP_BUFSIZE) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "receiveResponseHeader -- header buffer overflow!\n");
      r->state = BRHTTP_ST_FAILED;
      return BR_ENOSPC;
    }
    const int32_t n =
        BRHTTPConnection__read(r->conn, r->hdr + used, BRHTTP_BUFSIZE - static_cast<int32_t>(used));
    if (n == BR_ETIMEDOUT || n == BR_EAGAIN) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "receiveResponseHeader -- timed out recving header!\n");
      return n;
    }
    if (n < 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR, "receiveResponseHeader -- failed to recv header!\n");
      r->state = BRHTTP_ST_FAILED;
      return n;
    }
    if (n == 0 && !atEof && used > pos && r->hdr[used - 1] == '\r') {
      atEof = true;
      continue;
    }
    if (n == 0) {
      brlog(BRHTTP_TAG, BRLOG_ERROR,
            "receiveResponseHeader -- EOF while reading HTTP header (%d %d %d)!\n", (int)used,
            (int)pos, gotStatus ? 1 : 0);
      r->state = BRHTTP_ST_FAILED;
      return BR_EOF;
    }
    brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Received %d HTTP bytes\n", n);
    used += static_cast<uint32_t>(n);
  }
}

const char *BRHTTPRequest__getResponseHeader(BRHTTPRequest *r, const char *name) {
  if (!r || !name) return nullptr;
  uint32_t off = 0;
  while (off < r->storeLen) {
    const char *n = r->store + off;
    const size_t nl = strlen(n);
    const char *v = n + nl + 1;
    brlog(BRHTTP_TAG, BRLOG_DEBUG4, "Checking response header '%s' @ '%s'\n", name, n);
    if (strcasecmp(n, name) == 0) return v;
    off += static_cast<uint32_t>(nl + strlen(v) + 2);
  }
  return nullptr;
}

int32_t BRHTTPRequest__receiveResponseBody(BRHTTPRequest *r, void *buf, int32_t size) {
  if (!r) return BR_EINVAL;
  if (size < 0) return BR_EINVAL;
  if (!buf && size > BRHTTP_BUFSIZE) size = BRHTTP_BUFSIZE;
  if (r->state == BRHTTP_ST_RESP_BODY) {
    int32_t rc;
    if (size == 0) return 0;
    if (r->flags & BRHTTP_RESP_CHUNKED) {
      rc = recvChunked(r, buf, size);
    } else if (r->flags & BRHTTP_RESP_CLEN) {
      brlog(BRHTTP_TAG, BRLOG_DEBUG3, "Asked for %u bytes from remaining content length %llu\n",
            (unsigned)size, (unsigned long long)r->respClen);
      if (r->respClen <= 0) {
        r->state = BRHTTP_ST_COMPLETE;
        rc = 0;
      } else if (r->sawEof) {
        // The server closed before the announced length: the body is incomplete.
        r->state = BRHTTP_ST_FAILED;
        return BR_EOF;
      } else {
        const int32_t want = r->respClen < size ? static_cast<int32_t>(r->respClen) : size;
        rc = recvInternal(r, buf, want);
        if (rc > 0) {
          r->respClen -= rc;
          if (r->sawEof && r->respClen > 0) r->state = BRHTTP_ST_RESP_BODY;
        } else if (rc == 0) {
          r->state = BRHTTP_ST_FAILED;
          return BR_EOF;
        }
      }
    } else {
      rc = recvInternal(r, buf, size);
      if (rc < 0 && rc != BR_ETIMEDOUT && rc != BR_EAGAIN) {
        brlog(BRHTTP_TAG, BRLOG_ERROR, "%s:%d -- Failed reading data: %d - %s!\n",
              "BRHTTPRequest__receiveResponseBody", __LINE__, rc, brerror__name(rc));
        r->state = BRHTTP_ST_FAILED;
      }
    }
    if (rc != 0) return rc;
  } else if (r->state != BRHTTP_ST_TRAILER && r->state != BRHTTP_ST_COMPLETE) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE4, "Attempt to call receiveResponseBody in bad state: %d\n",
          r->state);
    return BR_EBADSTATE;
  }
  if (r->flags & BRHTTP_RESP_CLOSE) {
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "Closing connection at server's request\n");
    BRHTTPConnection__close(r->conn);
    if (r->indestroy == 0) r->state = BRHTTP_ST_COMPLETE;
  }
  return 0;
}

void BRHTTPRequest__destroy(BRHTTPRequest *r) {
  if (!r) return;
  if (r->indestroy != 0) {
    brlog("ASSERT", BRLOG_ERROR, "%s\n",
          "(r->indestroy == 0) && \"Would a nested BRHTTPRequest__destroy(...) ever be valid?\"");
    brabort("BRHTTPRequest__destroy", __LINE__);
  }
  r->indestroy = 1;
  // Only a caller holding an extra reference can get here twice; the second call just drops it.
  VERIFY(r->conn != nullptr);
  BRHTTPConnection *c = r->conn;
  const char *host = c ? c->host : "";
  brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] -- Destroying request in state [%d] flags [0x%x] resp_clen [%lld]\n",
        host, r->state, r->flags, (long long)r->respClen);

  bool close = false;
  if (c) {
    if (c->flags & BRHTTP_CONN_INTERRUPTED) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE, "[%s] -- A wait of this request was given up, closing\n",
            host);
      close = true;
    } else if (r->state == BRHTTP_ST_RESP_BODY && (c->flags & BRHTTP_CONN_READ_TIMEDOUT)) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE,
            "[%s] -- Not reading pending data from timed-out request, closing\n", host);
      close = true;
    } else if (r->state == BRHTTP_ST_RESP_BODY && (r->flags & BRHTTP_RESP_CHUNKED)) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "[%s] -- Request response still has pending chunks, consuming...\n",
            host);
      for (int i = 0; i < 4 && r->state == BRHTTP_ST_RESP_BODY; ++i) {
        if (BRHTTPRequest__receiveResponseBody(r, nullptr, BRHTTP_BUFSIZE) < 0) break;
      }
      if (r->state == BRHTTP_ST_TRAILER && responseTrailerData(r) < 0) {
        brlog(BRHTTP_TAG, BRLOG_ERROR, "error reading trailer!\n");
        close = true;
      } else if (r->state != BRHTTP_ST_COMPLETE) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "[%s] -- Request response still has pending chunks, closing\n",
              host);
        close = true;
      }
    } else if (r->state == BRHTTP_ST_RESP_BODY && (r->flags & BRHTTP_RESP_CLEN)) {
      if (r->respClen <= BRHTTP_BUFSIZE) {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3,
              "[%s] -- Request response still has pending %lld bytes, consuming...\n", host,
              (long long)r->respClen);
        for (;;) {
          const int32_t n = BRHTTPRequest__receiveResponseBody(r, nullptr, BRHTTP_BUFSIZE);
          if (n == 0) break;
          if (n < 0) {
            brlog(BRHTTP_TAG, BRLOG_VERBOSE3,
                  "[%s] -- Request response still has pending %lld bytes, closing\n", host,
                  (long long)r->respClen);
            close = true;
            break;
          }
        }
      } else {
        brlog(BRHTTP_TAG, BRLOG_VERBOSE3,
              "[%s] -- Request response still has pending %lld bytes, closing\n", host,
              (long long)r->respClen);
        close = true;
      }
    } else if (r->state == BRHTTP_ST_RESP_BODY) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE3, "[%s] -- Request response body of unknown length, closing\n",
            host);
      close = true;
    } else if (r->state == BRHTTP_ST_TRAILER) {
      brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] -- Reading off response trailer...\n", host);
      if (responseTrailerData(r) < 0) {
        brlog(BRHTTP_TAG, BRLOG_ERROR, "error reading trailer!\n");
        close = true;
      }
    } else if (r->state != BRHTTP_ST_CREATED && r->state != BRHTTP_ST_COMPLETE) {
      close = true;
    }
    // Bytes left over after a complete response belong to nothing this client asked for.
    if (!close && r->state == BRHTTP_ST_COMPLETE && r->pending > 0) close = true;
    if (!close && (r->state == BRHTTP_ST_CREATED || r->state == BRHTTP_ST_COMPLETE) &&
        (r->flags & BRHTTP_RESP_CLOSE))
      close = true;
    if (close) closeConnection(r);

    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] REQ DESTROY STATS (%p):\n", host, static_cast<void *>(r));
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    ctimeout:    %d\n", host, c->connectTimeout);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    rtimeout:    %d\n", host, c->readTimeout);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    wtimeout:    %d\n", host, c->writeTimeout);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    nrecvpoll:   %d\n", host, c->nrecvpoll);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    nsendpoll:   %d\n", host, c->nsendpoll);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s]    nwritevpoll: %d\n", host, c->nwritevpoll);
    brlog(BRHTTP_TAG, BRLOG_VERBOSE5, "[%s] FREEING REQUEST (%p)\n", host, static_cast<void *>(r));
    c->nrecvpoll = 0;
    c->nsendpoll = 0;
    c->nwritevpoll = 0;
    r->conn = nullptr;
    BRHTTPConnection__dnref(c);
  }
  free(r->hdr);
  free(r->store);
  r->hdr = nullptr;
  r->store = nullptr;
  r->state = BRHTTP_ST_DESTROYED;
  r->indestroy = 0;
  BRHTTPRequest__dnref(r);
}
