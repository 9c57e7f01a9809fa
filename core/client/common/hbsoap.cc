// The RPC transport: the SOAP request, the answer's reading, and the packet-message exchange.
#include "hbsoap.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "brhttp.h"
#include "brlog.h"
#include "hbhttpconnpool.h"
#include "hbstream.h"
#include "hburl.h"

namespace {

const char kSoapEnvNs[] = "http://schemas.xmlsoap.org/soap/envelope/";
const char kXsdNs[] = "http://www.w3.org/2001/XMLSchema";
const char kXsiNs[] = "http://www.w3.org/2001/XMLSchema-instance";
const char kSoapEncNs[] = "http://schemas.xmlsoap.org/soap/encoding/";

bool isText(hbtype_t t) {
  return t == 0 || t == HBTYPE_TEXT;
}

class Writer {
 public:
  explicit Writer(IHBStream *s) : m_s(s) {}
  Writer &raw(const char *text) {
    if (m_rc == 0 && text) {
      const int32_t rc = hbstream__writeAll(m_s, text, int32_t(std::strlen(text)));
      if (rc < 0) m_rc = rc;
    }
    return *this;
  }
  Writer &esc(const char *text, bool nameMode = false) {
    if (m_rc == 0 && text) {
      const int32_t rc = hbsoap__xmlEscape(text, m_s, nameMode);
      if (rc < 0) m_rc = rc;
    }
    return *this;
  }
  int32_t rc() const { return m_rc; }
  IHBStream *stream() const { return m_s; }

