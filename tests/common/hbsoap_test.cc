// The SOAP request bytes, escaping and entity decoding, and the XML answer rules.
#include "hbsoap.h"

#include <gtest/gtest.h>

#include <string>

#include "hbmap.h"
#include "hbstr.h"
#include "hbstream.h"

namespace {

std::string memText(IHBMemStream *mem) {
  void *buf = nullptr;
  int32_t len = 0;
  (void)mem->getBuffer(&buf, &len);
  return std::string(static_cast<const char *>(buf), size_t(len));
}

// Renders a value tree: maps as {k:v,...}, iterators as name[...], texts quoted.
std::string render(hbtype_t type, void *value);
std::string render(IHBObj *obj) {
  HBRef<IHBMap> map;
  HBRef<HBListIterator> list;
  HBRef<IHBIter> iter;
  HBRef<IHBStr> str;
  if (hb_query(obj, map) == 0) {
    HBRef<IHBIter> keys;
    if (map->iterate(keys.out()) < 0) return "{?}";
    std::string out = "{";
    for (bool first = true;; first = false) {
      hbtype_t kt = HBTYPE_TEXT;
      void *key = nullptr;
      if (keys->next(&kt, &key) < 0) break;
      if (!first) out += ",";
      hbtype_t vt = HBTYPE_ANY;
      void *v = nullptr;
      if (map->get(static_cast<const char *>(key), &vt, &v) < 0) continue;
      out += static_cast<const char *>(key);
      out += ":" + render(vt, v);
      if (!hbtype__isRaw(vt) && v) static_cast<IHBObj *>(v)->dnref();
    }
    return out + "}";
  }
  if (hb_query(obj, iter) == 0) {
    std::string out;
    HBRef<IHBNamedArgument> named;
    if (hb_query(obj, named) == 0 && named->getName()) out = named->getName();
    out += "[";
    for (bool first = true;; first = false) {
      hbtype_t t = HBTYPE_ANY;
      void *v = nullptr;
      if (iter->next(&t, &v) < 0) break;
      if (!first) out += ",";
      out += render(t, v);
      if (!hbtype__isRaw(t) && v) static_cast<IHBObj *>(v)->dnref();
    }
    return out + "]";
  }
  if (hb_query(obj, str) == 0) return "'" + std::string(str->getText() ? str->getText() : "") + "'";
  return "?";
}
std::string render(hbtype_t type, void *value) {
  if (type == HBTYPE_TEXT) return "'" + std::string(static_cast<const char *>(value)) + "'";
  if (hbtype__isRaw(type) || !value) return "null";
  return render(static_cast<IHBObj *>(value));
}

// Feeds `xml` the way the transport does: pieces of `piece` bytes into a 4096-byte buffer.
// Returns the rendered result map; *full is set when a piece could not be placed.
std::string parse(const char *method, const std::string &xml, const HBSoapListType *types = nullptr,
                  size_t piece = 4096, bool *full = nullptr) {
  HBRef<HBMap> map;
  EXPECT_EQ(0, HBMap::create(nullptr, 4096, 4096, map));
  map->setFlags(HBMAP_ORDERED);
  HBCommandParserCore parser;
  parser.initParser(method, map.get(), types);
  char buf[HBSOAP_BUFSIZE];
  int32_t fill = 0;
  size_t pos = 0;
  while (pos < xml.size()) {
    size_t n = std::min(piece, xml.size() - pos);
    n = std::min(n, size_t(HBSOAP_BUFSIZE - fill));
    memcpy(buf + fill, xml.data() + pos, n);
    pos += n;
    fill += int32_t(n);
    (void)parser.feed(buf, &fill);
    if (fill >= HBSOAP_BUFSIZE) {
      if (full) *full = true;
      break;
    }
  }
  parser.endParser();
  return render(map.get());
}

std::string envelope(const std::string &body) {
  return "<?xml version=\"1.0\"?>\n<soapenv:Envelope xmlns:soapenv=\"x\"><soapenv:Body>" + body +
         "</soapenv:Body></soapenv:Envelope>";
}

TEST(HBSoapRequest, EnvelopeBytesWithPairsAndTypedArguments) {
  HBRef<IHBMemStream> mem;
  ASSERT_EQ(0, hbstream__newMem(mem.out(), 256));
  const char *pairs[] = {"valtoken", "t<1>", "password", "s&cret", "empty", nullptr, nullptr};
  ASSERT_EQ(0, hbsoap__writeEnvelope(mem.get(), "getUser", 0, nullptr, pairs));
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope "
      "xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body><getUser "
      "soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
      "<valtoken xsi:type=\"xsd:string\">t&lt;1&gt;</valtoken>"
      "<password xsi:type=\"xsd:string\">s&amp;cret</password>"
      "<empty xsi:type=\"xsd:string\"></empty>"
      "</getUser></soapenv:Body></soapenv:Envelope>",
      memText(mem.get()));

