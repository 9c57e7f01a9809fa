// The service's own codecs: packet messages, SOAP and JSON forms, query texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "svcguard.h"
#include "svchttp.h"
#include "svcpkt.h"
#include "svcvalue.h"

namespace tessel::svc {
namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

bool parse(const std::string &s, PktMessage *m, std::string *err = nullptr) {
  std::string e;
  return svcpkt__parse(reinterpret_cast<const uint8_t *>(s.data()), s.size(), m, err ? err : &e);
}

TEST(SvcPkt, WireFormOfNumbersAndPairs) {
  PktMessage m;
  m.addSint(1, -1);
  m.addSint(1, 1);
  m.addUint(2, 300);
  EXPECT_EQ(svcpkt__encode(m), bytes({0x09, 0x01, 0x09, 0x02, 0x10, 0xAC, 0x02}));
  PktMessage back;
  ASSERT_TRUE(parse(svcpkt__encode(m), &back));
  ASSERT_EQ(back.records.size(), 3u);
  EXPECT_EQ(static_cast<int64_t>(back.records[0].num), -1);
  EXPECT_EQ(back.records[1].num, 1u);
  EXPECT_EQ(back.records[2].num, 300u);

  // What the program sends for valtoken=t, deviceid=d.
  std::string req = bytes({0x04, 3}) + "map" + bytes({0x0C, 8}) + "valtoken" + bytes({0x14, 1}) +
                    "t" + bytes({0x1C, 8}) + "deviceid" + bytes({0x24, 1}) + "d";
  ASSERT_TRUE(parse(req, &back));
  SvcArgs args;
  std::string err;
  ASSERT_TRUE(svcpkt__toArgs(back, &args, &err)) << err;
  ASSERT_EQ(args.size(), 2u);
  EXPECT_EQ(args[0], (std::pair<std::string, std::string>("valtoken", "t")));
  EXPECT_EQ(args[1], (std::pair<std::string, std::string>("deviceid", "d")));
}

TEST(SvcPkt, AnswersRoundTripWithNestedMapsAndLists) {
  SvcValue v = SvcValue::map();
  for (int i = 0; i < 20; i++) v.set("k" + std::to_string(i), "v" + std::to_string(i));
  SvcValue list = SvcValue::list("service");
  SvcValue item = SvcValue::map();
  item.set("name", "");
  list.push(item);
  v.set("services", list);
  PktMessage back;
  ASSERT_TRUE(parse(svcpkt__encode(svcpkt__fromValue(v)), &back));
  EXPECT_EQ(back.first(0)->str, "map");
  // Entry 20 (the list) sits in fields 41/42: beyond the first 32 field numbers.
  ASSERT_NE(back.first(41), nullptr);
  EXPECT_EQ(back.first(41)->str, "services");
  const PktRecord *iter = back.first(42);
  ASSERT_TRUE(iter && iter->type == kPktMsg);
  EXPECT_EQ(iter->msg->first(0)->str, "iter");
  const PktRecord *first = iter->msg->first(1);
  ASSERT_TRUE(first && first->type == kPktMsg);
  EXPECT_EQ(first->msg->first(0)->str, "map");
  EXPECT_EQ(first->msg->first(1)->str, "name");
  EXPECT_EQ(first->msg->first(2)->str, "");
  SvcArgs args;
  std::string err;
  ASSERT_TRUE(svcpkt__toArgs(back, &args, &err));
  EXPECT_EQ(args.size(), 20u);  // the nested list is not a text argument
}

TEST(SvcPkt, RefusesMalformedMessages) {
  PktMessage m;
  EXPECT_FALSE(parse(bytes({0x0C, 5}) + "ab", &m));           // length beyond the end
  EXPECT_FALSE(parse(bytes({0x0E}), &m));                     // type 6
  EXPECT_FALSE(parse(bytes({0x0F, 1}), &m));                  // type 7
  EXPECT_FALSE(parse(bytes({0x0A, 1, 2, 3}), &m));            // short fixed value
  EXPECT_FALSE(parse(std::string(11, '\x80') + '\x01', &m));  // key wider than 64 bits
  EXPECT_FALSE(parse(bytes({0x08, 0x80}), &m));               // truncated varint
  std::string nested = bytes({0x04, 3}) + "map";
  for (int i = 0; i <= kPktMaxDepth; i++) {
    std::string outer;
    svcpkt__putVarint(&outer, (2 << 3) | kPktMsg);
    svcpkt__putVarint(&outer, nested.size());
    nested = outer + nested;
  }
  std::string err;
  EXPECT_FALSE(parse(nested, &m, &err));
  EXPECT_EQ(err, "nested too deep");

  SvcArgs args;
  ASSERT_TRUE(parse(bytes({0x04, 4}) + "iter", &m));
  EXPECT_FALSE(svcpkt__toArgs(m, &args, &err));
  ASSERT_TRUE(parse(bytes({0x04, 3}) + "map" + bytes({0x0C, 1}) + "k", &m));
  EXPECT_FALSE(svcpkt__toArgs(m, &args, &err));  // key without value
  ASSERT_TRUE(parse(bytes({0x04, 3}) + "map" + bytes({0x0C, 1}) + "k" + bytes({0x10, 1}), &m));
  EXPECT_FALSE(svcpkt__toArgs(m, &args, &err));  // numeric value
  ASSERT_TRUE(parse(bytes({0x04, 3}) + "map" + bytes({0x0C, 0, 0x14, 0}), &m));
  EXPECT_FALSE(svcpkt__toArgs(m, &args, &err));  // empty key
}

TEST(SvcXml, ResponsesEscapeAndRepeatListItems) {
  SvcValue v = SvcValue::map();
  v.set("count", "2");
  SvcValue files = SvcValue::list("file");
  SvcValue a = SvcValue::map();
  a.set("name", "  a<&>\"' b ");
  files.push(a);
  files.push(a);
  v.set("files", files);
  std::string xml = svcxml__response("listFiles", v);
  EXPECT_NE(xml.find("<listFilesResponse><count xsi:type=\"xsd:string\">2</count><files><file>"
                     "<name xsi:type=\"xsd:string\">  a&lt;&amp;&gt;&quot;&#x27; b </name></file>"
                     "<file>"),
            std::string::npos)
      << xml;
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
  std::string fault = svcxml__fault({808, "File exists", "x<y"});
  EXPECT_NE(
      fault.find("<VXError><errorCode>808</errorCode><errorDescription xsi:type=\"xsd:string\">"
                 "File exists</errorDescription><errorContext xsi:type=\"xsd:string\">x&lt;y"),
      std::string::npos);
  EXPECT_EQ(svcxml__escape(std::string("a\x01"
                                       "b\tc")),
            "a&#x1;b\tc");
}

TEST(SvcXml, ReadsCallsAndRefusesOtherDocuments) {
  std::string method, err;
  SvcArgs args;
  ASSERT_TRUE(svcxml__parseCall(
      "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><soapenv:Envelope xmlns:soapenv=\"x\">"
      "<soapenv:Body><getFile soapenv:encodingStyle=\"y\"><valtoken xsi:type=\"xsd:string\">t"
      "</valtoken><filename>  a &amp; b </filename><blank> </blank><empty/></getFile>"
      "</soapenv:Body></soapenv:Envelope>",
      &method, &args, &err))
      << err;
  EXPECT_EQ(method, "getFile");
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[1].second, "  a & b ");
  EXPECT_EQ(args[2].second, " ");
  EXPECT_EQ(args[3].second, "");
  // Map and list arguments are not texts: they are left out, and the texts after them stay.
  ASSERT_TRUE(svcxml__parseCall(
      "<Envelope><Body><createFile><props><a>1</a><sub><b>x</b></sub></props>"
      "<tags><tags>one</tags><tags>two</tags></tags><mixed>t<i/></mixed>"
      "<filename xsi:type=\"xsd:string\">f</filename></createFile></Body></Envelope>",
      &method, &args, &err))
      << err;
  ASSERT_EQ(args.size(), 1u);
  EXPECT_EQ(args[0].first, "filename");
  EXPECT_EQ(args[0].second, "f");
  // The pages' bare envelope, without namespace declarations.
  ASSERT_TRUE(
      svcxml__parseCall("<soapenv:Envelope><soapenv:Body><getUser><valtoken>t</valtoken>"
                        "</getUser></soapenv:Body></soapenv:Envelope>",
                        &method, &args, &err));
  EXPECT_EQ(method, "getUser");
  EXPECT_FALSE(svcxml__parseCall("", &method, &args, &err));
  EXPECT_FALSE(svcxml__parseCall("<a><b></a>", &method, &args, &err));
  EXPECT_FALSE(svcxml__parseCall("<Envelope/>", &method, &args, &err));
  EXPECT_FALSE(svcxml__parseCall("<Envelope><Body/></Envelope>", &method, &args, &err));
  EXPECT_FALSE(svcxml__parseCall("<Other><Body><m/></Body></Other>", &method, &args, &err));
}

