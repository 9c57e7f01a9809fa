// Drive URIs: parsing, composing and the file-access address.
#include "hbzvuri.h"

#include <gtest/gtest.h>

#include <string>

#include "hbstr.h"
#include "logcapture.h"

namespace {

struct Parsed {
  std::string fields[5];  // device, service, third, fourth, path ("-" when absent)
  std::string text;
};

Parsed parse(const char *text) {
  Parsed p;
  HBRef<IHBZVURI> u;
  EXPECT_EQ(0, hbzvuri_new(u, text)) << text;
  if (!u) return p;
  const char *f[5] = {u->getDeviceID(), u->getServiceID(), u->getFileID(), u->getFourthID(),
                      u->getPath()};
  for (int i = 0; i < 5; ++i) p.fields[i] = f[i] ? f[i] : "-";
  EXPECT_TRUE(hburi__text(u.get(), &p.text));
  EXPECT_STREQ("ytozv", u->getScheme());
  return p;
}

TEST(DriveURI, ParseAndCompose) {
  struct Case {
    const char *in;
    const char *fields[5];
    const char *out;
  } cases[] = {
      {"ytozv://D1:S1", {"D1", "S1", "-", "-", "-"}, "ytozv://D1:S1"},
      // The path shows only after all four fields.
      {"zv://D1:S1/a/b.jpg", {"D1", "S1", "-", "-", "/a/b.jpg"}, "ytozv://D1:S1"},
      {"ytozv://D1:S1:F1:X1:/a/b", {"D1", "S1", "F1", "X1", "/a/b"}, "ytozv://D1:S1:F1:X1/a/b"},
      {"ytozv://D1:S1:F1:X1:rel", {"D1", "S1", "F1", "X1", "rel"}, "ytozv://D1:S1:F1:X1:rel"},
      {"ytozv://D1:S1:F1", {"D1", "S1", "F1", "-", "-"}, "ytozv://D1:S1:F1"},
      // A ":" in the path is not a field separator.
      {"ytozv://D1:S1/x:y", {"D1", "S1", "-", "-", "/x:y"}, "ytozv://D1:S1"},
      {"ytozv://", {"-", "-", "-", "-", "-"}, "ytozv://"},
  };
  for (const Case &c : cases) {
    Parsed p = parse(c.in);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.fields[i], p.fields[i]) << c.in << " field " << i;
    EXPECT_EQ(c.out, p.text) << c.in;
  }
  HBRef<IHBZVURI> u;
  tessel::test::LogCapture log;
  for (const char *bad : {"http://D1:S1", "ytozv:/D1", "file:///home"}) {
    EXPECT_EQ(BR_EINVAL, hbzvuri_new(u, bad));
    EXPECT_TRUE(log.has(std::string("Invalid URI: '") + bad + "'"));
  }
  EXPECT_EQ(BR_EINVAL, hbzvuri_new(u, nullptr));
  // Interfaces: the object, the URI root, the drive URI; not a URL.
  ASSERT_EQ(0, hbzvuri_new(u, "ytozv://D:S"));
  void *p = nullptr;
  for (int32_t n : {0x10000000, 0x10000028, 0x1000002b}) {
    ASSERT_EQ(0, u->getifc(n, &p)) << n;
    static_cast<IHBObj *>(p)->dnref();
  }
  EXPECT_EQ(BR_ENOENT, u->getifc(0x10000029, &p));
}

TEST(DriveURI, FileAddress) {
  HBRef<IHBURL> base;
  ASSERT_EQ(0, hburl__parse(base.out(), "http://host:8480/svc/api"));
  auto address = [&](const char *uri) {
    HBRef<IHBZVURI> u;
    HBRef<IHBURL> url;
    EXPECT_EQ(0, hbzvuri_new(u, uri));
    if (u->getFileURL(base.get(), url.out()) < 0) return std::string("refused");
    char buf[2048];
    url->format(buf, sizeof buf);
    return std::string(buf);
  };
  EXPECT_EQ("http://host:8480/svc/files/D1/S1/F1", address("ytozv://D1:S1:F1"));
  EXPECT_EQ("http://host:8480/svc/files/D1/S1/F1/X1/a.jpg", address("ytozv://D1:S1:F1:X1:/a.jpg"));
  EXPECT_EQ("http://host:8480/svc/files/D1/S1/F1/X1/rel", address("ytozv://D1:S1:F1:X1:rel"));
  // An address that would pass 1023 bytes is refused rather than cut.
  EXPECT_EQ("refused", address(("ytozv://D1:S1:F1:X1:/" + std::string(1100, 'p')).c_str()));
  HBRef<IHBZVURI> u;
  HBRef<IHBURL> url;
  ASSERT_EQ(0, hbzvuri__create(u.out(), "D", "S", "F", nullptr, nullptr));
  EXPECT_EQ(BR_EINVAL, u->getFileURL(nullptr, url.out()));
  std::string text;
  ASSERT_TRUE(hburi__text(u.get(), &text));
  EXPECT_EQ("ytozv://D:S:F", text);
}

}  // namespace