  // Typed: a text, a map with a nested map, an iterator of texts, an unsupported type.
  HBRef<HBMap> map, child;
  ASSERT_EQ(0, HBMap::create(nullptr, 1024, 1024, map));
  map->setFlags(HBMAP_ORDERED);
  ASSERT_EQ(0, map->putString("a", "1"));
  ASSERT_EQ(0, map->newChild("sub", child));
  ASSERT_EQ(0, child->putString("b", "x y"));
  ASSERT_EQ(0, map->putObject("sub", HBIFC_MAP, child->obj()));
  HBRef<HBListIterator> list;
  ASSERT_EQ(0, HBListIterator::create(nullptr, HBIFC_OBJ, 0, "tag", list));
  HBRef<HBStrHeap> s1, s2;
  ASSERT_EQ(0, HBStrHeap::create("one", s1));
  ASSERT_EQ(0, HBStrHeap::create("t\tw", s2));
  ASSERT_EQ(0, list->appendObject(s1->obj()));
  ASSERT_EQ(0, list->appendObject(s2->obj()));
  HBRPCArgument args[] = {{"name", "v", HBTYPE_TEXT},
                          {"props", static_cast<IHBMap *>(map.get()), HBIFC_MAP},
                          {"tags", static_cast<IHBIter *>(list.get()), HBIFC_ITER},
                          {"odd", nullptr, HBTYPE_PTR}};
  HBRef<IHBMemStream> mem2;
  ASSERT_EQ(0, hbstream__newMem(mem2.out(), 256));
  ASSERT_EQ(0, hbsoap__writeEnvelope(mem2.get(), nullptr, 4, args, nullptr));
  const std::string body = memText(mem2.get());
  EXPECT_NE(std::string::npos,
            body.find("<(null) soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
                      "<name xsi:type=\"xsd:string\">v</name>"
                      "<props><a>1</a><sub><b>x y</b></sub></props>"
                      "<tags><tags>one</tags><tags>t_w</tags></tags>"
                      "<odd></odd></(null)></soapenv:Body>"))
      << body;
}

TEST(HBSoapRequest, EscapeAndUnescape) {
  auto esc = [](const char *text, bool nameMode) {
    HBRef<IHBMemStream> mem;
    EXPECT_EQ(0, hbstream__newMem(mem.out(), 16));
    EXPECT_EQ(0, hbsoap__xmlEscape(text, mem.get(), nameMode));
    return memText(mem.get());
  };
  EXPECT_EQ("a_b", esc("a\tb", false));
  EXPECT_EQ("two_words", esc("two words", true));
  EXPECT_EQ("two words", esc("two words", false));
  EXPECT_EQ("&amp;&lt;&gt;&#x27;&quot;\n\r\xC3\xA9", esc("&<>'\"\n\r\xC3\xA9", false));
  EXPECT_EQ(std::string(5000, 'x'), esc(std::string(5000, 'x').c_str(), false));
  HBRef<IHBMemStream> mem;
  ASSERT_EQ(0, hbstream__newMem(mem.out(), 16));
  EXPECT_EQ(-1, hbsoap__xmlEscape(nullptr, mem.get(), false));

  auto unesc = [](std::string s) {
    std::vector<char> buf(s.begin(), s.end());
    buf.push_back(0);
    int32_t len = int32_t(s.size());
    hbsoap__xmlUnescape(buf.data(), &len);
    EXPECT_EQ(strlen(buf.data()), size_t(len));
    return std::string(buf.data(), size_t(len));
  };
  EXPECT_EQ("<a> & \"b\" 'c'", unesc("&lt;a&gt; &amp; &quot;b&quot; &apos;c&apos;"));
  EXPECT_EQ("\xC3\xA9\xC3\xA9", unesc("&#233;&#xE9;"));
  EXPECT_EQ("\xF0\x9F\x98\x80", unesc("&#x1F600;"));
  EXPECT_EQ("ab", unesc("a&bogus;b"));
  EXPECT_EQ("ab", unesc("a&#0;b"));      // NUL would cut the text
  EXPECT_EQ("ab", unesc("a&#xD800;b"));  // a lone surrogate is no character
  EXPECT_EQ("ab", unesc("a&#99999999999;b"));
  EXPECT_EQ("a &amp b", unesc("a &amp b"));  // unfinished: left as it is
  EXPECT_EQ("a&", unesc("a&"));
  EXPECT_EQ("x&aaaaaaaaaaaaaaaaaaaaaa;", unesc("x&aaaaaaaaaaaaaaaaaaaaaa;"));
}

