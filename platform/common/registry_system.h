// The settings store's own key opening behind registry.h, one per platform
// (posix/, win32/); platform/common/registry.cpp checks the arguments first.
#pragma once

#include "platform/registry.h"

// Opens subkey of the local machine's root into *key (0 before the call);
// kErrorSuccess, or kErrorFileNotFound or another Windows code.
long SystemRegistryOpenKey(const char *subkey, RegKey *key);
