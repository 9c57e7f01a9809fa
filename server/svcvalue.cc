// Wire forms of the service's answers and the readers of its request bodies.
#include "svcvalue.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

namespace tessel::svc {

namespace {

constexpr size_t kMaxArgs = 256;
constexpr size_t kMaxXmlTags = 16384;
constexpr size_t kMaxXmlAttrs = 65536;

void appendXml(std::string *out, const std::string &name, const SvcValue &v) {
  switch (v.kind) {
    case SvcValue::Kind::Text:
      // The type attribute keeps the client from trimming blanks that belong to the value.
      *out += "<" + name + " xsi:type=\"xsd:string\">" + svcxml__escape(v.text) + "</" + name + ">";
      break;
    case SvcValue::Kind::Map:
      *out += "<" + name + ">";
      for (const auto &[k, child] : v.entries) appendXml(out, k, child);
      *out += "</" + name + ">";
      break;
    case SvcValue::Kind::List:
      *out += "<" + name + ">";
      for (const auto &item : v.entries)
        appendXml(out, v.itemName.empty() ? "item" : v.itemName, item.second);
      *out += "</" + name + ">";
      break;
  }
}

std::string envelope(const std::string &inner) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
         " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
         " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>" +
         inner + "</soapenv:Body></soapenv:Envelope>";
}

// A NUL, raw or as "&#0;", would cut a text short in the parsed tree, and a reference to a
// surrogate or past U+10FFFF is no character at all. (Other control characters reach the
// methods, which refuse them where texts are stored.)
bool xmlChars(const std::string &body) {
  if (body.find('\0') != std::string::npos) return false;
  for (size_t i = 0; i < body.size(); i++) {
    if (body[i] != '&' || i + 2 >= body.size() || body[i + 1] != '#') continue;
    bool hex = body[i + 2] == 'x';
    size_t j = i + (hex ? 3 : 2);
    uint64_t cp = 0;
    size_t digits = 0;
    for (; j < body.size() && body[j] != ';' && digits < 9; j++, digits++) {
      int d = std::isdigit(static_cast<unsigned char>(body[j])) ? body[j] - '0'
              : hex && std::isxdigit(static_cast<unsigned char>(body[j]))
                  ? std::tolower(static_cast<unsigned char>(body[j])) - 'a' + 10
                  : -1;
      if (d < 0) return false;
      cp = cp * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    if (digits == 0 || j >= body.size() || body[j] != ';') return false;
    if (cp == 0 || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return false;
  }
  return true;
}

std::string localName(const char *name) {
  const char *colon = std::strchr(name, ':');
  return colon ? std::string(colon + 1) : std::string(name);
}

nlohmann::ordered_json toJson(const SvcValue &v) {
  switch (v.kind) {
    case SvcValue::Kind::Text:
      if (v.flag) return nlohmann::ordered_json(v.text == "1");
      return v.text;
    case SvcValue::Kind::Map: {
      nlohmann::ordered_json o = nlohmann::ordered_json::object();
      for (const auto &[k, child] : v.entries) o[k] = toJson(child);
      return o;
    }
    case SvcValue::Kind::List: {
      nlohmann::ordered_json a = nlohmann::ordered_json::array();
      for (const auto &item : v.entries) a.push_back(toJson(item.second));
      return a;
    }
  }
  return nullptr;
}

std::string dumpJson(const nlohmann::ordered_json &j) {
  return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

SvcValue SvcValue::str(std::string s) {
  SvcValue v;
  v.text = std::move(s);
  return v;
}

SvcValue SvcValue::boolean(bool on) {
  SvcValue v = str(on ? "1" : "0");
  v.flag = true;
  return v;
}

SvcValue SvcValue::map() {
  SvcValue v;
  v.kind = Kind::Map;
  return v;
}

SvcValue SvcValue::list(std::string itemName) {
  SvcValue v;
  v.kind = Kind::List;
  v.itemName = std::move(itemName);
  return v;
}

SvcValue &SvcValue::set(const std::string &key, SvcValue v) {
  for (auto &e : entries) {
    if (e.first == key) {
      e.second = std::move(v);
      return *this;
    }
  }
  entries.push_back(SvcEntry{key, std::move(v)});
  return *this;
}

SvcValue &SvcValue::set(const std::string &key, const std::string &s) {
  return set(key, str(s));
}

void SvcValue::push(SvcValue v) {
  entries.push_back(SvcEntry{std::string(), std::move(v)});
}

const SvcValue *SvcValue::find(const std::string &key) const {
  for (const auto &e : entries)
    if (e.first == key) return &e.second;
  return nullptr;
}

const std::string *svcargs__find(const SvcArgs &args, const std::string &name) {
  for (const auto &a : args)
    if (a.first == name) return &a.second;
  return nullptr;
}

std::string svcxml__escape(const std::string &s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (unsigned char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#x27;";
        break;
      default:
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t') {
          char buf[8];
          std::snprintf(buf, sizeof buf, "&#x%X;", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

bool svcxml__isName(const std::string &name) {
  if (name.empty() || name.size() > 64) return false;
  auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
  if (!alpha(name[0])) return false;
  for (char c : name)
    if (!alpha(c) && !(c >= '0' && c <= '9') && c != '-' && c != '.') return false;
  return true;
}

std::string svcxml__response(const std::string &method, const SvcValue &result) {
  std::string inner = "<" + method + "Response>";
  for (const auto &[k, v] : result.entries) appendXml(&inner, k, v);
  inner += "</" + method + "Response>";
  return envelope(inner);
}

std::string svcxml__fault(const SvcFault &fault) {
  return envelope("<VXError><errorCode>" + std::to_string(fault.code) +
                  "</errorCode><errorDescription xsi:type=\"xsd:string\">" +
                  svcxml__escape(fault.description) +
                  "</errorDescription><errorContext xsi:type=\"xsd:string\">" +
                  svcxml__escape(fault.context) + "</errorContext></VXError>");
}

bool svcxml__parseCall(const std::string &body, std::string *method, SvcArgs *args,
                       std::string *err) {
  // Every element and attribute costs tens of bytes in the document tree: a call has a few
  // hundred at most, and a body with many more is refused before it is parsed.
  size_t tags = 0, attrs = 0;
  for (char c : body) {
    tags += c == '<';
    attrs += c == '=';
  }
  if (tags > kMaxXmlTags || attrs > kMaxXmlAttrs) {
    *err = "too many elements";
    return false;
  }
  if (!xmlChars(body)) {
    *err = "a character XML does not allow";
    return false;
  }
  pugi::xml_document doc;
  pugi::xml_parse_result r =
      doc.load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
  if (!r) {
    *err = std::string("malformed XML: ") + r.description();
    return false;
  }
  pugi::xml_node root = doc.document_element();
  if (!root || localName(root.name()) != "Envelope") {
    *err = "no Envelope element";
    return false;
  }
  pugi::xml_node bodyNode;
  for (pugi::xml_node n : root.children())
    if (n.type() == pugi::node_element && localName(n.name()) == "Body") bodyNode = n;
  if (!bodyNode) {
    *err = "no Body element";
    return false;
  }
  pugi::xml_node call;
  for (pugi::xml_node n : bodyNode.children()) {
    if (n.type() == pugi::node_element) {
      call = n;
      break;
    }
  }
  if (!call) {
    *err = "no method element";
    return false;
  }
  *method = localName(call.name());
  args->clear();
  for (pugi::xml_node n : call.children()) {
    if (n.type() != pugi::node_element) continue;
    // A map or a list argument is not a text; the packet reader leaves these out as well, so
    // both transports store the same properties.
    if (n.find_child([](pugi::xml_node c) { return c.type() == pugi::node_element; })) continue;
    if (args->size() >= kMaxArgs) {
      *err = "too many arguments";
      return false;
    }
    args->emplace_back(localName(n.name()), n.text().get());
  }
  return true;
}

std::string svcjson__response(const SvcValue &result) {
  return dumpJson(toJson(result));
}

std::string svcjson__fault(const SvcFault &fault) {
  nlohmann::ordered_json j;
  j["HB-EXCEPTION"]["ecode"] = fault.code;
  j["HB-EXCEPTION"]["message"] = fault.description;
  return dumpJson(j);
}

namespace {

// Reads the top-level scalar members of a JSON object straight into arguments, without building
// a document: nested values are only counted, so any body costs little more than its size.
class ArgsSax {
 public:
  using json = nlohmann::json;
  explicit ArgsSax(SvcArgs *args) : m_args(args) {}
  std::string error;

  bool null() { return scalar(nullptr, false); }
  bool boolean(bool v) {
    std::string s = v ? "1" : "0";
    return scalar(&s, true);
  }
  bool number_integer(json::number_integer_t v) {
    std::string s = std::to_string(v);
    return scalar(&s, true);
  }
  bool number_unsigned(json::number_unsigned_t v) {
    std::string s = std::to_string(v);
    return scalar(&s, true);
  }
  bool number_float(json::number_float_t, const std::string &text) {
    std::string s = text;
    return scalar(&s, true);
  }
  bool string(std::string &v) { return scalar(&v, true); }
  bool binary(json::binary_t &) { return scalar(nullptr, false); }
  bool start_object(std::size_t) { return open(); }
  bool start_array(std::size_t) {
    if (m_depth == 0) return fail("malformed JSON");
    return open();
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }
  bool key(std::string &k) {
    if (m_depth == 1) m_key = k;
    return count();
  }
  bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) {
    return fail("malformed JSON");
  }

 private:
  bool fail(const char *why) {
    if (error.empty()) error = why;
    return false;
  }
  bool count() { return ++m_items <= kMaxJsonItems || fail("too many JSON values"); }
  bool open() {
    if (++m_depth > kMaxJsonDepth) return fail("JSON nested too deep");
    return count();
  }
  bool close() {
    m_depth--;
    return true;
  }
  bool scalar(std::string *v, bool keep) {
    if (m_depth == 0) return fail("malformed JSON");
    if (!count()) return false;
    if (m_depth != 1 || !keep) return true;
    for (auto &a : *m_args) {
      if (a.first == m_key) {
        a.second = std::move(*v);
        return true;
      }
    }
    if (m_args->size() >= kMaxArgs) return fail("too many arguments");
    m_args->emplace_back(m_key, std::move(*v));
    return true;
  }

  static constexpr int kMaxJsonDepth = 32;
  static constexpr size_t kMaxJsonItems = 10000;
  SvcArgs *m_args;
  int m_depth = 0;
  size_t m_items = 0;
  std::string m_key;
};

}  // namespace

bool svcjson__parseArgs(const std::string &body, SvcArgs *args, std::string *err) {
  args->clear();
  ArgsSax sax(args);
  bool ok = nlohmann::json::sax_parse(body, &sax, nlohmann::json::input_format_t::json, true);
  if (!ok || !sax.error.empty()) {
    *err = sax.error.empty() ? "malformed JSON" : sax.error;
    args->clear();
    return false;
  }
  return true;
}

}  // namespace tessel::svc
