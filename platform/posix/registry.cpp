#include "platform/registry.h"

// Placeholder until the registry file reader lands.
long RegistryOpenKey(RegKey, const char *, RegKey *) {
    return kRegNotFound;
}
long RegistryQueryValue(RegKey, const char *, char *, uint32_t *) {
    return kRegNotFound;
}
void RegistryCloseKey(RegKey) {}