TEST(SvcJson, AnswersFaultsAndArguments) {
  SvcValue v = SvcValue::map();
  v.set("services", SvcValue::list("service"));
  v.set("bad", std::string("\xff\xfe"));
  v.set("on", SvcValue::boolean(true));
  EXPECT_EQ(svcjson__response(v),
            "{\"services\":[],\"bad\":\"\xef\xbf\xbd\xef\xbf\xbd\",\"on\":true}");
  EXPECT_NE(svcxml__response("m", v).find(">1</on>"), std::string::npos);
  EXPECT_EQ(svcjson__fault({606, "Not authorized", ""}),
            "{\"HB-EXCEPTION\":{\"ecode\":606,\"message\":\"Not authorized\"}}");
  SvcArgs args;
  std::string err;
  ASSERT_TRUE(svcjson__parseArgs("{\"a\":\"x\",\"n\":5,\"b\":true,\"o\":{}}", &args, &err));
  ASSERT_EQ(args.size(), 3u);
  EXPECT_EQ(args[1].second, "5");
  EXPECT_EQ(args[2].second, "1");
  EXPECT_FALSE(svcjson__parseArgs("[1]", &args, &err));
  EXPECT_FALSE(svcjson__parseArgs("{", &args, &err));
}

// Request bytes from memory, in pieces of a few bytes.
class MemSource final : public HttpSource {
 public:
  explicit MemSource(std::string data) : m_data(std::move(data)) {}
  bool writeAll(const char *p, size_t n) override {
    written.append(p, n);
    return true;
  }
  std::string written;

