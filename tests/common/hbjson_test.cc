#include "hbjson.h"

#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "brlog.h"
#include "hbstream.h"
#include "logcapture.h"
#include "testutil.h"

namespace {

// ---- helpers ----------------------------------------------------------------------------------

using tessel::test::captureLog;

std::string show(IHBObj *obj);

// A compact rendering of a parsed value: maps in iteration order, lists in order, texts quoted
// as stored (no escaping).
std::string showMap(IHBMap *map) {
  std::string s = "{";
  HBRef<IHBIter> keys;
  EXPECT_EQ(map->iterate(keys.out()), BR_OK);
  hbtype_t kt = HBTYPE_TEXT;
  void *k;
  bool first = true;
  while (keys->next(&kt, &k) == BR_OK) {
    if (!first) s += ",";
    first = false;
    s += "\"" + std::string(static_cast<char *>(k)) + "\":";
    hbtype_t t = HBTYPE_ANY;
    void *v = nullptr;
    if (map->get(static_cast<char *>(k), &t, &v) != BR_OK) return s + "<unreadable>";
    if (t == HBTYPE_TEXT) {
      s += "\"" + std::string(static_cast<char *>(v)) + "\"";
    } else {
      s += show(static_cast<IHBObj *>(v));
      static_cast<IHBObj *>(v)->dnref();
    }
  }
  return s + "}";
}

std::string show(IHBObj *obj) {
  void *p;
  if (obj->getifc(HBCLS_LISTITERATOR, &p) == BR_OK) {
    HBRef<HBListIterator> it = HBRef<HBListIterator>::adopt(static_cast<HBListIterator *>(p));
    std::string s = "[";
    for (brlist_node *n = brlist__first(it->list()); n; n = n->next) {
      if (n != it->list()->first) s += ",";
      s += show(static_cast<IHBObj *>(n->data));
    }
    return s + "]";
  }
  if (obj->getifc(HBIFC_STR, &p) == BR_OK) {
    HBRef<IHBStr> str = HBRef<IHBStr>::adopt(static_cast<IHBStr *>(p));
    return "\"" + std::string(str->getText()) + "\"";
  }
  if (obj->getifc(HBIFC_MAP, &p) == BR_OK) {
    HBRef<IHBMap> m = HBRef<IHBMap>::adopt(static_cast<IHBMap *>(p));
    return showMap(m.get());
  }
  return "<unknown>";
}

struct Outcome {
  int32_t rc;
  std::string value;  // the rendering on success
  bool operator==(const Outcome &o) const { return rc == o.rc && value == o.value; }
};

Outcome parseWhole(const std::string &doc) {
  HBRef<HBMap> m;
  const int32_t rc = hbjson__parseText(m, doc.data(), static_cast<int32_t>(doc.size()));
  if (rc < 0) return {rc, ""};
  EXPECT_EQ(rc, static_cast<int32_t>(doc.size()));
  return {0, showMap(m.get())};
}

// Feeds `doc` in pieces of the given sizes the way a reader with a growing buffer would: each
// call gets the leftover of the previous one followed by the next piece.
Outcome parsePieces(const std::string &doc, const std::vector<size_t> &cuts) {
  HBJSONParser p;
  EXPECT_EQ(p.reset(), BR_OK);
  std::string buf;
  size_t from = 0;
  int32_t rc = BR_OK;
  for (size_t i = 0; i <= cuts.size() && from < doc.size(); ++i) {
    const size_t to = i < cuts.size() ? std::min(cuts[i], doc.size()) : doc.size();
    if (to <= from) continue;
    buf.append(doc, from, to - from);
    from = to;
    int32_t len = static_cast<int32_t>(buf.size());
    rc = p.parse(buf.data(), &len);
    if (rc != BR_OK && rc != BR_EAGAIN) return {rc, ""};
    buf.resize(static_cast<size_t>(len));
  }
  if (rc == BR_OK && !p.finished()) rc = BR_EAGAIN;
  if (rc != BR_OK) return {rc, ""};
  return {0, showMap(p.root())};
}

Outcome parseByteByByte(const std::string &doc) {
  std::vector<size_t> cuts;
  for (size_t i = 1; i < doc.size(); ++i) cuts.push_back(i);
  return parsePieces(doc, cuts);
}

// A stream over a text that hands out pieces of at most `chunk` bytes, and optionally fails
// with `error` once `failAt` bytes were read.
class TextStream final : public HBObject<TextStream, IHBStream> {
 public:
  static HBRef<TextStream> make(std::string data, int32_t chunk = 1 << 30, size_t failAt = ~size_t{0},
                                int32_t error = BR_EIO) {
    auto *s = new TextStream;
    s->m_data = std::move(data);
    s->m_chunk = chunk;
    s->m_failAt = failAt;
    s->m_error = error;
    return HBRef<TextStream>::adopt(s);
  }
  int32_t read(void *buffer, int32_t length) override {
    if (m_pos >= m_failAt) return m_error;
    const size_t n = std::min({static_cast<size_t>(length), static_cast<size_t>(m_chunk),
                               m_data.size() - m_pos, m_failAt - m_pos});
    std::memcpy(buffer, m_data.data() + m_pos, n);
    m_pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t write(const void *, int32_t) override { return BR_ENOTIMPL; }
  int64_t seek(int64_t, int32_t) override { return BR_ENOTIMPL; }
  int32_t close() override { return BR_OK; }
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ || ifc == HBIFC_STREAM) return offer<IHBStream>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<TextStream, IHBStream>;
  TextStream() = default;
  ~TextStream() override = default;
  std::string m_data;
  size_t m_pos = 0;
  int32_t m_chunk = 0;
  size_t m_failAt = 0;
  int32_t m_error = 0;
};

Outcome parseStream(const std::string &doc, int32_t chunk) {
  HBRef<TextStream> s = TextStream::make(doc, chunk);
  HBRef<HBMap> m;
  const int32_t rc = hbjson__parseStream(m, s.get());
  if (rc < 0) {
    EXPECT_FALSE(m);
    return {rc, ""};
  }
  return {rc, showMap(m.get())};
}

// ---- the grammar ------------------------------------------------------------------------------

TEST(HBJSON, ObjectsKeepDocumentOrderAndLastDuplicate) {
  EXPECT_EQ(parseWhole(R"({"b": "1", "a": "2"})").value, R"({"b":"1","a":"2"})");
  EXPECT_EQ(parseWhole(R"({"k":"first","j":"x","k":"second"})").value,
            R"({"j":"x","k":"second"})");
  EXPECT_EQ(parseWhole("{ \"x\" : true , \"y_2\":null, \"z\":'single' }").value,
            R"({"x":"true","y_2":"null","z":"single"})");
}

TEST(HBJSON, ArraysHoldStringObjectsMapsAndLists) {
  HBRef<HBMap> m;
  const char *doc = R"({"v": ["x", {"k": 1}, [], [7, {}]]})";
  ASSERT_GT(hbjson__parseText(m, doc, -1), 0);
  EXPECT_EQ(m->flags(), static_cast<uint32_t>(HBMAP_OWNS_ALLOCATOR | HBMAP_ORDERED));
  EXPECT_EQ(m->name(), nullptr);
  HBRef<IHBIter> it;
  ASSERT_EQ(m->getIter("v", it), BR_OK);
  hbtype_t t = HBIFC_STR;
  HBRef<IHBStr> s;
  ASSERT_EQ(it->next(&t, s.outv()), BR_OK);
  EXPECT_STREQ(s->getText(), "x");
  t = HBCLS_MAP;
  HBRef<HBMap> inner;
  ASSERT_EQ(it->next(&t, inner.outv()), BR_OK);
  EXPECT_STREQ(inner->getString("k"), "1");
  EXPECT_EQ(inner->flags(), static_cast<uint32_t>(HBMAP_ORDERED));  // a child, ordered
  EXPECT_EQ(inner->allocator(), m->allocator());
  t = HBIFC_ITER;
  HBRef<IHBIter> empty;
  ASSERT_EQ(it->next(&t, empty.outv()), BR_OK);
  EXPECT_EQ(empty->next(nullptr, nullptr), BR_ERANGE);
  EXPECT_EQ(show(m->obj()), R"({"v":["x",{"k":"1"},[],["7",{}]]})");
  // Values outlive the root map and the parser.
  m.reset();
  EXPECT_STREQ(inner->getString("k"), "1");
  EXPECT_STREQ(s->getText(), "x");
}

TEST(HBJSON, OnlyTheQuoteEscapeIsDecoded) {
  EXPECT_EQ(parseWhole(R"({"a":"line\nnext","b":"say \"hi\"","c":"\\"})").value,
            R"({"a":"line\nnext","b":"say "hi"","c":"\\"})");
  EXPECT_EQ(parseWhole(R"({"q":'it\'s'})").value, R"({"q":"it's"})");
  EXPECT_EQ(parseWhole("{\"u\":\"caf\xc3\xa9 \\u00e9\"}").value, "{\"u\":\"caf\xc3\xa9 \\u00e9\"}");
}

// What hbjson__appendEscaped writes, the parser and hbjson__decodeEscapes give back exactly,
// whatever the bytes (quotes, backslashes before quotes, control characters, bytes that are not
// UTF-8); and the decoder reads the escapes other writers use.
TEST(HBJSON, EscapedTextsComeBackWhole) {
  std::mt19937 rng(11);
  const char alphabet[] = {'"', '\\', '\'', 'n', 'u', '0', 'a', '/', '\n', '\t', '\x01',
                           '\x7f', '\xc3', '\xa9', '\xff', ' '};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (size_t n = rng() % 12; n > 0; --n) text += alphabet[rng() % sizeof alphabet];
    std::string doc = "{\"k\":\"";
    hbjson__appendEscaped(&doc, text.c_str(), false);
    doc += "\"}";
    HBRef<HBMap> m;
    ASSERT_GE(hbjson__parseText(m, doc.c_str(), -1), 0) << doc;
    std::string back = m->getString("k");
    back.resize(strlen(hbjson__decodeEscapes(back.data())));
    ASSERT_EQ(text, back) << doc;
  }
  std::string replaced;
  hbjson__appendEscaped(&replaced, "a\xff\xc3\xa9\x02", true);
  EXPECT_EQ("a\\ufffd\xc3\xa9\\u0002", replaced);
  char other[] = "\\u00e9 \\ud83d\\ude00 \\ud800x \\/ \\q \\u12";
  EXPECT_STREQ("\xc3\xa9 \xf0\x9f\x98\x80 \xef\xbf\xbdx / \\q \\u12", hbjson__decodeEscapes(other));
}

