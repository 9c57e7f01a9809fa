// The script bridge (`ZVBrowserScript`): the object the pages see as `window.external.zvsrv` and
// `window.yto`.
//
// In the page, a script injected at document start turns each method call into a synchronous
// POST to "res://tesselutilbrowser.exe/__bridge/<method>" whose body is the JSON array of the
// arguments; the browser host checks that the request comes from one of our views showing a
// res:// page and hands it here, on the main thread. The answer is a JSON object:
//   {"result": VALUE}   the method's result (text, integer, boolean, null, array or object)
//   {}                  nothing returned (script sees undefined)
//   {"error": NAME, "code": HRESULT, "message": TEXT}   the call failed; the page's script
//                       throws an Error with that name, number and message.
// Task, reference and error records come as plain objects holding their text and list
// properties as they were at the call (lists as arrays); iterators as arrays. Log tag "SCRIPT".
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hbobj.h"
#include "zvwindows.h"

// Failures the page's script sees (the dispatch errors of the original object).
#define ZVBRIDGE_E_UNKNOWNNAME 0x80020006u
#define ZVBRIDGE_E_BADPARAMCOUNT 0x8002000Eu
#define ZVBRIDGE_E_INVALIDARG 0x80070057u

// Largest request body taken (the arguments' JSON text).
#define ZVBRIDGE_MAX_BODY (1024 * 1024)

// Handles one call of `method` with the JSON argument array `body` from the page of `window`.
// Returns the JSON answer above.
std::string zvbridge__invoke(ZVWindowId window, const std::string &method, const std::string &body);

// Decodes a request body into its arguments: true for a JSON array (of at most 64 items) no
// longer than ZVBRIDGE_MAX_BODY.
bool zvbridge__decodeArgs(const std::string &body, std::vector<nlohmann::json> *args);

// The script value of a core object: a serializable record becomes an object of its text and
// list properties, an iterator an array of its items, a string object its text. False (and
// nothing stored) for anything else, primitives included.
bool zvbridge__wrap(IHBObj *object, nlohmann::json *out);
