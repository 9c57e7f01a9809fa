// The event bus: notifications between components that do not know each other.
//
// A notification names a dotted domain ("core.property.changed"), carries an optional value and
// its sender, and reaches every listener whose subscription matches the domain. Immediate
// listeners run on the posting thread before the post returns; queued listeners run later, one
// at a time and in posting order, on the bus thread "EVT". Listeners are never called with the
// bus lock held, so they may subscribe and unsubscribe from inside onEvent.
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbobj.h"

struct IHBStr;  // hbstr.h

// A listener. Its result is ignored. Listeners are handed to the bus directly and never looked
// up by number, so the interface has none of its own.
struct IHBEventListener : IHBObj {
  virtual int32_t onEvent(uint32_t flags, IHBStr *domain, IHBObj *value, IHBObj *sender) = 0;
};

// The domains the core defines: static strings that live for the whole process.
enum HBEventDomain : int {
  HBEVENT_CORE_PROPERTY_CHANGED,  // "core.property.changed"
  HBEVENT_HBPLUG_SETTINGS_RESET,  // "hbplug.settings.reset"
  HBEVENT_VFS_FILE_CREATED,       // "vfs.file.created"
  HBEVENT_VFS_FILE_UPDATED,       // "vfs.file.updated"
  HBEVENT_VFS_FILE_DELETED,       // "vfs.file.deleted"
  HBEVENT_VFS_RESOURCE_CREATED,   // "vfs.resource.created"
  HBEVENT_VFS_RESOURCE_UPDATED,   // "vfs.resource.updated"
  HBEVENT_VFS_RESOURCE_DELETED,   // "vfs.resource.deleted"
  HBEVENT_DOMAIN_COUNT
};
// The static string of a domain (borrowed; never destroyed), or null for an unknown number.
IHBStr *hbevent__domain(HBEventDomain which);

// The two recipient lists.
enum HBEventList : int { HBEVENT_IMMEDIATE = 0, HBEVENT_QUEUED = 1 };

// True when a subscription (null: every domain) matches `domain`: the same object, or a text
// made of the domain's leading whole dotted parts ("core" and "core.property" match
// "core.property.changed", "core.prop" does not).
bool hbevent__matches(IHBStr *subscription, IHBStr *domain);
// The same rule on texts (a null subscription matches, a null domain matches nothing).
bool hbevent__matchesText(const char *subscription, const char *domain);

// ---------------------------------------------------------------------------------------------
// The process-wide bus

// Builds the bus and starts its thread "EVT". Returns 0, -5 when it already exists, -19 when out
// of memory, or -1 when the thread cannot be started.
HB_NODISCARD int32_t hbevent__create();

// Posts a notification; the bus takes its own references on `domain`, `value` and `sender` (any
// may be null; a null domain reaches nobody). Returns 0 when it was delivered to the immediate
// listeners and queued (or no queued listener wanted it), -1 when the queue was full, -5 before
// hbevent__create, -19 when out of memory.
HB_NODISCARD int32_t hbevent__post(IHBStr *domain, IHBObj *value, IHBObj *sender);

// Adds `listener` to a list with the subscription `domain` (null: every domain). The bus keeps a
// reference on both until unsubscribed. Returns 0, -5 before hbevent__create, -6 for a null
// listener, -19 when out of memory.
HB_NODISCARD int32_t hbevent__subscribe(HBEventList list, IHBStr *domain,
                                        IHBEventListener *listener);
// Removes the first subscription of `listener` in `list` whose domain is the same object or the
// same text as `domain` (null matches a null subscription only). Its references are dropped
// once no dispatch still uses it. Returns 0, or -3 when there is no such subscription.
HB_NODISCARD int32_t hbevent__unsubscribe(HBEventList list, IHBStr *domain,
                                          IHBEventListener *listener);

// ---------------------------------------------------------------------------------------------
// Buses of their own (tests, tools). Same rules as the process-wide bus.

struct HBEventBus;

// Builds a bus with its thread in *out; the caller ends it with hbeventbus__destroy.
HB_NODISCARD int32_t hbeventbus__new(HBEventBus **out);
// Stops the thread after the messages already queued, then drops every subscription. Call it
// from outside the bus's own listeners.
void hbeventbus__destroy(HBEventBus *bus);
HB_NODISCARD int32_t hbeventbus__post(HBEventBus *bus, IHBStr *domain, IHBObj *value,
                                      IHBObj *sender);
HB_NODISCARD int32_t hbeventbus__subscribe(HBEventBus *bus, HBEventList list, IHBStr *domain,
                                           IHBEventListener *listener);
HB_NODISCARD int32_t hbeventbus__unsubscribe(HBEventBus *bus, HBEventList list, IHBStr *domain,
                                             IHBEventListener *listener);
// Messages waiting in the bus queue at this moment.
int32_t hbeventbus__queued(HBEventBus *bus);

// Tests: the blocking take the bus threads use (null restores brqueue__take).
struct BRQueue;
typedef int32_t (*hbeventbus_take_fn)(BRQueue *queue, int64_t *kind, void **item,
                                      int64_t timeoutMs);
void hbeventbus__setTakeForTest(hbeventbus_take_fn take);
