#include "platform/registry.h"

#include "platform/common/registry_system.h"
#include "platform/errors.h"

long RegistryOpenKey(RegKey root, const char *subkey, RegKey *key) {
    if (key == nullptr) {
        return kErrorFileNotFound;
    }
    *key = 0;
    // Only the local machine's root is read; on Windows its predefined handle
    // is our 32-bit value sign-extended.
    if (root != kRegLocalMachine) {
        return kErrorFileNotFound;
    }
    return SystemRegistryOpenKey(subkey, key);
}
