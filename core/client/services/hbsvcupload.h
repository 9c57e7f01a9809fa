// Uploads in pieces: what the import and the drive store share.
//
// A service that announces "resumable" = "1" in its "getVersion" answer takes a stream as
// several PUTs on the same files address, each with "Content-Range: bytes FIRST-LAST/TOTAL";
// it keeps what arrived of a piece whose connection was cut and says how much it holds
// ("X-Upload-Offset") after each piece and when asked ("Content-Range: bytes */TOTAL" with an
// empty body). A stream of at least HBSVCUPLOAD_THRESHOLD bytes goes in pieces of
// HBSVCUPLOAD_PIECE bytes; a cut piece is taken up again from the service's offset after a
// pause of 1, 2, 4, 8 and 16 s, HBSVCUPLOAD_RETRIES times, before the upload fails. Log tag
// "UPLOAD".
#pragma once

#include <cstdint>
#include <functional>

#include "brerror.h"

struct IHBURL;
struct BRHTTPRequest;

// Streams from this size go in pieces: below it a cut costs a few seconds of sending again,
// and a photo keeps going in one PUT as it always has.
#define HBSVCUPLOAD_THRESHOLD (8LL * 1024 * 1024)
// One piece: a few seconds on a slow uplink, so each answer (and each record of what the
// service holds) comes well inside the time-outs, and few enough requests for a large video.
#define HBSVCUPLOAD_PIECE (32LL * 1024 * 1024)
// Attempts after a cut within one upload before it fails.
#define HBSVCUPLOAD_RETRIES 5
// How long the answer of "getVersion" is remembered per service address.
#define HBSVCUPLOAD_REMEMBER_MS (10 * 60 * 1000)

// Whether the service at `endpoint` (its API address) takes uploads in pieces. Asked once per
// address ("getVersion") and remembered for HBSVCUPLOAD_REMEMBER_MS (a failure to ask for a
// minute); false when it does not answer or does not announce it.
bool hbsvcupload__resumable(IHBURL *endpoint);
// Forgets what was learnt of the address (`endpoint` null: of every address), so that the next
// upload asks again; used when a service refuses a piece (501) and by tests.
void hbsvcupload__forget(IHBURL *endpoint);

// A number header of an answer ("X-Upload-Offset", "X-Upload-Total"); -1 when it is missing or
// not a decimal number.
int64_t hbsvcupload__header(BRHTTPRequest *req, const char *name);

// The pause before attempt `attempt` (1-based) after a cut: 1, 2, 4, 8, 16 s. 0 after it, or
// -18 as soon as `canceled` (may be empty) says so.
HB_NODISCARD int32_t hbsvcupload__pause(int32_t attempt, const std::function<bool()> &canceled);

// Whether a failure of a piece is the connection's (cut, reset, timed out, refused) and worth
// taking up again from the service's offset.
bool hbsvcupload__retryable(int32_t rc);
