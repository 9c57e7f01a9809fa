// The main thread's queue of private messages.
//
// Any thread posts a message (number, wParam, lParam); the main loop hands each one, in posting
// order, to the handler the application installed. This plays the part of posting to the main
// window: the numbers and parameters are those of the window messages.
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>

#include "brerror.h"

enum : uint32_t {
  // The copy-data message: a kind in wParam and a block of bytes (see AppMessage::data).
  MSG_COPYDATA = 0x004A,
  // Tray callback and command delivery: lParam is the tray mouse event, or 1025 meaning that
  // wParam holds a command to run.
  MSG_TRAY_COMMAND = 1025,
  // wParam 1 = signed in, 2 = signed out.
  MSG_SESSION_CHANGED = 1026,
  // wParam is a string object (IHBStr) holding a URL; the poster hands its reference to the
  // queue, which lends it to the handler and releases it afterwards.
  MSG_OPEN_URL = 1027,
  // A call handed to the main thread by appmsg__postCall (never taken from outside).
  MSG_CALL = 1100,
};

struct AppMessage {
  uint32_t msg = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  // The bytes of a copy-data message (owned by the queue; valid during the handler only).
  const char *data = nullptr;
  uint32_t dataSize = 0;
};

typedef void (*appmsg_handler)(const AppMessage &message, void *context);

// Attaches the queue to `context` (the main loop's) and installs the handler. Returns 0, or -1
// when the wake-up descriptor cannot be made.
HB_NODISCARD int32_t appmsg__init(GMainContext *context, appmsg_handler handler, void *context2);

// Queues a message from any thread. For MSG_OPEN_URL the queue takes over the reference held in
// wParam, even on failure. Returns 0, or -5 when the queue is not attached.
HB_NODISCARD int32_t appmsg__post(uint32_t msg, uintptr_t wParam, intptr_t lParam);
// Queues a copy-data message with a copy of `data`.
HB_NODISCARD int32_t appmsg__postData(uintptr_t kind, const void *data, uint32_t size);

// Queues `call` to run on the main thread in posting order with the other messages; a call still
// queued at shutdown is dropped unrun. Returns 0, or -5 when the queue is not attached.
HB_NODISCARD int32_t appmsg__postCall(std::function<void()> call);

// Detaches the queue and drops the messages still waiting (releasing the objects they carry).
void appmsg__shutdown();