 private:
  IHBStream *m_s;
  int32_t m_rc = 0;
};

const char *tagName(const char *name) {
  if (name && *name) return name;
  brlog("RPCSRV", BRLOG_WARNING, "XML TAG WITHOUT NAME -- USING 'item'\n");
  return "item";
}

void writeValue(Writer &w, const char *name, hbtype_t hbtype, const void *value, int depth);

void writeMapEntries(Writer &w, IHBMap *map, int depth) {
  (void)hbmap__forEach(map, [&](const char *key, hbtype_t vt, void *v) -> int32_t {
    writeValue(w, key, vt, v, depth + 1);
    return BR_OK;
  });
}

void writeIterItems(Writer &w, IHBIter *iter, const char *name, int depth) {
  if (!name) {
    HBRef<IHBNamedArgument> named;
    if (hb_query(iter, named) == 0) name = named->getName();
  }
  for (;;) {
    hbtype_t types[32];
    void *items[32];
    for (auto &t : types) t = HBTYPE_ANY;
    const int32_t n = iter->nextN(types, items, 32);
    if (n <= 0) break;
    for (int32_t i = 0; i < n; ++i) {
      if (types[i] == HBTYPE_TEXT && !name)
        w.esc(static_cast<const char *>(items[i]));
      else
        writeValue(w, name, types[i], items[i], depth + 1);
      if (!hbtype__isRaw(types[i]) && items[i]) static_cast<IHBObj *>(items[i])->dnref();
    }
  }
}

void open(Writer &w, const char *name) {
  w.raw("<").esc(name, true).raw(">");
}
void close(Writer &w, const char *name) {
  w.raw("</").esc(name, true).raw(">");
}

void writeValue(Writer &w, const char *name, hbtype_t hbtype, const void *value, int depth) {
  if (depth > 64) return;  // values are trees; a cycle must not run the stack out
  if (hbtype == HBTYPE_TEXT) {
    const char *n = tagName(name);
    open(w, n);
    w.esc(static_cast<const char *>(value));
    close(w, n);
    return;
  }
  if (hbtype__isRaw(hbtype)) {
    const char *n = tagName(name);
    open(w, n);
    w.raw("___UNSUPPORTED_TYPE___");
    close(w, n);
    return;
  }
  auto *obj = static_cast<IHBObj *>(const_cast<void *>(value));
  if (!obj) {
    w.raw("<").esc(tagName(name), true).raw("/>");
    return;
  }
  HBRef<IHBRPCSerializable> ser;
  HBRef<IHBRPCArgumentValue> av;
  HBRef<IHBMap> map;
  HBRef<IHBIter> iter;
  HBRef<IHBStr> str;
  if (hb_query(obj, ser) == 0) {
    const char *n = name && *name ? name : ser->getTypeName();
    n = tagName(n);
    open(w, n);
    const HBRPCPropertyEntry *table = ser->getPropertyTable();
    char text[513];
    for (int32_t i = 0; table && table[i].name; ++i) {
      const HBRPCPropertyEntry &p = table[i];
      if (p.hbtype == HBTYPE_TEXT) {
        const int32_t len = ser->getPropertyText(i, text, sizeof text);
        w.raw("<").esc(p.name, true).raw(" xsi:type=\"xsd:string\">");
        if (len > 0) w.esc(text);
        close(w, p.name);
      } else if (hbtype__isRaw(p.hbtype)) {
        open(w, p.name);
        w.raw("___UNSUPPORTED_TYPE___");
        close(w, p.name);
      } else {
        hbtype_t t = HBTYPE_ANY;
        void *o = nullptr;
        if (ser->getPropertyObject(i, &t, &o) < 0) {
          w.raw("<").esc(p.name, true).raw("/>");
          continue;
        }
        HBRef<IHBObj> hold = HBRef<IHBObj>::adopt(static_cast<IHBObj *>(o));
        writeValue(w, p.name, HBIFC_OBJ, o, depth + 1);
      }
    }
    close(w, n);
  } else if (hb_query(obj, map) == 0) {
    const char *n = tagName(name);
    open(w, n);
    writeMapEntries(w, map.get(), depth);
    close(w, n);
  } else if (hb_query(obj, iter) == 0) {
    const char *n = name;
    if (!n) {
      HBRef<IHBNamedArgument> named;
      if (hb_query(obj, named) == 0) n = named->getName();
    }
    n = tagName(n);
    open(w, n);
    writeIterItems(w, iter.get(), n, depth);
    close(w, n);
  } else if (hb_query(obj, av) == 0) {
    const char *n = tagName(name);
    open(w, n);
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (av->getValue(&t, &v) < 0)
      w.raw("___AVERROR___");
    else if (t == HBTYPE_TEXT)
      w.esc(static_cast<const char *>(v));
    else if (!hbtype__isRaw(t) && v && v != obj)
      writeValue(w, nullptr, t, v, depth + 1);
    close(w, n);
  } else if (hb_query(obj, str) == 0) {
    const char *n = tagName(name);
    open(w, n);
    w.esc(str->getText() ? str->getText() : "");
    close(w, n);
  } else {
    const char *n = tagName(name);
    open(w, n);
    w.raw("___OPAQUE___");
    close(w, n);
  }
}

void logArgument(const char *name, const char *value) {
  brlog("SOAP", BRLOG_VERBOSE, "      '%s' -> '%s'\n", name,
        name && (!std::strcmp(name, "password") || !std::strcmp(name, "valtoken")) ? "XXXXXXXXXXXX"
                                                                                   : value);
}

void writeTextArgument(Writer &w, const char *name, const char *value) {
  logArgument(name, value);
  w.raw("<").raw(name).raw(" xsi:type=\"xsd:string\">");
  if (value) w.esc(value);
  w.raw("</").raw(name).raw(">");
}

}  // namespace

int32_t hbsoap__writeEnvelope(IHBStream *stream, const char *method, int32_t count,
                              const HBRPCArgument *args, const char *const *pairs) {
  Writer w(stream);
  char head[512];
  std::snprintf(head, sizeof head,
                "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope xmlns:soapenv=\"%s\""
                " xmlns:xsd=\"%s\" xmlns:xsi=\"%s\"><soapenv:Body><",
                kSoapEnvNs, kXsdNs, kXsiNs);
  w.raw(head).raw(method ? method : "(null)");
  w.raw(" soapenv:encodingStyle=\"").raw(kSoapEncNs).raw("\">");
  if (args) {
    for (int32_t i = 0; i < count; ++i) {
      const HBRPCArgument &a = args[i];
      if (!a.name) continue;
      if (isText(a.hbtype)) {
        writeTextArgument(w, a.name, static_cast<const char *>(a.value));
      } else if (a.hbtype == HBIFC_MAP && a.value) {
        w.raw("<").raw(a.name).raw(">");
        writeMapEntries(w, static_cast<IHBMap *>(const_cast<void *>(a.value)), 0);
        w.raw("</").raw(a.name).raw(">");
      } else if (a.hbtype == HBIFC_ITER && a.value) {
        w.raw("<").raw(a.name).raw(">");
        writeIterItems(w, static_cast<IHBIter *>(const_cast<void *>(a.value)), a.name, 0);
        w.raw("</").raw(a.name).raw(">");
      } else {
        w.raw("<").raw(a.name).raw("></").raw(a.name).raw(">");
      }
    }
  } else {
    for (size_t i = 0; pairs && pairs[i]; i += 2) writeTextArgument(w, pairs[i], pairs[i + 1]);
  }
  w.raw("</").raw(method ? method : "(null)").raw("></soapenv:Body></soapenv:Envelope>");
  return w.rc();
}