 protected:
  long rawRead(char *buf, size_t n) override {
    size_t k = std::min<size_t>({n, 5, m_data.size() - m_pos});
    std::memcpy(buf, m_data.data() + m_pos, k);
    m_pos += k;
    return static_cast<long>(k);
  }

 private:
  std::string m_data;
  size_t m_pos = 0;
};

int head(const std::string &text, HttpRequest *req = nullptr) {
  MemSource src(text);
  HttpRequest local;
  return svchttp__readHead(&src, req ? req : &local);
}

TEST(SvcHttp, ReadsRequestHeads) {
  HttpRequest req;
  ASSERT_EQ(head("PUT /svc/files/a/b/1?valtoken=x HTTP/1.1\r\nHost: h\r\nX-VXVALTOKEN:  t \r\n"
                 "Content-Length: 12\r\n\r\n",
                 &req),
            0);
  EXPECT_EQ(req.method, "PUT");
  EXPECT_EQ(req.path, "/svc/files/a/b/1");
  EXPECT_EQ(req.query, "valtoken=x");
  ASSERT_NE(req.header("x-vxvaltoken"), nullptr);
  EXPECT_EQ(*req.header("x-vxvaltoken"), "t");
  EXPECT_EQ(req.contentLength, 12);
  EXPECT_TRUE(req.hasBody);
  EXPECT_EQ(head("GET / HTTP/1.0\n\n", &req), 0);  // bare line feeds, HTTP/1.0
  EXPECT_EQ(head(""), -1);
  EXPECT_EQ(head("GET / HTTP/2.0\r\n\r\n"), 400);
  EXPECT_EQ(head("GET /\r\n\r\n"), 400);
  EXPECT_EQ(head("GET / HTTP/1.1\r\n folded: x\r\n\r\n"), 400);
  EXPECT_EQ(head("GET / HTTP/1.1\r\nNo colon\r\n\r\n"), 400);
  EXPECT_EQ(head("GET / HTTP/1.1\r\nHost: x\r\n"), 400);  // ends inside the head
  EXPECT_EQ(head("POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n"), 400);
  EXPECT_EQ(head("POST / HTTP/1.1\r\nContent-Length: +1\r\n\r\n"), 400);
  EXPECT_EQ(head("POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n"), 400);
  EXPECT_EQ(head("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 1\r\n\r\n"),
            400);
  EXPECT_EQ(head("GET / HTTP/1.1\r\nX: " + std::string(17000, 'a') + "\r\n\r\n"), 431);
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 101; i++) many += "H" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(head(many + "\r\n"), 431);
}

