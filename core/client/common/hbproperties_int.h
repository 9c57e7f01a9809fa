// Shared between the settings store's platform-neutral part and its database back end.
#pragma once

#include <cstdint>
#include <string>

#include "hbproperties.h"

// Makes `store` the default store when none is installed (the default takes its own reference).
void hbproperties__adoptAsDefaultIfNone(HBProperties *store);

// Writes `value` into `buffer` by getProperty's rules and returns its result.
int32_t hbproperties__deliver(const std::string &value, char *buffer, int32_t size);

// Announces a successful write or delete of `name` in `store` on the event bus, if one exists.
void hbproperties__postChanged(HBProperties *store, const char *name);
