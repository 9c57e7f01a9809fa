// The RPC transport: SOAP 1.1 envelopes over HTTP POST with a minimal XML reader, and packet
// messages (hbpktmessage.h) for endpoints whose path contains "/pktm/".
//
// HBSoap makes one exchange at a time for one endpoint: connect (through the pool or directly),
// send the method and its arguments, read the answer and turn it into the caller's result map.
// HBCommandParserCore is the XML side: a tokenizer fed in pieces of at most 4096 bytes and the
// rules that make elements texts, nested maps or lists. Log tags "HBSOAP", "SOAP", "SOAP-A",
// "BRCMND", "BRXML", "XML", "PKT-S".
#pragma once

#include <cstddef>
#include <cstdint>

#include "brerror.h"
#include "hbmap.h"
#include "hbobj.h"
#include "hbpktmessage.h"

struct IHBStream;
struct IHBURL;
struct IHBHTTPConnPool;
struct BRHTTPConnection;
struct BRHTTPRequest;

#define HBSOAP_BUFSIZE 4096
#define HBSOAP_MAX_DEPTH 32
// An XML answer is parsed up to this size; the rest is read and thrown away.
#define HBSOAP_MAX_BODY (64 * 1024 * 1024)

// An element whose children are always collected into a list (kind 1). A table ends with a
// null name.
struct HBSoapListType {
  const char *name;
  int32_t kind;
};

// Turns one XML answer into a result map. One document at a time.
class HBCommandParserCore {
 public:
  HBCommandParserCore();
  ~HBCommandParserCore();
  HBCommandParserCore(const HBCommandParserCore &) = delete;
  HBCommandParserCore &operator=(const HBCommandParserCore &) = delete;

  // Prepares for one answer to `method`, filling `map` (the parser takes a reference until
  // endParser). `types` (may be null: the default names "messages" and "features") stays the
  // caller's and must outlive the document. Starting a second document first stops the process.
  void initParser(const char *method, HBMap *map, const HBSoapListType *types);
  // Logs the result and releases the map; a parser without a document does nothing.
  void endParser();
  bool active() const { return m_map != nullptr; }

  // Consumes whole tokens from `buffer`; the bytes consumed are removed from its front and
  // *length becomes the count left (a tag or text cut by the end of the buffer stays). Returns 0,
  // or -16 once the input is not XML (everything after that is dropped).
  int32_t feed(char *buffer, int32_t *length);
  // True once the end tag of the first element was read.
  bool documentEnded() const { return m_ended; }

 private:
  struct Elem;
  struct Attr {
    const char *name;
    int32_t nameLen;
    const char *value;
    int32_t valueLen;
  };
  void startElement(const char *name, int32_t len, const Attr *attrs, int32_t nattrs);
  void endElement(const char *name, int32_t len);
  void characters(char *text, int32_t len);
  int32_t tokenize(char *p, char *end);
  int32_t attachMap(int32_t parent);
  void addValue(int32_t e, const char *text, int32_t len);
  int32_t convertToList(int32_t owner, const char *child, IHBObj *value);
  void placeList(int32_t e);
  bool isListType(const char *name, bool *fromTable) const;
  void reset();

  char m_method[128];
  int32_t m_methodLen = 0;
  HBMap *m_map = nullptr;
  HBStringAllocator *m_alloc = nullptr;
  const HBSoapListType *m_types = nullptr;
  bool m_inResponse = false;
  bool m_inError = false;
  bool m_started = false;  // the first element was seen
  bool m_ended = false;
  bool m_failed = false;
  char m_first[50];
  int32_t m_count = 0;    // elements seen
  int32_t m_depth = 0;    // open elements inside the response, the response itself at 0
  int32_t m_ignored = 0;  // start tags dropped for depth, still open
  Elem *m_stack;
};

// Writes `text` as XML character data (name mode: also blanks become "_"). -1 for a null text.
int32_t hbsoap__xmlEscape(const char *text, IHBStream *stream, bool nameMode);
// Decodes entities of `text` in place; *length is updated and the text stays terminated.
void hbsoap__xmlUnescape(char *text, int32_t *length);

// Writes the SOAP body of a call: typed `args` (count of them) or, when `args` is null, the
// pair list `pairs` (name, value, ..., null name). Borrows the stream; 0 or the first write
// failure.
HB_NODISCARD int32_t hbsoap__writeEnvelope(IHBStream *stream, const char *method, int32_t count,
                                           const HBRPCArgument *args, const char *const *pairs);

class HBSoap final : public HBObject<HBSoap, IHBObj> {
 public:
  // The transport for `url` (a reference is taken) using `pool` (referenced; null: one direct
  // connection kept open between calls). One reference for the caller.
  HB_NODISCARD static int32_t create(IHBURL *url, IHBHTTPConnPool *pool, HBSoap **out);
  HB_NODISCARD static int32_t create(IHBURL *url, IHBHTTPConnPool *pool, HBRef<HBSoap> &out);

  // One call into `result` (referenced for the exchange): the HTTP status of the answer, or a
  // negative code.
  HB_NODISCARD int32_t exchange(const char *method, HBMap *result, int32_t count,
                                const HBRPCArgument *args, const char *const *pairs);
  // The list-type table for the next answers; the caller keeps it alive.
  void setListTypes(const HBSoapListType *types) { m_types = types; }
  // Ends the previous answer's parse (done again by the next exchange).
  void resetParser() { m_parser.endParser(); }
  bool isPacket() const { return m_packet; }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<HBSoap, IHBObj>;
  HBSoap();
  ~HBSoap() override;
  int32_t connect();
  void releaseConnection(bool keep);
  int32_t exchangeSoap(const char *method, HBMap *result, int32_t count, const HBRPCArgument *args,
                       const char *const *pairs);
  int32_t exchangePacket(const char *method, HBMap *result, int32_t count,
                         const HBRPCArgument *args, const char *const *pairs);
  int32_t readSoapAnswer(BRHTTPRequest *req, int32_t status);
  static void drain(BRHTTPRequest *req);

  HBCommandParserCore m_parser;
  IHBURL *m_url = nullptr;
  IHBHTTPConnPool *m_pool = nullptr;
  BRHTTPConnection *m_conn = nullptr;
  const HBSoapListType *m_types = nullptr;
  bool m_packet = false;
  char m_method[128];
  char m_buf[HBSOAP_BUFSIZE];
  int32_t m_fill = 0;
};