// ---- HBSoap ----

HBSoap::HBSoap() {
  m_method[0] = 0;
}

HBSoap::~HBSoap() {
  m_parser.endParser();
  if (m_conn) {
    if (m_pool)
      (void)m_pool->releaseConnection(m_url, m_conn);
    else
      BRHTTPConnection__destroy(m_conn);
  }
  if (m_pool) m_pool->dnref();
  if (m_url) m_url->dnref();
}

int32_t HBSoap::create(IHBURL *url, IHBHTTPConnPool *pool, HBSoap **out) {
  if (!url || !out) return BR_EINVAL;
  auto *s = new (std::nothrow) HBSoap;
  if (!s) return BR_ENOMEM;
  s->m_url = url;
  url->upref();
  s->m_pool = pool;
  if (pool) pool->upref();
  const char *path = url->getPath();
  s->m_packet = path && std::strstr(path, "/pktm/");
  *out = s;
  return BR_OK;
}

int32_t HBSoap::create(IHBURL *url, IHBHTTPConnPool *pool, HBRef<HBSoap> &out) {
  return create(url, pool, out.out());
}

int32_t HBSoap::getifc(int32_t ifc, void **out) {
  if (!out) return BR_EINVAL;
  if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
  return BR_ENOENT;
}

int32_t HBSoap::connect() {
  if (m_conn) return BR_OK;
  brlog("HBSOAP", BRLOG_VERBOSE2, "Connecting to '%s://%s:%u'...\n", m_url->getScheme(),
        m_url->getHost(), unsigned(m_url->getPort()));
  int32_t rc;
  if (m_pool) {
    rc = m_pool->getConnection(m_url, &m_conn);
  } else {
    rc = BRHTTPConnection__new(&m_conn, m_url->getScheme(), m_url->getHost(), m_url->getPort(), 0,
                               30000, 30000, -1);
  }
  if (rc < 0) {
    m_conn = nullptr;
    brlog("HBSOAP", BRLOG_VERBOSE2, "Connection failed: %d\n", rc);
    return rc;
  }
  brlog("HBSOAP", BRLOG_VERBOSE3, "Connection successful\n");
  return BR_OK;
}

void HBSoap::releaseConnection(bool keep) {
  if (!m_conn) return;
  if (m_pool) {
    (void)m_pool->releaseConnection(m_url, m_conn);
    m_conn = nullptr;
  } else if (!keep) {
    BRHTTPConnection__destroy(m_conn);
    m_conn = nullptr;
  }
}

void HBSoap::drain(BRHTTPRequest *req) {
  // Bounded: a body that never ends is cut by the connection's read time-out or this count.
  for (int i = 0; i < 4096; ++i)
    if (BRHTTPRequest__receiveResponseBody(req, nullptr, 4096) <= 0) break;
}

int32_t HBSoap::exchange(const char *method, HBMap *result, int32_t count,
                         const HBRPCArgument *args, const char *const *pairs) {
  m_parser.endParser();
  m_fill = 0;
  std::snprintf(m_method, sizeof m_method, "%s", method ? method : "");
  const int32_t rc = connect();
  if (rc < 0) return rc;
  const int32_t status = m_packet ? exchangePacket(method, result, count, args, pairs)
                                  : exchangeSoap(method, result, count, args, pairs);
  releaseConnection(true);
  return status;
}

namespace {

// Sends the body through a 4096-byte buffer whose full blocks become chunks.
struct BodyStream {
  HBBRHTTPReqStrm req;
  HBRef<IHBMemStream> mem;
  explicit BodyStream(BRHTTPRequest *r) : req(r) {}
  int32_t open() {
    return HBMemStream__new(mem.out(), HBMEM_WRITE | HBMEM_PASSTHROUGH | HBMEM_ALLOC, nullptr, 4096,
                            &req);
  }
};

}  // namespace