TEST(HBJSON, Refusals) {
  struct Case {
    const char *doc;
    int32_t rc;
  } cases[] = {
      {"[", BR_EINVAL},
      {"{}", BR_EINVAL},  // the root goes straight to expecting a key
      {R"({"a":-1})", BR_EINVAL},
      {R"({"a":1.5})", BR_EINVAL},
      {R"({"a":1e5})", BR_OK},  // a bare word: "1e5"
      {R"({"a":1,})", BR_EINVAL},
      {R"({"a":[1,]})", BR_EINVAL},
      {R"({"a":[,1]})", BR_EINVAL},
      {R"({"a":{]})", BR_EINVAL},
      {R"({"a":[}})", BR_EINVAL},
      {R"({"a" "b"})", BR_EINVAL},
      {R"({"a"})", BR_EINVAL},  // a key without a value is not dropped silently
      {"{a:1}", BR_EINVAL},      // keys are double-quoted strings
      {"{'a':1}", BR_EINVAL},
      {R"({"a":"b"} {)", BR_EBADSTATE},
      {R"({"a":"b"}x)", BR_EBADSTATE},
      {R"({"a":"b"})", BR_OK},
      {"{\"a\":\"b\"} \t\r\n", BR_OK},
      {R"({"a":"b")", BR_EAGAIN},  // the root object never closes
      {R"({"a":"b)", BR_EAGAIN},
      {R"({"a":tru)", BR_EAGAIN},
      {R"({"a":"b\)", BR_EAGAIN},
      {"", BR_EAGAIN},
      {"   ", BR_EAGAIN},
  };
  for (const Case &c : cases) {
    HBRef<HBMap> m;
    const int32_t rc = hbjson__parseText(m, c.doc, -1);
    EXPECT_EQ(rc < 0 ? rc : 0, c.rc) << c.doc;
    EXPECT_EQ(rc >= 0, static_cast<bool>(m)) << c.doc;
  }
}

