// Answers of the service's methods as a small tree, and their three wire forms: SOAP XML, the
// pages' JSON and packet messages.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessel::svc {

// A text, a map of named values in insertion order, or a list of values. A list keeps the
// element name its items carry in XML ("service" inside "services").
struct SvcEntry;

struct SvcValue {
  enum class Kind { Text, Map, List };
  Kind kind = Kind::Text;
  std::string text;
  std::string itemName;
  bool flag = false;              // a text "1" or "0" that JSON answers as true or false
  std::vector<SvcEntry> entries;  // Map: keys and values; List: items with empty keys

  static SvcValue str(std::string s);
  static SvcValue boolean(bool on);
  static SvcValue map();
  static SvcValue list(std::string itemName);
  // Map: replaces an entry of the same key or appends one.
  SvcValue &set(const std::string &key, SvcValue v);
  SvcValue &set(const std::string &key, const std::string &s);
  // List: appends an item.
  void push(SvcValue v);
  const SvcValue *find(const std::string &key) const;
};

struct SvcEntry {
  std::string first;
  SvcValue second;
};

// Named text arguments of one call, in the order they came.
using SvcArgs = std::vector<std::pair<std::string, std::string>>;
const std::string *svcargs__find(const SvcArgs &args, const std::string &name);

// A fault answer: the code, a description and a context.
struct SvcFault {
  int code = 0;
  std::string description;
  std::string context;
};

// XML text with the five markup characters and control bytes escaped.
std::string svcxml__escape(const std::string &s);
// Whether `name` may stand as an XML element name in our answers.
bool svcxml__isName(const std::string &name);
// The SOAP envelope answering `method` with `result`'s entries as child elements.
std::string svcxml__response(const std::string &method, const SvcValue &result);
// The SOAP envelope carrying a VXError element.
std::string svcxml__fault(const SvcFault &fault);
// Reads a SOAP (or the pages' bare) envelope: the first element inside Body names the method,
// its child elements are the text arguments (elements holding elements are left out). Returns
// false with `err` set on malformed input.
bool svcxml__parseCall(const std::string &body, std::string *method, SvcArgs *args,
                       std::string *err);

// JSON forms: the answer object, and the pages' failure object {"HB-EXCEPTION":{...}}.
std::string svcjson__response(const SvcValue &result);
std::string svcjson__fault(const SvcFault &fault);
// A JSON object of scalar members taken as arguments (the pages may also send one).
bool svcjson__parseArgs(const std::string &body, SvcArgs *args, std::string *err);

}  // namespace tessel::svc
