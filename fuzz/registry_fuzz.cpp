// A registry file through the POSIX reader (TARNWICK_REGISTRY), as the
// start-up settings read it, and the reader's contract checked on every
// value found: the size a query gives is the size a read needs, one byte less
// is ERROR_MORE_DATA, and a key that exists has a parent that exists.
#include <cstdlib>
#include <cstring>

#include "platform/registry.h"
#include "scaffold.h"
#include "service/settings.h"

namespace {

const char *const kKeys[] = {"SOFTWARE\\Halvane\\TARNWICK", "SOFTWARE\\Halvane", ""};
const char *const kNames[] = {"Log Dir", "Config File", "", nullptr};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Setup(Warning);
    setenv("TARNWICK_REGISTRY", (fuzz::Scratch() + "/registry.reg").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::WriteScratch("registry.reg", data, size);
    bool child = false;
    for (const char *subkey : kKeys) {
        RegKey key = 0;
        bool found = RegistryOpenKey(kRegLocalMachine, subkey, &key) == kErrorSuccess;
        fuzz::Check(found || !child, "a key below a key that is missing");
        child = found;
        for (int i = 0; found && i < 4; ++i) {
            const char *name = kNames[i];
            uint32_t need = 0;
            if (RegistryQueryValue(key, name, nullptr, &need) != kErrorSuccess) {
                continue;
            }
            char value[4096];
            uint32_t got = need;
            fuzz::Check(need >= 1 && need <= sizeof value, "size of a value");
            fuzz::Check(RegistryQueryValue(key, name, value, &got) == kErrorSuccess &&
                            got == need && std::strlen(value) + 1 == need,
                        "a read of the size the query gave");
            got = need - 1;
            fuzz::Check(RegistryQueryValue(key, name, value, &got) == kErrorMoreData && got == need,
                        "a read one byte short");
        }
        RegistryCloseKey(key);
    }
    char setting[SETTING_SIZE];
    ReadRegValue(kRegLocalMachine, kSettingsKey, "PID File", setting, sizeof setting);
    return 0;
}