TEST(HBJSON, BadCharacterAndDepthLines) {
  std::string log = captureLog([] {
    HBMap *m = nullptr;
    EXPECT_EQ(hbjson__parseText(&m, "[", -1), BR_EINVAL);
    EXPECT_EQ(hbjson__parseText(&m, R"({"ab" : -)", -1), BR_EINVAL);
    EXPECT_EQ(hbjson__parseText(&m, "{\"a\":\"b\"\n\x01", -1), BR_EINVAL);
    EXPECT_EQ(m, nullptr);
  });
  EXPECT_NE(log.find("BAD CHARACTER IN STATE 0 - 'TOP': '[' @ 0"), std::string::npos) << log;
  EXPECT_NE(log.find("BAD CHARACTER IN STATE 0 - 'MAPSEP': '-' @ 8"), std::string::npos) << log;
  EXPECT_NE(log.find("BAD CHARACTER IN STATE 0 - 'MAPSEP': '.' @ 9\n"), std::string::npos) << log;

  // 31 nested arrays below the root fill the 32 frames; one more frame is refused.
  const std::string deepest = "{\"a\":" + std::string(31, '[') + std::string(31, ']') + "}";
  EXPECT_EQ(parseWhole(deepest).rc, BR_OK);
  const std::string tooDeep = "{\"a\":" + std::string(32, '[') + std::string(32, ']') + "}";
  const std::string withText = "{\"a\":" + std::string(31, '[') + "1" + std::string(31, ']') + "}";
  log = captureLog([&] {
    EXPECT_EQ(parseWhole(tooDeep).rc, BR_ENOMEM);
    EXPECT_EQ(parseWhole(withText).rc, BR_ENOMEM);
  });
  EXPECT_NE(log.find("DEPTH EXCEEDED IN STATE 31 - 'ARRAYSEP': '[' @ 36"), std::string::npos)
      << log;
  EXPECT_NE(log.find("DEPTH EXCEEDED IN STATE 31 - 'ARRAYSEP': '1' @ 36"), std::string::npos)
      << log;
}