TEST(HBSoapParser, ResponseElementNames) {
  for (const char *name : {"m", "mResponse", "mresult", "mRESPONSE"}) {
    const std::string xml =
        envelope(std::string("<") + name + "><v xsi:type=\"xsd:string\">1</v></" + name + ">");
    EXPECT_EQ("{v:'1'}", parse("m", xml)) << name;
  }
  EXPECT_EQ("{}", parse("m", envelope("<mReply><v>1</v></mReply>")));
  EXPECT_EQ("{}", parse("m", envelope("<other><v>1</v></other>")));
  EXPECT_EQ("{errorCode:'808',errorDescription:'Exists',errorContext:''}",
            parse("m", envelope("<VXError><errorCode>808</errorCode><errorDescription>Exists"
                                "</errorDescription><errorContext/></VXError>")));
}

TEST(HBSoapParser, MapsListsAndTexts) {
  // Nested maps, a repeated wrapper's children, and a single child.
  EXPECT_EQ("{user:{id:'1',name:'al'},count:'3'}",
            parse("m", envelope("<mResponse><user>\n  <id>1</id>\n  <name>al</name>\n</user>"
                                "<count>3</count></mResponse>")));
  EXPECT_EQ("{items:item['a','b']}",
            parse("m", envelope("<mResponse><items><item>a</item><item>b</item></items>"
                                "</mResponse>")));
  EXPECT_EQ("{items:item[{x:'1'},{x:'2'},{x:'3'}]}",
            parse("m", envelope("<mResponse><items><item><x>1</x></item><item><x>2</x></item>"
                                "<item><x>3</x></item></items></mResponse>")));
  EXPECT_EQ("{items:{item:'a'}}",
            parse("m", envelope("<mResponse><items><item>a</item></items></mResponse>")));
  EXPECT_EQ("{messages:message['hi']}",
            parse("m", envelope("<mResponse><messages><message>hi</message></messages>"
                                "</mResponse>")));
  static const HBSoapListType kFiles[] = {{"files", 1}, {nullptr, 0}};
  EXPECT_EQ("{files:file[{id:'1'}]}",
            parse("m", envelope("<mResponse><files><file><id>1</id></file></files></mResponse>"),
                  kFiles));
  // A table replaces the default names.
  EXPECT_EQ("{messages:{message:'hi'}}",
            parse("m",
                  envelope("<mResponse><messages><message>hi</message></messages>"
                           "</mResponse>"),
                  kFiles));
  // Blanks: trimmed, unless typed as a string; entities decoded; empty elements.
  EXPECT_EQ("{a:'a b',b:'  a b  ',c:'<&>\xC3\xA9',d:'',e:''}",
            parse("m", envelope("<mResponse><a>  a b  </a><b xsi:type=\"xsd:string\">  a b  </b>"
                                "<c>&lt;&amp;&gt;&#233;</c><d></d><e/></mResponse>")));
  // Text beside child elements is one more value of the element, so its container becomes a
  // list; at the top level, where no list can be made, the children are kept.
  EXPECT_EQ("{x:a[{b:'1'},'hello']}",
            parse("m", envelope("<mResponse><x><a><b>1</b> hello </a></x></mResponse>")));
  EXPECT_EQ("{a:{b:'1'}}", parse("m", envelope("<mResponse><a><b>1</b>hello</a></mResponse>")));
  // Attributes with ">" inside quotes, single quotes and bare values.
  EXPECT_EQ("{a:'1'}", parse("m", envelope("<mResponse x='a>b' y=\"c>\" z=1 w><a q=\">\">1</a>"
                                           "</mResponse>")));
}

