// HBJSONParser: JSON text into the core's value tree.
//
// The result is an HBMap (no name, its own 1024/1024 allocator, insertion order) whose values
// are texts, child maps (hbtype 0x10000001) and list iterators (0x10000002) of objects: string
// objects for texts, child maps and iterators for the rest. Every scalar is kept as text; only
// the backslash-quote escape is decoded; the document must be one object whose keys are
// double-quoted (values may also use single quotes or be bare words). The parser is
// incremental: a piece that ends inside a string or bare word returns -2 and keeps those bytes
// at the front of the caller's buffer for the next call.
#pragma once

#include <cstdint>
#include <string>

#include "brerror.h"
#include "hbmap.h"
#include "hbobj.h"

struct IHBStream;

enum HBJSONState : int32_t {
  HBJSON_TOP = 0,
  HBJSON_MAPSTART = 1,
  HBJSON_MAPKEY = 2,
  HBJSON_MAPKEYSEP = 3,
  HBJSON_MAPVAL = 4,
  HBJSON_MAPSEP = 5,
  HBJSON_ARRAYSTART = 6,
  HBJSON_ARRAYVAL = 7,
  HBJSON_ARRAYSEP = 8,
  HBJSON_TOKEN = 9,
  HBJSON_QSTRING = 10,
  HBJSON_FINISHED = 11,
};

// The logged name of a state ("TOP" ... "FINISHED", "UNKNOWN" for others).
const char *hbjson__stateName(int32_t state);

class HBJSONParser {
 public:
  static constexpr int kStackSize = 32;

  HBJSONParser() = default;
  ~HBJSONParser();
  HBJSONParser(const HBJSONParser &) = delete;
  HBJSONParser &operator=(const HBJSONParser &) = delete;

  // Drops the current root map, clears the stack and makes a new root map. -19 on OOM.
  HB_NODISCARD int32_t reset();
  // Consumes up to *length bytes of `buffer`. 0: all consumed; -2: the bytes end inside a
  // string or word; -6: bad character; -19: deeper than 32 frames (or memory short); -5: more
  // than white space after the root object. On every return *length is the count of bytes not
  // consumed, and those bytes are moved to the start of `buffer`.
  HB_NODISCARD int32_t parse(char *buffer, int32_t *length);
  // Closes the top frame and hands its value to the frame below.
  HB_NODISCARD int32_t popState();

  // The root map built so far (borrowed; null before reset).
  HBMap *root() const { return m_root; }
  // True once the root object is closed.
  bool finished() const { return m_top == 0 && m_stack[0].state == HBJSON_FINISHED; }
  int32_t depth() const { return m_top; }
  int32_t state() const { return m_stack[m_top].state; }

 private:
  struct Frame {
    int32_t state;
    const char *key;  // pending key, in the root map's allocator
    hbtype_t hbtype;
    void *value;      // text in the allocator, or one reference on an object
    HBMap *map;       // the frame's object, when it builds one (also in value)
    HBListIterator *list;  // the frame's array, when it builds one (also in value)
  };

  void clearFrame(Frame &f);
  void clearStack();
  HB_NODISCARD int32_t push(int32_t state, char c, int32_t offset);
  HB_NODISCARD int32_t fail(int32_t rc, const char *what, char c, int32_t offset);

  HBMap *m_root = nullptr;
  Frame m_stack[kStackSize] = {};
  int32_t m_top = 0;
  char m_quote = '"';
};

// Parses `length` bytes of `text` (negative: up to the terminator). On 0 stores the root map in
// *out with one reference for the caller and returns the number of bytes consumed; otherwise
// returns the parser's code and leaves *out alone. A root object that is never closed gives -2.
HB_NODISCARD int32_t hbjson__parseText(HBMap **out, const char *text, int32_t length);
HB_NODISCARD int32_t hbjson__parseText(HBRef<HBMap> &out, const char *text, int32_t length);

// Parses everything `stream` (borrowed) yields, through a 4096-byte buffer. On success stores
// the root map in *out with one reference for the caller and returns 0. A string or word longer
// than the buffer gives -12; a read error gives the stream's code; a document that ends inside a
// string or word, or before its root object is closed, gives -2.
HB_NODISCARD int32_t hbjson__parseStream(HBMap **out, IHBStream *stream);
HB_NODISCARD int32_t hbjson__parseStream(HBRef<HBMap> &out, IHBStream *stream);

// Appends `text` to *out as the inside of a JSON string: quote and backslash escaped, control
// characters as \n, \t ... or \u00XX. With `replaceInvalid` bytes that are not UTF-8 become
// \ufffd; without it they are kept as they are, so paths with any bytes come back whole.
void hbjson__appendEscaped(std::string *out, const char *text, bool replaceInvalid);
// Decodes in place the escapes that the parser leaves in a quoted string (it reduces only the
// backslash-quote pairs): \\ \/ \b \f \n \r \t and \uXXXX (surrogate pairs joined; a lone
// surrogate gives U+FFFD); any other backslash pair stays as it is. Together with the parser this
// gives back exactly what hbjson__appendEscaped wrote. Returns `text`.
char *hbjson__decodeEscapes(char *text);
// Appends `text` in double quotes, escaped as hbjson__appendEscaped does.
void hbjson__appendQuoted(std::string *out, const char *text, bool replaceInvalid);
// The text under `key` of a parsed object with its escapes decoded; false when there is none
// (or the value is not a text).
bool hbjson__getText(IHBMap *map, const char *key, std::string *out);