int32_t HBSoap::exchangeSoap(const char *method, HBMap *result, int32_t count,
                             const HBRPCArgument *args, const char *const *pairs) {
  m_parser.initParser(method, result, m_types);
  BRHTTPRequest *req = nullptr;
  int32_t rc = BRHTTPConnection__newRequest(m_conn, "POST", m_url->getPath(), &req);
  if (rc < 0) {
    brlog("SOAP", BRLOG_WARNING, "Failed to create POST request: %d\n", rc);
    BRHTTPConnection__close(m_conn);
    return rc;
  }
  if ((rc = BRHTTPRequest__addRequestHeader(req, "SoapAction", method ? method : "")) >= 0 &&
      (rc = BRHTTPRequest__addRequestHeader(req, "Content-Type", "text/xml; charset=\"utf-8\"")) >=
          0)
    rc = BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
  brlog("SOAP", BRLOG_VERBOSE, ">>> SOAP-METHOD (%s)\n", method ? method : "(null)");
  if (rc >= 0) {
    BodyStream body(req);
    rc = body.open();
    if (rc >= 0) rc = hbsoap__writeEnvelope(body.mem.get(), method, count, args, pairs);
    if (rc >= 0) rc = body.mem->flush();
  }
  if (rc >= 0) rc = BRHTTPRequest__sendRequest(req);
  int32_t status = rc;
  if (rc >= 0) status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0);
  status = readSoapAnswer(req, status);
  BRHTTPRequest__destroy(req);
  return status;
}

int32_t HBSoap::readSoapAnswer(BRHTTPRequest *req, int32_t status) {
  if (status < 0) {
    brlog("SOAP-A", BRLOG_WARNING, "  -- [%s] ERROR receiving response %d\n", m_method, status);
    // A request the transport failed is a failed call (Fault), whatever the transport's code:
    // callers tell an I/O error of their own files from a call that did not go through. A wait
    // the caller gave up (-21) stays what it is: no failure of the service.
    if (status == BR_EINTR) return status;
    return BRHTTPRequest__getState(req) == BRHTTP_ST_FAILED ? BR_EFAULT : status;
  }
  if (!(status >= 200 && status <= 299) && !(status >= 500 && status <= 599)) {
    if (status >= 400 && status <= 499) {
      brlog("SOAP-A", BRLOG_WARNING, "  -- [%s] Client level error [%d] -- Likely just a 404...\n",
            m_method, status);
      drain(req);
    } else {
      brlog("SOAP-A", BRLOG_WARNING, "  -- [%s] Unhandled Response [%d]... What to do?\n", m_method,
            status);
    }
    return status;
  }
  bool discarding = false;
  int64_t total = 0;
  for (;;) {
    char *dst = discarding ? nullptr : m_buf + m_fill;
    const int32_t room = discarding ? 4096 : HBSOAP_BUFSIZE - m_fill;
    const int32_t n = BRHTTPRequest__receiveResponseBody(req, dst, room);
    if (n == 0) {
      brlog("SOAP-A", BRLOG_VERBOSE3, "  [%s] Request EOF...\n",
            BRHTTPConnection__getHost(BRHTTPRequest__getConnection(req)));
      break;
    }
    if (n == BR_EAGAIN || n == BR_ETIMEDOUT) break;
    if (n == BR_EINTR) return n;
    if (n < 0) {
      brlog("SOAP-A", BRLOG_WARNING, "  [%s] Request Read Fail: (%d: %s)\n",
            BRHTTPConnection__getHost(BRHTTPRequest__getConnection(req)), n, brerror__name(n));
      return BR_EIO;
    }
    total += n;
    if (discarding) {
      if (total > 2 * int64_t(HBSOAP_MAX_BODY)) break;  // the connection is closed after this
      continue;
    }
    if (total > HBSOAP_MAX_BODY) {
      // The map grows with the answer: an endless one must not take all memory.
      brlog("SOAP-A", BRLOG_ERROR, "  -- [%s] Answer larger than %d bytes: rest thrown away\n",
            m_method, HBSOAP_MAX_BODY);
      discarding = true;
      m_fill = 0;
      continue;
    }
    m_fill += n;
    (void)m_parser.feed(m_buf, &m_fill);
    if (m_fill >= HBSOAP_BUFSIZE) {
      brlog("SOAP-A", BRLOG_WARNING, "+++ No Space to put data -- Throwing it away!\n");
      discarding = true;
      m_fill = 0;
    }
  }
  return status;
}