TEST(HBSoapParser, PiecesGiveTheSameMap) {
  const std::string xml = envelope(
      "<mResponse><services><service><id>1</id><name>a &amp; b</name></service>"
      "<service><id>2</id><name>c</name></service></services><count>2</count></mResponse>");
  const std::string whole = parse("m", xml);
  EXPECT_EQ("{services:service[{id:'1',name:'a & b'},{id:'2',name:'c'}],count:'2'}", whole);
  for (size_t piece : {1, 2, 3, 7, 64}) EXPECT_EQ(whole, parse("m", xml, nullptr, piece)) << piece;
}

// An element named like its parent: converting the inner one's list must leave the outer
// element's entry alone, so one list never sits under two iterators.
TEST(HBSoapParser, ListStaysWithTheEntryThatWasConverted) {
  EXPECT_EQ("{a:{a:x['1','2']}}",
            parse("m", envelope("<mResponse><a><a><x>1</x><x>2</x></a></a></mResponse>")));
  EXPECT_EQ("{a:{b:{a:x['1','2']}}}",
            parse("m", envelope("<mResponse><a><b><a><x>1</x><x>2</x></a></b></a></mResponse>")));
  // Lists inside lists: an item whose children repeat becomes an iterator in the outer list.
  EXPECT_EQ("{messages:m[v['1','2'],{v:'3'}]}",
            parse("m", envelope("<mResponse><messages><m><v>1</v><v>2</v></m><m><v>3</v></m>"
                                "</messages></mResponse>")));
}

TEST(HBSoapParser, BadInputIsRefused) {
  // Not XML at all: nothing stored.
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create(nullptr, 4096, 4096, map));
  HBCommandParserCore parser;
  parser.initParser("m", map.get(), nullptr);
  char text[] = "HTTP/1.1 garbage <mResponse><a>1</a></mResponse>";
  int32_t len = int32_t(strlen(text));
  EXPECT_EQ(BR_EUNSUPPORTED, parser.feed(text, &len));
  EXPECT_EQ(0, len);
  parser.endParser();
  EXPECT_EQ(0, map->count());

  // Truncated, unbalanced and mismatched documents keep what was complete.
  EXPECT_EQ("{a:'1'}", parse("m", "<mResponse><a>1</a><b>2"));
  EXPECT_EQ("{a:'1',c:'3'}", parse("m", "<mResponse><a>1</a></b><c>3</c></mResponse>"));
  EXPECT_EQ("{a:{b:'1'}}", parse("m", "<mResponse><a><b>1</a></b></a></mResponse>"));
  // After the first element ends, the rest is not read.
  EXPECT_EQ("{a:'1'}", parse("m", "<mResponse><a>1</a></mResponse><mResponse><z>2</z>"));

  // Deeper than 32: the extra levels are dropped, nothing breaks.
  std::string deep = "<mResponse>";
  for (int i = 0; i < 40; ++i) deep += "<d>";
  deep += "x";
  for (int i = 0; i < 40; ++i) deep += "</d>";
  deep += "<after>1</after></mResponse>";
  const std::string r = parse("m", deep);
  EXPECT_NE(std::string::npos, r.find("'x'")) << r;

  // A text longer than the buffer cannot be placed; what came before it stays.
  bool full = false;
  EXPECT_EQ("{a:'1'}",
            parse("m", "<mResponse><a>1</a><b>" + std::string(10000, 'y') + "</b></mResponse>",
                  nullptr, 4096, &full));
  EXPECT_TRUE(full);
  // A tag longer than the buffer, likewise.
  full = false;
  (void)parse("m", "<mResponse><a " + std::string(5000, 'q') + ">", nullptr, 512, &full);
  EXPECT_TRUE(full);
}

}  // namespace

