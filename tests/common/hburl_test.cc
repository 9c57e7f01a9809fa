// URLs: parsing, composing, percent-coding, and the connect/release helpers without a pool.
#include "hburl.h"

#include <gtest/gtest.h>

#include <string>

#include "brhttp.h"
#include "hbstr.h"
#include "nettest.h"

namespace {

HBRef<IHBURL> parse(const char *text) {
  HBRef<IHBURL> u;
  EXPECT_EQ(hburl__parse(u.out(), text), 0) << text;
  return u;
}

std::string compose(IHBURL *u) {
  HBRef<IHBStr> s;
  EXPECT_EQ(u->toString(s.out()), 0);
  char buf[256];
  const int32_t n = u->format(buf, sizeof(buf));
  EXPECT_EQ(n, static_cast<int32_t>(strlen(s->getText())));
  EXPECT_STREQ(buf, s->getText());
  return s->getText();
}

TEST(HBURLTest, ParsesPartsAndDecodesThePath) {
  HBRef<IHBURL> u = parse("http://example.com/a%20b");
  EXPECT_STREQ(u->getScheme(), "http");
  EXPECT_STREQ(u->getHost(), "example.com");
  EXPECT_EQ(u->getPort(), 80);
  EXPECT_STREQ(u->getPath(), "/a b");
  EXPECT_EQ(u->getUser(), nullptr);
  EXPECT_EQ(compose(u.get()), "http://example.com/a b");

  u = parse("https://u:p@Host.example:8443/x/y?q=1");
  EXPECT_STREQ(u->getUser(), "u");
  EXPECT_STREQ(u->getPassword(), "p");
  EXPECT_STREQ(u->getHost(), "Host.example");
  EXPECT_EQ(u->getPort(), 8443);
  EXPECT_EQ(compose(u.get()), "https://u:p@Host.example:8443/x/y?q=1");

  u = parse("https://h");
  EXPECT_EQ(u->getPort(), 443);
  EXPECT_EQ(u->getPath(), nullptr);
  EXPECT_EQ(compose(u.get()), "https://h/");

  u = parse("HTTP://h/");  // only the lower-case schemes get a default port
  EXPECT_EQ(u->getPort(), 0);

  u = parse("http://user@h:81/");
  EXPECT_STREQ(u->getUser(), "user");
  EXPECT_EQ(u->getPassword(), nullptr);
  EXPECT_EQ(compose(u.get()), "http://user@h:81/");

  u = parse("http://u:@h/");  // an empty password is not kept
  EXPECT_EQ(u->getPassword(), nullptr);
}

TEST(HBURLTest, PortIsWrittenOnlyWhereItMatters) {
  HBRef<IHBURL> u = parse("https://h:443/p");
  EXPECT_EQ(compose(u.get()), "https://h/p");
  u->setPort(8443);
  EXPECT_EQ(compose(u.get()), "https://h:8443/p");
  u->setScheme("ftp");
  EXPECT_EQ(compose(u.get()), "ftp://h/p");
  u->setScheme("http");
  u->setPort(80);
  EXPECT_EQ(compose(u.get()), "http://h/p");
  u->setHost(nullptr);
  u->setPort(8080);
  EXPECT_EQ(compose(u.get()), "http:///p");
}

TEST(HBURLTest, FileUrls) {
  HBRef<IHBURL> u = parse("file:///C:/Users/x/pic.jpg");
  EXPECT_EQ(u->getHost(), nullptr);
  EXPECT_STREQ(u->getPath(), "C:/Users/x/pic.jpg");

  u = parse("file://server/share/a.txt");
  EXPECT_STREQ(u->getHost(), "server");
  EXPECT_STREQ(u->getPath(), "/share/a.txt");

  u = parse("file:///home/me/a%20b.jpg");
  EXPECT_EQ(u->getHost(), nullptr);
  EXPECT_STREQ(u->getPath(), "/home/me/a b.jpg");

  ASSERT_EQ(hburl__fromPath(u.out(), "/tmp/some dir/ü.jpg"), 0);
  EXPECT_STREQ(u->getScheme(), "file");
  EXPECT_STREQ(u->getPath(), "/tmp/some dir/ü.jpg");
  EXPECT_EQ(hburl__fromPath(u.out(), "relative/path"), BR_EINVAL);
  EXPECT_EQ(hburl__fromPath(u.out(), std::string(3000, '/').c_str()), BR_EINVAL);
}

TEST(HBURLTest, RefusesWhatCannotBeParsed) {
  HBRef<IHBURL> u;
  EXPECT_EQ(hburl__parse(u.out(), "no-scheme-here"), -1);
  EXPECT_EQ(hburl__parse(u.out(), nullptr), -1);
  EXPECT_EQ(hburl__parse(u.out(), "http://h:99999/"), -1);
  EXPECT_EQ(hburl__parse(u.out(), "http://h:8x/"), -1);
  // A scheme longer than 31 characters is refused, never cut or overrun.
  const std::string longScheme = std::string(32, 's') + "://h/";
  EXPECT_EQ(hburl__parse(u.out(), longScheme.c_str()), -1);
  const std::string maxScheme = std::string(31, 's') + "://h/";
  ASSERT_EQ(hburl__parse(u.out(), maxScheme.c_str()), 0);
  EXPECT_EQ(std::string(u->getScheme()), std::string(31, 's'));
  u->setScheme(std::string(100, 'z').c_str());
  EXPECT_EQ(strlen(u->getScheme()), 31u);
  // A stray "%" stays in the path instead of cutting it.
  ASSERT_EQ(hburl__parse(u.out(), "http://h/a%zzb"), 0);
  EXPECT_STREQ(u->getPath(), "/a%zzb");
}

TEST(HBURLTest, CopyIsIndependent) {
  HBRef<IHBURL> a = parse("http://u:p@h:81/p");
  HBRef<IHBURL> b;
  ASSERT_EQ(hburl__create(b.out(), a.get()), 0);
  a->setHost("other");
  EXPECT_STREQ(b->getHost(), "h");
  EXPECT_EQ(compose(b.get()), "http://u:p@h:81/p");
  HBRef<IHBURI> uri;
  EXPECT_EQ(hb_query<IHBURI>(b.get(), uri), 0);
}

TEST(HBURLTest, PercentCoding) {
  char out[HBURL_ENCODE_BUFSIZE];
  EXPECT_EQ(hburl__encodePath("a b/\xc3\xbc", out), 12);
  EXPECT_STREQ(out, "a%20b/%c3%bc");
  EXPECT_EQ(hburl__encodePath("-._~:/AZaz09", out), 12);
  EXPECT_STREQ(out, "-._~:/AZaz09");
  // Too long for the buffer: cut and terminated, the full length returned.
  const std::string spaces(100, ' ');
  EXPECT_EQ(hburl__encodePath(spaces.c_str(), out), 300);
  EXPECT_EQ(strlen(out), 127u);

  char dec[64];
  EXPECT_EQ(hburl__decodePath("a%20b+c%C3%BC", dec, sizeof(dec)), 7);
  EXPECT_STREQ(dec, "a b c\xc3\xbc");
  EXPECT_LT(hburl__decodePath("abc%4", dec, sizeof(dec)), 0);
  EXPECT_LT(hburl__decodePath("%zz", dec, sizeof(dec)), 0);
  EXPECT_EQ(hburl__decodePath("abcdef", dec, 4), 6);
  EXPECT_STREQ(dec, "abc");
}

TEST(HBURLTest, CompareOrdersSchemeHostPort) {
  HBRef<IHBURL> a = parse("http://MyHost/");
  HBRef<IHBURL> b = parse("http://myhost/x");
  HBRef<IHBURL> c = parse("HTTP://myhost/");
  EXPECT_EQ(hburl__compare(a.get(), b.get()), 0);
  EXPECT_NE(hburl__compare(a.get(), c.get()), 0);
  b->setPort(81);
  EXPECT_LT(hburl__compare(a.get(), b.get()), 0);
}

TEST(HBURLTest, ConnectAndReleaseWithoutPool) {
  nettest::ScriptServer server([](int fd, int) { nettest::readAll(fd, 2000); });
  const std::string text = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  HBRef<IHBURL> u = parse(text.c_str());
  BRHTTPConnection *c = nullptr;
  ASSERT_EQ(hburl__connect(u.get(), &c), 0);
  EXPECT_TRUE(BRHTTPConnection__isOpen(c));
  EXPECT_EQ(hburl__release(u.get(), c), 0);
}

}  // namespace