TEST(SvcHttp, ReadsChunkedBodiesAndAnswersExpectContinue) {
  MemSource src(
      "PUT /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\nExpect: 100-continue\r\n\r\n"
      "5;name=v\r\nhello\r\n1\r\n \r\nA\r\n0123456789\r\n0\r\nT: x\r\n\r\n"
      "GET /next HTTP/1.1\r\n\r\n");
  HttpRequest req;
  ASSERT_EQ(svchttp__readHead(&src, &req), 0);
  EXPECT_EQ(src.written, "");  // nothing until the body is wanted
  HttpBody body(&src, req);
  std::string all;
  ASSERT_TRUE(body.readAll(&all, 100));
  EXPECT_EQ(all, "hello 0123456789");
  EXPECT_EQ(src.written, "HTTP/1.1 100 Continue\r\n\r\n");
  EXPECT_TRUE(body.finished());
  HttpRequest next;  // the connection is positioned at the next request
  ASSERT_EQ(svchttp__readHead(&src, &next), 0);
  EXPECT_EQ(next.path, "/next");

  for (const char *bad : {"zz\r\n", "5\r\nhelloXX", "5\r\nhel", "fffffffffffffffff\r\n", "\r\n"}) {
    MemSource s(std::string("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n") + bad);
    HttpRequest r;
    ASSERT_EQ(svchttp__readHead(&s, &r), 0);
    HttpBody b(&s, r);
    std::string out;
    EXPECT_FALSE(b.readAll(&out, 100)) << bad;
    EXPECT_TRUE(b.failed()) << bad;
  }
  // A length-framed body stops at its length, and a body over the limit is refused.
  MemSource s("POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef");
  HttpRequest r;
  ASSERT_EQ(svchttp__readHead(&s, &r), 0);
  HttpBody b(&s, r);
  std::string out;
  ASSERT_TRUE(b.readAll(&out, 3));
  EXPECT_EQ(out, "abc");
  MemSource s2("POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd");
  HttpRequest r2;
  ASSERT_EQ(svchttp__readHead(&s2, &r2), 0);
  HttpBody b2(&s2, r2);
  EXPECT_FALSE(b2.readAll(&out, 3));
}

TEST(SvcHttp, DecodesQueriesAndForms) {
  std::string out;
  EXPECT_TRUE(svchttp__decode("a%2Fb+c", &out, true));
  EXPECT_EQ(out, "a/b c");
  EXPECT_TRUE(svchttp__decode("a+b", &out, false));
  EXPECT_EQ(out, "a+b");
  EXPECT_FALSE(svchttp__decode("a%2", &out, false));
  EXPECT_FALSE(svchttp__decode("%zz", &out, false));
  EXPECT_EQ(svchttp__param("x=1&redirect_uri=ytoauth%3A%2F%2Fpostauth&y", "redirect_uri"),
            "ytoauth://postauth");
  EXPECT_EQ(svchttp__param("x=1&y", "y"), "");
  EXPECT_EQ(svchttp__param("x=1", "z"), "");
}

TEST(SvcHttp, RangeHeadersGiveOneRangeOrTheWholeBody) {
  struct Case {
    const char *header;
    int64_t size;
    int result;
    int64_t first, last;
  } cases[] = {
      {"bytes=0-0", 10, 1, 0, 0},
      {"BYTES=2-", 10, 1, 2, 9},
      {"bytes=-3", 10, 1, 7, 9},
      {"bytes=-30", 10, 1, 0, 9},
      {"bytes=5-99999999999999999999999", 10, 1, 5, 9},
      {"bytes=10-", 10, -1, 0, 0},
      {"bytes=99999999999999999999-", 10, -1, 0, 0},
      {"bytes=-0", 10, -1, 0, 0},
      {"bytes=0-", 0, -1, 0, 0},
      {"bytes=-5", 0, -1, 0, 0},
      {"bytes=3-2", 10, 0, 0, 0},
      {"bytes=0-1,3-4", 10, 0, 0, 0},
      {"bytes=1-2 x", 10, 0, 0, 0},
      {"bytes=+1-2", 10, 0, 0, 0},
      {"bytes=-", 10, 0, 0, 0},
      {"bits=0-1", 10, 0, 0, 0},
      {"bytes", 10, 0, 0, 0},
      {"", 10, 0, 0, 0},
  };
  for (const Case &c : cases) {
    const std::string h = c.header;
    int64_t first = 0, last = 0;
    EXPECT_EQ(c.result, svchttp__parseRange(&h, c.size, &first, &last)) << c.header;
    if (c.result == 1) {
      EXPECT_EQ(std::make_pair(c.first, c.last), std::make_pair(first, last)) << c.header;
    }
  }
  int64_t first, last;
  EXPECT_EQ(0, svchttp__parseRange(nullptr, 10, &first, &last));
}