namespace {

// A record with a text, an empty text, a raw number and a map property.
class Record final : public HBObject<Record, IHBRPCSerializable> {
 public:
  static HBRef<Record> make() {
    HBRef<Record> r = HBRef<Record>::adopt(new Record);
    EXPECT_EQ(0, HBMap::create(nullptr, 256, 256, r->m_meta));
    EXPECT_EQ(0, r->m_meta->putString("k", "v"));
    return r;
  }
  const char *getTypeName() override { return "file"; }
  const HBRPCPropertyEntry *getPropertyTable() override {
    static const HBRPCPropertyEntry kTable[] = {{"name", HBTYPE_TEXT},
                                                {"empty", HBTYPE_TEXT},
                                                {"flag", HBTYPE_INT},
                                                {"meta", HBIFC_MAP},
                                                {nullptr, 0}};
    return kTable;
  }
  int32_t getPropertyObject(int32_t index, hbtype_t *hbtype, void **out) override {
    if (index != 3) return BR_EINVAL;
    *hbtype = HBIFC_MAP;
    m_meta->upref();
    *out = static_cast<IHBMap *>(m_meta.get());
    return 0;
  }
  int32_t getPropertyText(int32_t index, char *buffer, int32_t size) override {
    const char *text = index == 0 ? "a&b" : "";
    snprintf(buffer, size_t(size), "%s", text);
    return int32_t(strlen(text));
  }
  int32_t getifc(int32_t ifc, void **out) override {
    if (ifc == HBIFC_OBJ) return offer<IHBObj>(out);
    if (ifc == HBIFC_RPCSERIALIZABLE) return offer<IHBRPCSerializable>(out);
    return BR_ENOENT;
  }

 private:
  friend class HBObject<Record, IHBRPCSerializable>;
  Record() = default;
  ~Record() override = default;
  HBRef<HBMap> m_meta;
};

TEST(HBSoapRequest, SerializableRecordsInBothForms) {
  HBRef<Record> rec = Record::make();
  auto listOf = [&]() {
    HBRef<HBListIterator> list;
    EXPECT_EQ(0, HBListIterator::create(nullptr, HBIFC_OBJ, 0, "files", list));
    EXPECT_EQ(0, list->appendObject(static_cast<IHBRPCSerializable *>(rec.get())));
    return list;
  };
  HBRef<HBListIterator> list = listOf();
  HBRPCArgument arg = {"files", static_cast<IHBIter *>(list.get()), HBIFC_ITER};
  HBRef<IHBMemStream> mem;
  ASSERT_EQ(0, hbstream__newMem(mem.out(), 256));
  ASSERT_EQ(0, hbsoap__writeEnvelope(mem.get(), "m", 1, &arg, nullptr));
  EXPECT_NE(
      std::string::npos,
      memText(mem.get()).find("<files><files><name xsi:type=\"xsd:string\">a&amp;b</name><empty "
                              "xsi:type=\"xsd:string\"></empty><flag>___UNSUPPORTED_TYPE___</flag>"
                              "<meta><k>v</k></meta></files></files>"))
      << memText(mem.get());

  HBRef<HBListIterator> list2 = listOf();
  HBRPCArgument arg2 = {"files", static_cast<IHBIter *>(list2.get()), HBIFC_ITER};
  HBRef<HBPKTMessage> msg;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, msg));
  ASSERT_EQ(0, msg->fromArguments(1, &arg2));
  // Back through the reader and the map conversion: files -> [ {name, flag, meta{k}} ].
  HBRef<IHBMemStream> wire;
  ASSERT_EQ(0, hbstream__newMem(wire.out(), 256));
  ASSERT_GT(msg->write(wire.get()), 0);
  void *buf = nullptr;
  int32_t len = 0;
  (void)wire->getBuffer(&buf, &len);
  HBRef<HBPKTMessage> back;
  ASSERT_EQ(0, HBPKTMessage::create(nullptr, back));
  ASSERT_EQ(len, back->readBytes(buf, len));
  HBRef<HBMap> map;
  ASSERT_EQ(0, HBMap::create(nullptr, 1024, 1024, map));
  map->setFlags(HBMAP_ORDERED);
  ASSERT_EQ(0, back->toMap(map.get()));
  EXPECT_EQ("{files:[{name:'a&b',flag:'___UNSUPPORTED_TYPE___',meta:{k:'v'}}]}", render(map.get()));
}

}  // namespace
