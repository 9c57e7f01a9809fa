// The network watcher over rtnetlink.
//
// Each watcher opens two rtnetlink sockets in the network namespace of the thread that makes
// it: one subscribed to link, address and route changes, which the thread "NETEVENT" polls, and
// one for the dumps that decide availability (a default route that is not link-down, or an
// interface that is up and running, not the loopback, with an address of global or site scope).
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

#include "vxnetevent.h"

// What a dump of links, addresses and routes showed.
struct VXNetState {
  bool defaultRoute = false;
  std::set<int32_t> upLinks;    // up and running, not the loopback
  std::set<int32_t> addrLinks;  // carrying an address of global or site scope
  bool available() const;
};

// Reads a buffer of rtnetlink messages (a dump answer) into *state. 1 after the end of the
// dump (NLMSG_DONE), 0 when more is to come, -1 for an error message or a malformed buffer.
HB_NODISCARD int32_t vxnetevent__parseDump(const void *buf, size_t len, VXNetState *state);

// ---- Test hooks ----
int32_t vxnetevent__slotsInUseForTest();
bool vxnetevent__waitPassesForTest(int32_t passes);