TEST(SvcHttp, EveryRequestOfAConnectionGetsItsContinue) {
  MemSource src(
      "PUT /a HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\nab"
      "PUT /b HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\ncd");
  for (const char *want : {"ab", "cd"}) {
    HttpRequest req;
    ASSERT_EQ(svchttp__readHead(&src, &req), 0);
    HttpBody body(&src, req);
    std::string all;
    ASSERT_TRUE(body.readAll(&all, 10));
    EXPECT_EQ(all, want);
  }
  EXPECT_EQ(src.written, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n");
}

TEST(SvcHttp, BodyScanTellsWhenACollectedBodyIsWhole) {
  auto scanAll = [](const std::string &head, const std::string &body, int64_t limit) {
    MemSource src(head);
    HttpRequest req;
    EXPECT_EQ(svchttp__readHead(&src, &req), 0);
    // Every prefix but the whole body asks for more; the whole one is complete.
    HttpBodyScan scan;
    for (size_t n = 0; n < body.size(); n++) {
      int r = svchttp__scanBody(req, body.data(), n, limit, &scan);
      if (r != 0) return r;
    }
    return svchttp__scanBody(req, body.data(), body.size(), limit, &scan);
  };
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  EXPECT_EQ(scanAll(chunked, "5;x=y\r\nhello\r\n1\r\n \r\n0\r\nT: v\r\n\r\n", 100), 1);
  EXPECT_EQ(scanAll(chunked, "5\r\nhello\r\n0\r\n\r\n", 4), 2);
  EXPECT_EQ(scanAll(chunked, "5\r\nhelloXXX", 100), -1);
  EXPECT_EQ(scanAll(chunked, "zz\r\n", 100), -1);
  EXPECT_EQ(scanAll(chunked, "5\r\nhel", 100), 0);
  const std::string sized = "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  EXPECT_EQ(scanAll(sized, "hello", 100), 1);
  EXPECT_EQ(scanAll(sized, "hello", 4), 2);
  // A body over the limit reaches the handler as too large, never read.
  MemSource src(sized + "hello");
  HttpRequest req;
  ASSERT_EQ(svchttp__readHead(&src, &req), 0);
  req.bodyTooLarge = true;
  HttpBody body(&src, req);
  std::string out;
  EXPECT_FALSE(body.readAll(&out, 100));
  EXPECT_TRUE(body.tooLarge() && !body.failed());
}

TEST(SvcHttp, MappedAddressesAreTheirIPv4Peers) {
  sockaddr_storage ss{};
  auto *a6 = reinterpret_cast<sockaddr_in6 *>(&ss);
  a6->sin6_family = AF_INET6;
  a6->sin6_port = htons(8480);
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &a6->sin6_addr);
  std::string host;
  bool loop = false;
  EXPECT_EQ(svchttp__addressText(&ss, &host, &loop), "127.0.0.1:8480");
  EXPECT_TRUE(loop);
  inet_pton(AF_INET6, "::1", &a6->sin6_addr);
  EXPECT_EQ(svchttp__addressText(&ss, &host, &loop), "[::1]:8480");
  EXPECT_TRUE(loop && host == "::1");
  inet_pton(AF_INET6, "::ffff:10.0.0.1", &a6->sin6_addr);
  svchttp__addressText(&ss, &host, &loop);
  EXPECT_FALSE(loop);
}

