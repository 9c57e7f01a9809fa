// The service cache: the signed-in user's drive services and shared album roots (address, name,
// version, free space), refreshed on the thread "SVCCACHE" and answered without a round trip.
//
// One cache per process. Entries are keyed by (device identifier, service identifier), byte
// order, device first. An entry is built from a service map of `listServices`, `getService` or
// an album's `root`; it expires 45 minutes after its last refresh, at the next refresh. The
// thread refreshes at least every 15 minutes while a session token is held, and again at its
// next one-second wake-up after a failed listing. Service calls go to the default service
// address (hbsvcendpoint.h) and are made without the cache lock; failures are logged and leave
// the cache as it was. Every routine may be called from any thread. Log tag "SVCCACHE".
#pragma once

#include <cstdint>

#include "brerror.h"

struct IHBURL;
struct IHBStr;

// The space of a service that reported no "space" field: unlimited.
#define VXSVCCACHE_SPACE_UNLIMITED INT64_C(0x0FFFFFFFFFFFFFFF)
// Entries not refreshed for this long are dropped at the next refresh.
#define VXSVCCACHE_EXPIRY_MS INT64_C(2700000)
// A refresh is due this long after the last successful listing.
#define VXSVCCACHE_REFRESH_MS INT64_C(899999)

// Mailbox messages of the cache thread.
enum : int64_t { VXSVCCACHE_MSG_STOP = 0, VXSVCCACHE_MSG_REFRESH = 1, VXSVCCACHE_MSG_TOKEN = 2 };

// Creates the cache on first use, sets or replaces the session token (a copy is kept; null keeps
// none), starts the thread when `startThread` is set and it is not running, and posts a refresh.
// Signing in as another user without a flush logs "USER CHANGE WITHOUT FLUSH!  Compensating" and
// empties the cache first. Without a token the thread is asked to obtain one (getOwnerAuth).
// Returns 0, or -1 when the thread cannot be started.
HB_NODISCARD int32_t vxsvccache__init(const char *token, bool startThread);
// Sign-out: removes every entry and drops the token.
void vxsvccache__flush();

// A new copy of the entry's API address (the default service address for an entry without
// one) in *out with one reference for the caller; -3 without an entry or an address.
HB_NODISCARD int32_t vxsvccache__getServiceURL(const char *deviceId, const char *serviceId,
                                               IHBURL **out);
// The entry's name with one reference for the caller; -3 when there is none. Both identifiers
// null: the name of the first entry in key order.
HB_NODISCARD int32_t vxsvccache__getServiceName(const char *deviceId, const char *serviceId,
                                                IHBStr **out);
HB_NODISCARD int32_t vxsvccache__getServiceVersion(const char *deviceId, const char *serviceId,
                                                   IHBStr **out);
// Bytes free on the service (VXSVCCACHE_SPACE_UNLIMITED when it did not say, -1 for a space
// field of another form), or -1 without an entry.
int64_t vxsvccache__getFreeSpace(const char *deviceId, const char *serviceId);
// After an upload: lowers a positive space by `bytes`, not below 0.
void vxsvccache__consumeSpace(const char *deviceId, const char *serviceId, int64_t bytes);

// Asks the service for one service and creates or updates its entry. Always 0 (failures are
// logged; the cache is left as it was).
int32_t vxsvccache__getService(const char *deviceId, const char *serviceId);
// Obtains a session token without sign-in from the service's "https" address. 0 (also when a
// token is already held), the negated service error of a fault, or the call's result code.
HB_NODISCARD int32_t vxsvccache__retrieveValtoken();
// The refresh: expires stale entries, then lists services and album roots. Normally run by the
// cache thread; returns 0, or the failing call's result code.
int32_t vxsvccache__update();

// True while a session token is held.
bool vxsvccache__hasToken();
// Entries held at this moment.
int32_t vxsvccache__count();

// Test hook: stops the thread (waiting for it), drops every entry and the token, so that a test
// starts from an empty cache and nothing is left alive at exit.
void vxsvccache__resetForTest();
