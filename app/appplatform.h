// What the desktop program needs from the platform: the single-instance lock, the control socket
// through which other invocations and the drive helper reach the running instance, the session
// end, message boxes without a display, the mounter check, the autostart entry, starting a copy
// without elevation and the user's locale.
#pragma once

#include <cstdint>
#include <string>

#include "brerror.h"

// The folder of per-user runtime files: $XDG_RUNTIME_DIR, else a private folder under /tmp
// (created mode 0700 and refused unless it is ours and private). Empty when none is usable.
std::string appplatform__runtimeDir();

// Takes the single-instance lock for the life of the process. Returns 0; -23 when another
// instance holds it; -8 when the lock file cannot be opened (the caller starts anyway).
HB_NODISCARD int32_t appplatform__lockInstance();

// The control socket of the window class `className`: its path under the runtime folder.
std::string appplatform__controlPath(const char *className);

// Starts listening on the control socket of `className`; received tray commands and copy-data
// messages from processes of this user are posted to the main-thread queue (appmsg). Needs the
// GLib default main context. Returns 0 or -8.
HB_NODISCARD int32_t appplatform__listen(const char *className);
// Stops listening and removes the socket.
void appplatform__closeListener();

// The socket is "$XDG_RUNTIME_DIR/QUILLET_BROWSER_BROWSER" (see appplatform__controlPath). A
// message on it is a header in host byte order, { uint32 msg; uint32 dataSize; uint64 wParam;
// int64 lParam } (24 bytes), then dataSize bytes (at most 65536). Several may follow each other
// on one connection. Only MSG_TRAY_COMMAND and MSG_COPYDATA (wParam = kind, the bytes = the
// copied data) are taken; the peer must run as the same user.

// Sends one message to the running instance of `className`, without waiting for it to be
// handled. Returns 0 when sent, -3 when no instance listens, -8 on a transfer failure.
HB_NODISCARD int32_t appplatform__send(const char *className, uint32_t msg, uint64_t wParam,
                                       int64_t lParam, const void *data = nullptr,
                                       uint32_t dataSize = 0);

typedef void (*appplatform_sessionend_fn)(int signal, void *context);
// Calls `fn` on the main loop when the session ends (SIGTERM, SIGHUP; SIGINT from a terminal
// too). Needs the GLib default main context.
void appplatform__watchSessionEnd(appplatform_sessionend_fn fn, void *context);
void appplatform__unwatchSessionEnd();

// True when a graphical display is available.
bool appplatform__hasDisplay();

typedef void (*appplatform_msgbox_fn)(const char *text, const char *caption, bool warning);
// Shows a message box; until the desktop code installs its own, the text goes to the log and
// standard error.
void appplatform__messageBox(const char *text, const char *caption, bool warning);
void appplatform__setMessageBox(appplatform_msgbox_fn fn);
// True once the desktop code has installed its message box.
bool appplatform__hasMessageBox();

// The mounter service command "start" or "stop": FUSE needs no service, so this checks that
// /dev/fuse and fusermount3 are usable. Returns 0, or -15 when they are not.
HB_NODISCARD int32_t appplatform__mounterCommand(const char *verb);

// Mirrors the autostart value to the desktop's autostart entry: `command` non-empty writes the
// entry, empty removes it. Returns 0 or -8.
HB_NODISCARD int32_t appplatform__autostartEntry(const char *command);
// Where the program is installed ("<prefix>/bin").
const char *appplatform__installBinDir();

// Starts a copy of this executable, with no arguments and standard streams on /dev/null, as the
// desktop user when running as root for one (SUDO_UID, PKEXEC_UID), else as is. Never waits.
// Returns 0 or a negative code (callers ignore it).
int32_t appplatform__runNonElevated();

// Opens `url` with the desktop's default handler: xdg-open found on PATH, else GIO's default
// application for the address. Never waits for it. Returns 0, or -8 when nothing could start.
HB_NODISCARD int32_t appplatform__openURL(const char *url);

// The Windows locale identifier of LANG (0x409 when unknown).
uint32_t appplatform__localeId();