TEST(SvcLimits, BodiesThatWouldCostFarMoreThanTheirSizeAreRefused) {
  std::string err;
  PktMessage m;
  std::string records = bytes({0x04, 3}) + "map";
  for (size_t i = 0; i < kPktMaxRecords; i++) records += bytes({0x15, 0});
  EXPECT_FALSE(parse(records, &m, &err));
  EXPECT_EQ(err, "too many records");
  SvcArgs args;
  std::string method;
  std::string deep(40, '[');
  EXPECT_FALSE(svcjson__parseArgs("{\"a\":" + deep, &args, &err));
  std::string many = "{\"a\":[";
  for (int i = 0; i < 10001; i++) many += "{},";
  EXPECT_FALSE(svcjson__parseArgs(many + "{}]}", &args, &err));
  EXPECT_EQ(err, "too many JSON values");
  std::string tags = "<Envelope><Body><m>";
  for (int i = 0; i < 16384; i++) tags += "<a/>";
  EXPECT_FALSE(svcxml__parseCall(tags + "</m></Body></Envelope>", &method, &args, &err));
  // A NUL (raw or "&#0;") would cut a text short, and references to no character are refused.
  for (const std::string &bad : std::vector<std::string>{
           "n&#0;ul", "n&#x0;", "n&#xD800;", "n&#x110000;", "n&#12", std::string("n\0ul", 4)}) {
    EXPECT_FALSE(svcxml__parseCall("<Envelope><Body><m><a>" + bad + "</a></m></Body></Envelope>",
                                   &method, &args, &err))
        << bad;
  }
  // Ordinary calls still read: nested values are skipped, the last of a repeated key wins.
  ASSERT_TRUE(svcjson__parseArgs(
      R"({"a":"x","n":5,"f":1.50,"b":true,"o":{"k":[1,2]},"a":"y","z":null})", &args, &err))
      << err;
  EXPECT_EQ(args, (SvcArgs{{"a", "y"}, {"n", "5"}, {"f", "1.50"}, {"b", "1"}}));
  for (const char *bad : {"[1]", "\"s\"", "{\"a\":1} x", "{\"a\":\"\\ud800\"}"})
    EXPECT_FALSE(svcjson__parseArgs(bad, &args, &err)) << bad;
  ASSERT_TRUE(svcxml__parseCall(
      "<Envelope><Body><m><a>x=y&#233;&#x1F600;</a></m></Body></Envelope>", &method, &args, &err))
      << err;
  EXPECT_EQ(args[0].second, "x=y\xc3\xa9\xf0\x9f\x98\x80");
}

TEST(SvcGuard, TextsForStorageAndForTheLog) {
  EXPECT_TRUE(svctext__utf8("caf\xc3\xa9 \xf0\x9f\x98\x80"));
  for (const char *bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"})
    EXPECT_FALSE(svctext__utf8(bad)) << bad;
  EXPECT_EQ(svctext__logSafe("a\x1b[2J\r\nb\\"), "a\\x1b[2J\\x0d\\x0ab\\x5c");
  const std::string tok = "0123456789abcdef0123456789abcdef";
  std::string encoded;
  for (char c : tok)
    encoded += "%" + std::string(1, "0123456789ABCDEF"[c >> 4]) + "0123456789ABCDEF"[c & 15];
  EXPECT_EQ(svctext__maskTokens("/svc/files/" + tok + "/dev/svc/1"), "/svc/files/TOKEN/dev/svc/1");
  EXPECT_EQ(svctext__maskTokens("/svc/files/" + encoded + "/d\x1b"), "/svc/files/TOKEN/d\\x1b");
}

TEST(SvcGuard, ThrottleGrowsTheWaitPerAccountAndAddress) {
  SvcThrottle t;
  int64_t now = 1000000;
  for (int i = 0; i < SvcThrottle::kFreeAccountFailures - 1; i++) {
    EXPECT_EQ(t.wait("alice", "a1", now), 0);
    t.failed("alice", "a1", now);
  }
  t.failed("alice", "a1", now);
  EXPECT_EQ(t.wait("alice", "a2", now), 1000);
  EXPECT_EQ(t.wait("bob", "a2", now), 0);
  now += 1000;
  t.failed("alice", "a2", now);
  EXPECT_EQ(t.wait("alice", "a3", now), 2000);
  t.succeeded("alice");
  EXPECT_EQ(t.wait("alice", "a3", now), 0);
  // One address guessing many names waits too, and success elsewhere does not clear it.
  for (int i = 0; i < SvcThrottle::kFreeAddressFailures; i++)
    t.failed("n" + std::to_string(i), "a9", now);
  EXPECT_GT(t.wait("someone", "a9", now), 0);
  for (int i = 0; i < 40; i++) t.failed("carol", "a8", now);
  EXPECT_EQ(t.wait("carol", "x", now), SvcThrottle::kMaxDelayMs);

  SvcOrigins o;
  o.add("http://127.0.0.1:*");
  o.add("res://tesselutilbrowser.exe/");
  std::vector<std::string> self = {"127.0.0.1:8480"};
  for (const char *ok :
       {"http://127.0.0.1:1", "res://tesselutilbrowser.exe", "https://127.0.0.1:8480"})
    EXPECT_TRUE(o.allowed(ok, self)) << ok;
  for (const char *no : {"http://127.0.0.1:", "http://127.0.0.1:123456", "http://127.0.0.1.x:1",
                         "https://127.0.0.1:1", "null", "http://127.0.0.1:8480.evil"})
    EXPECT_FALSE(o.allowed(no, self)) << no;
}

}  // namespace
}  // namespace tessel::svc