TEST(HBJSON, IncrementalParseMovesTheUnfinishedString) {
  const std::string doc = R"({"key": "a long value", "n": 42})";
  HBJSONParser p;
  ASSERT_EQ(p.reset(), BR_OK);
  char buf[64];
  std::memcpy(buf, doc.data(), 14);  // ends inside "a long value"
  int32_t len = 14;
  ASSERT_EQ(p.parse(buf, &len), BR_EAGAIN);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(std::string(buf, 5), "a lon");
  EXPECT_EQ(p.state(), HBJSON_QSTRING);
  std::memcpy(buf + len, doc.data() + 14, 16);  // ends inside 42
  len += 16;
  ASSERT_EQ(p.parse(buf, &len), BR_EAGAIN);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "4");
  std::memcpy(buf + len, doc.data() + 30, doc.size() - 30);
  len += static_cast<int32_t>(doc.size() - 30);
  ASSERT_EQ(p.parse(buf, &len), BR_OK);
  EXPECT_EQ(len, 0);
  EXPECT_TRUE(p.finished());
  EXPECT_EQ(showMap(p.root()), parseWhole(doc).value);

  // A failure leaves the unconsumed bytes, from the bad one on, at the front.
  ASSERT_EQ(p.reset(), BR_OK);
  char bad[] = R"({"a":"b",])";
  len = static_cast<int32_t>(std::strlen(bad));
  EXPECT_EQ(p.parse(bad, &len), BR_EINVAL);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(bad[0], ']');
}

