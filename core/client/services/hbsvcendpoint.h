// The service address and the session token.
//
// Every call the program makes itself goes to one service host: the `host` value of the Server
// settings key, else the built-in default (the local reference service). The default service
// address is "http://HOST/svc/api", parsed once at start-up and kept for the process. The session
// token `valtoken` lives in the application settings; the program is signed in exactly while a
// non-empty one is stored. Log tag "SVCEP".
#pragma once

#include <cstdint>
#include <string>

#include "brerror.h"

struct IHBURL;
class HBRPCGeneric;

#define HBSVC_DEFAULT_HOST "127.0.0.1:8480"
#define HBSVC_SERVICE_URL_FORMAT "http://%s/svc/api"
#define HBSVC_HOST_MAX 255

// The service host name: the Server key's `host` (cut to 255 bytes) or the built-in default
// when the key or the value is missing or empty.
std::string hbsvc__readHost();
// "http://%s/svc/api" filled with `host`.
std::string hbsvc__formatServiceURL(const char *host);

// Reads the host, forms and parses the default service address and keeps it for the process.
// 0, or -6 (logged with the text that did not parse) when it is not a URL; the address then
// stays unset and every call on it fails.
HB_NODISCARD int32_t hbsvc__initServiceURL();
// Installs `url` as the default address (a reference is taken); null unsets it.
void hbsvc__setServiceURL(IHBURL *url);
// The default service address with one reference for the caller; -5 (logged) when unset.
HB_NODISCARD int32_t hbsvc__getServiceURL(IHBURL **out);
// The default address as text ("" when unset), as the pages get it.
std::string hbsvc__getServiceURLText();
// A call object on the default address with the registered pool. One reference for the caller;
// -5 when the address is unset.
HB_NODISCARD int32_t hbsvc__newCall(HBRPCGeneric **out);

// The session token from the default settings store: 0 with the text, -3 when there is none
// (a stored empty value counts as none).
HB_NODISCARD int32_t hbsvc__getValtoken(std::string *out);
// Stores the token (sign-in) or, for null or empty, deletes it (sign-out). 0, or the store's
// failure (-3 without a default store).
HB_NODISCARD int32_t hbsvc__setValtoken(const char *token);
bool hbsvc__isSignedIn();