int32_t HBSoap::exchangePacket(const char *method, HBMap *result, int32_t count,
                               const HBRPCArgument *args, const char *const *pairs) {
  char path[256];
  const char *base = m_url->getPath() ? m_url->getPath() : "/";
  const size_t blen = std::strlen(base);
  const bool slash = blen > 0 && base[blen - 1] == '/';
  const size_t mlen = std::strlen(method ? method : "");
  if (blen + (slash ? 0 : 1) + mlen >= 126) {
    brlog("PKT-S", BRLOG_ERROR, "Trying to connect to path: %s too long!\n", base);
    return BR_ENOSPC;
  }
  std::snprintf(path, sizeof path, "%s%s%s", base, slash ? "" : "/", method ? method : "");
  BRHTTPRequest *req = nullptr;
  int32_t rc = BRHTTPConnection__newRequest(m_conn, "POST", path, &req);
  if (rc < 0) {
    brlog("SOAP", BRLOG_WARNING, "Failed to create POST request: %d\n", rc);
    BRHTTPConnection__close(m_conn);
    return rc;
  }
  rc = BRHTTPRequest__addRequestHeader(req, "Content-Type", "application/octet-stream");
  brlog("SOAP", BRLOG_VERBOSE, ">>> PKT-METHOD (%s)\n", method ? method : "(null)");
  HBRef<HBPKTMessage> msg;
  if (rc >= 0) rc = HBPKTMessage::create(nullptr, msg);
  if (rc >= 0) rc = args ? msg->fromArguments(count, args) : msg->fromPairs(pairs);
  if (rc >= 0 && args == nullptr) {
    for (size_t i = 0; pairs && pairs[i]; i += 2) logArgument(pairs[i], pairs[i + 1]);
  }
  if (rc >= 0) {
    (void)msg->dump("PKT-S", BRLOG_INFO);
    const int64_t size = msg->encodedSize();
    if (size <= 0) {
      rc = BRHTTPRequest__addRequestHeader(req, "Content-Length", "0");
      if (rc >= 0) rc = BRHTTPRequest__addRequestHeader(req, nullptr, nullptr);
    } else {
      rc = BRHTTPRequest__addRequestHeader(req, "Transfer-Encoding", "chunked");
      BodyStream body(req);
      if (rc >= 0) rc = body.open();
      if (rc >= 0) {
        const int64_t n = msg->write(body.mem.get());
        rc = n < 0 ? int32_t(n) : 0;
      }
      if (rc >= 0) rc = body.mem->flush();
      if (rc >= 0) rc = BRHTTPRequest__sendRequest(req);
    }
  }
  int32_t status = rc;
  if (rc >= 0) status = BRHTTPRequest__receiveResponseHeader(req, nullptr, 0);
  if (status >= 0) {
    if ((status >= 200 && status <= 299) || (status >= 500 && status <= 599)) {
      HBRef<HBPKTMessage> answer;
      HBBRHTTPReqStrm in(req);
      int64_t n = HBPKTMessage::create(nullptr, answer);
      if (n >= 0) n = answer->read(&in, -1, 0);
      if (n >= 0) {
        (void)answer->dump("PKT-S", BRLOG_VERBOSE);
        n = answer->toMap(result);
      }
      if (n < 0) {
        brlog("PKT-S", BRLOG_ERROR, "Some kind of IO or data format error!\n");
        // An answer that did not arrive whole is a failed exchange, as for SOAP answers; a
        // malformed one is left to its status, with the entries converted before the fault.
        if (n == BR_EINTR)
          status = BR_EINTR;
        else if (n != BR_EINVAL && n != BR_ENOSPC && n != BR_ENOMEM)
          status = BR_EIO;
        else
          drain(req);
      }
    } else {
      drain(req);
    }
  }
  BRHTTPRequest__destroy(req);
  return status;
}
