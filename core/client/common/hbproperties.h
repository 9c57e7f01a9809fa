// The settings store: named UTF-8 text values under per-user keys.
//
// A store (`HBProperties`) wraps one key such as "SOFTWARE\\Orvane Tessel Utility\\browser" and
// reads and writes its values. On this platform every key lives in one per-user SQLite database,
// `$XDG_CONFIG_HOME/Orvane Tessel Utility/registry.db` (mode 0600), shared safely by all our
// processes: each write is one atomic transaction, and a busy time-out lets concurrent writers
// wait for each other.
//
// One store, over the application key, is the process-wide default store; every part of the
// program reads its settings from there (`hbproperties__getDefault`). Every successful write or
// delete posts the event "core.property.changed" on the event bus, carrying the value name as a
// string object and the store as the event's object.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hbobj.h"

// Key paths used by the program, written as they are stored (single backslashes).
#define HBPROPERTIES_KEY_BROWSER "SOFTWARE\\Orvane Tessel Utility\\browser"
#define HBPROPERTIES_KEY_TESSELUTILFS "SOFTWARE\\Orvane Tessel Utility\\tesselutilfs"
#define HBPROPERTIES_KEY_LOGFILE "SOFTWARE\\Orvane Tessel Utility\\LogFile"
#define HBPROPERTIES_KEY_SERVER "SOFTWARE\\Orvane Tessel Utility\\Server"
#define HBPROPERTIES_KEY_RUN "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"

// The domain of the event posted after every successful write or delete.
#define HBPROPERTIES_EVENT_CHANGED "core.property.changed"

// The settings interface. Stores are used through this class, never through interface queries:
// `getifc` answers -1 for every number, so there is no kIfc.
struct HBProperties : IHBObj {
  // Reads value `name`. Returns the length of the stored text in UTF-16 units including its
  // terminator (an empty value gives 1), or -3 when the value does not exist. With a null
  // `buffer` only the length is returned. Otherwise the text is written as UTF-8 into `buffer`,
  // at most `size` bytes, always terminated when `size` > 0 (a longer text is cut at a character
  // boundary). A value longer than max(512, size) UTF-16 units counts as missing (-3): callers
  // that expect long values size their buffer from the length (see hbproperties__getString).
  HB_NODISCARD virtual int32_t getProperty(const char *name, char *buffer, int32_t size) = 0;

  // Stores `value` as the text of `name`, or deletes `name` when `value` is null. Returns 0, or
  // -1 when the store refuses (a read-only key, a value to delete that does not exist, a database
  // failure); no event is posted then.
  HB_NODISCARD virtual int32_t setProperty(const char *name, const char *value) = 0;

  // Reads `name` as an integer with the C conventions of an unspecified base (decimal, "0x"
  // hexadecimal, leading "0" octal). Returns 0 or the error of getProperty; *out is untouched on
  // error.
  HB_NODISCARD virtual int32_t getIntProperty(const char *name, int32_t *out);
  // Writes `value` as "%d". Results as setProperty.
  HB_NODISCARD virtual int32_t setIntProperty(const char *name, int32_t value);

  // Reads `name` as a 64-bit integer: leading blanks skipped, then up to 16 hexadecimal digits
  // after "0x"/"0X", 0 for "0" followed by another digit, otherwise up to 20 decimal digits (no
  // sign: "-5" gives 0). Returns 0 or the error of getProperty.
  HB_NODISCARD virtual int32_t getInt64Property(const char *name, int64_t *out);
  // Writes `value` as "%lld". Results as setProperty.
  HB_NODISCARD virtual int32_t setInt64Property(const char *name, int64_t value);

  // Always -1: stores are not queried for interfaces.
  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 protected:
  ~HBProperties() override = default;
};

// How hbproperties__open treats the key.
enum : uint32_t {
  // Read only: a missing key is not created (-3), so its values keep their defaults; writes
  // through the store return -1.
  HBPROPERTIES_READONLY = 0,
  // Read and write, creating the key if missing.
  HBPROPERTIES_CREATE = 1,
};

// The store over the settings database.
class HBPropertiesPosix : public HBObject<HBPropertiesPosix, HBProperties> {
 public:
  // Opens key `keyPath` (see the flags above) and hands one reference to the caller in *out.
  // When no default store exists the new store also becomes the default (the default takes a
  // reference of its own). Returns 0; -3 for a missing read-only key; -8 when the database cannot
  // be opened.
  HB_NODISCARD static int32_t create(const char *keyPath, uint32_t flags, HBProperties **out);

  HB_NODISCARD int32_t getProperty(const char *name, char *buffer, int32_t size) override;
  HB_NODISCARD int32_t setProperty(const char *name, const char *value) override;

  // The key this store wraps; borrowed for the life of the store.
  const char *keyPath() const { return m_keyPath.c_str(); }
  bool writable() const { return m_writable; }

  // Every (name, value) of the key, sorted by name. Returns 0, or -8 on a database failure.
  HB_NODISCARD int32_t list(std::vector<std::pair<std::string, std::string>> *out);

 private:
  HBPropertiesPosix(std::string keyPath, bool writable);
  ~HBPropertiesPosix() override = default;
  friend class HBObject<HBPropertiesPosix, HBProperties>;

  const std::string m_keyPath;
  const bool m_writable;
};

// Opens a store over `keyPath`; the same as HBPropertiesPosix::create.
HB_NODISCARD int32_t hbproperties__open(const char *keyPath, uint32_t flags, HBProperties **out);

// Installs `store` as the process-wide default (taking a reference of its own) and releases the
// earlier default; null clears it. Called by start-up before worker threads read settings.
void hbproperties__setDefault(HBProperties *store);

// Hands one reference to the default store to the caller in *out; returns 0, or -3 when there is
// none.
HB_NODISCARD int32_t hbproperties__getDefault(HBProperties **out);

// Reads the whole text of `name` from `store`, whatever its length. Returns 0 or -3.
HB_NODISCARD int32_t hbproperties__getString(HBProperties *store, const char *name,
                                             std::string *out);

// Reads `name` as a boolean: true when its first character is one of "1TYty", false for any
// other text, `defaultValue` when missing.
bool hbproperties__getBool(HBProperties *store, const char *name, bool defaultValue);

// Reads `name` of the read-only key `keyPath` through a temporary store. Returns 0, or -3 when
// the key or the value is missing (the caller's default applies).
HB_NODISCARD int32_t hbproperties__readKeyValue(const char *keyPath, const char *name,
                                                std::string *out);

// Shortcuts over the default store; each takes a reference for the duration of the call.
// They return -3 when no default store exists or the value is missing.
HB_NODISCARD int32_t hbproperties__getDefaultString(const char *name, std::string *out);
HB_NODISCARD int32_t hbproperties__setDefaultString(const char *name, const char *value);

// User properties of the embedded pages, kept in the default store as "ui." + name (the name cut
// to 60 bytes of UTF-8, the value to 511, both at character boundaries).
// getUserProperty returns 0 with the text, or -3 when missing (an empty value gives 0 and an
// empty text). "yto.computername" always reads the computer name (at most 15 characters).
HB_NODISCARD int32_t hbproperties__getUserProperty(const char *name, std::string *out);
// Stores `value`, or deletes the property when `value` is null. Results as setProperty; -3
// without a default store.
HB_NODISCARD int32_t hbproperties__setUserProperty(const char *name, const char *value);

// The computer name: the host name cut to 15 characters.
std::string hbproperties__computerName();

// The settings database this process uses, computed from XDG_CONFIG_HOME (else ~/.config).
std::string hbproperties__databasePath();