TEST(HBJSON, StreamBufferLimitAndReadErrors) {
  const std::string doc = R"({"a": ")" + std::string(5000, 'x') + R"("})";
  std::string log = captureLog([&] { EXPECT_EQ(parseStream(doc, 4096).rc, BR_ENOSPC); });
  EXPECT_NE(log.find("NOT ENOUGH BUFFER ROOM TO PARSE: 4096"), std::string::npos) << log;
  // A word of 4095 bytes still fits beside nothing else; one of 4096 does not.
  const std::string fitsWord = "{\"a\": " + std::string(4095, '9') + "}";
  EXPECT_EQ(parseStream(fitsWord, 100).rc, BR_OK);
  const std::string word = "{\"a\": " + std::string(4096, '9') + "}";
  EXPECT_EQ(parseStream(word, 100).rc, BR_ENOSPC);
  const std::string fits = R"({"a": ")" + std::string(4000, 'x') + R"(", "b": "y"})";
  for (int32_t chunk : {1, 7, 4096}) {
    const Outcome o = parseStream(fits, chunk);
    EXPECT_EQ(o.rc, BR_OK) << chunk;
    EXPECT_EQ(o, parseWhole(fits)) << chunk;
  }

  HBRef<HBMap> m;
  HBRef<TextStream> failing = TextStream::make(R"({"a": "b", "c": "d"})", 5, 10, BR_ECONNRESET);
  EXPECT_EQ(hbjson__parseStream(m, failing.get()), BR_ECONNRESET);
  EXPECT_FALSE(m);
  HBRef<TextStream> stalls = TextStream::make("{}", 5, 0, BR_ETIMEDOUT);
  EXPECT_EQ(hbjson__parseStream(m, stalls.get()), BR_ETIMEDOUT);
  EXPECT_EQ(parseStream(R"({"a": "b)", 3).rc, BR_EAGAIN);
  EXPECT_EQ(parseStream(R"({"a": "b")", 3).rc, BR_EAGAIN);
  EXPECT_EQ(parseStream("", 3).rc, BR_EAGAIN);
}

// ---- the outside suite ------------------------------------------------------------------------

std::vector<std::string> suiteFiles() {
  std::vector<std::string> names;
  const std::string dir = TESSEL_TESTDATA_DIR "/json-suite";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      const std::string n = e->d_name;
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0) names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readSuite(const std::string &name) {
  std::string data;
  EXPECT_TRUE(tessel::test::readFile(TESSEL_TESTDATA_DIR "/json-suite/" + name, &data)) << name;
  return data;
}

// The valid documents inside this parser's subset (an object root, unsigned integers, no
// escapes but \"), rendered as they must come out. Every other y_ file is outside the subset.
const std::map<std::string, std::string> &acceptedValid() {
  static const std::map<std::string, std::string> m = {
      {"y_object.json", R"({"asd":"sdf","dfg":"fgh"})"},
      {"y_object_basic.json", R"({"asd":"sdf"})"},
      {"y_object_duplicated_key.json", R"({"a":"c"})"},
      {"y_object_duplicated_key_and_value.json", R"({"a":"b"})"},
      {"y_object_empty_key.json", R"({"":"0"})"},
      {"y_object_escaped_null_in_key.json", R"({"foo\u0000bar":"42"})"},
      {"y_object_long_strings.json",
       R"({"x":[{"id":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}],"id":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"})"},
      {"y_object_simple.json", R"({"a":[]})"},
      {"y_object_string_unicode.json",
       R"({"title":"\u041f\u043e\u043b\u0442\u043e\u0440\u0430 \u0417\u0435\u043c\u043b\u0435\u043a\u043e\u043f\u0430"})"},
      {"y_object_with_newlines.json", R"({"a":"b"})"},
  };
  return m;
}

TEST(HBJSONSuite, WholeDocuments) {
  const std::vector<std::string> files = suiteFiles();
  ASSERT_GT(files.size(), 300u);
  size_t refused = 0, accepted = 0;
  for (const std::string &name : files) {
    const Outcome o = parseWhole(readSuite(name));
    if (name[0] == 'n') {
      EXPECT_LT(o.rc, 0) << name << " accepted as " << o.value;
      ++refused;
    } else if (name[0] == 'y') {
      auto it = acceptedValid().find(name);
      if (it == acceptedValid().end()) {
        EXPECT_LT(o.rc, 0) << name << " is outside the subset but gave " << o.value;
      } else {
        EXPECT_EQ(o.rc, BR_OK) << name;
        EXPECT_EQ(o.value, it->second) << name;
        ++accepted;
      }
    }
  }
  EXPECT_EQ(refused, 188u);
  EXPECT_EQ(accepted, acceptedValid().size());
}

TEST(HBJSONSuite, PiecesGiveTheSameResult) {
  std::mt19937 rng(4242);
  for (const std::string &name : suiteFiles()) {
    const std::string doc = readSuite(name);
    const Outcome whole = parseWhole(doc);
    if (doc.size() <= 4096) {
      EXPECT_EQ(parseByteByByte(doc), whole) << name << " byte by byte";
    }
    for (int round = 0; round < 4; ++round) {
      std::vector<size_t> cuts;
      const size_t pieces = 1 + rng() % 8;
      for (size_t i = 0; i < pieces && !doc.empty(); ++i) cuts.push_back(rng() % doc.size());
      std::sort(cuts.begin(), cuts.end());
      EXPECT_EQ(parsePieces(doc, cuts), whole) << name << " split, round " << round;
    }
    const Outcome streamed = parseStream(doc, static_cast<int32_t>(1 + rng() % 97));
    EXPECT_EQ(streamed, whole) << name << " streamed";
  }
}

}  // namespace
