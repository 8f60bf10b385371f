// A profile (TARNWICK_PROFILE) through ProfileString and the trace settings
// read from it (LogReadSettings); then, when the trace file it names stays in
// the scratch folder, LogInit, a trace line and a dump of the input, written
// to that file.  Every path of the input is put under the scratch folder
// (fuzz::Confine).
#include <cstdlib>
#include <cstring>

#include "diag/debug.h"
#include "platform/profile.h"
#include "scaffold.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Setup(0);
    setenv("TARNWICK_PROFILE", (fuzz::Scratch() + "/win.ini").c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::Confine(data, size);
    fuzz::WriteScratch("win.ini", text.data(), text.size());
    char value[8];
    size_t n = ProfileString("tarnwick", "LOGFILE", "default", value, sizeof value);
    fuzz::Check(n == std::strlen(value) && n < sizeof value, "a value cut to its buffer");

    LogResetForTest();
    LogReadSettings("TARNWICK");
    if (LogBaseName()[0] == '\0' || fuzz::InScratch(LogBaseName())) {
        uint32_t mask = LogEnabledMask();
        LogResetForTest();
        LogInit("TARNWICK");
        fuzz::Check(LogEnabledMask() == mask, "the same settings read twice");
        LogEvent(Warning | Error, "%s\n", text.c_str());
        LogDump(mask, data, size, size > 0 ? data[0] : 0, "%zu bytes", size);
    }
    LogResetForTest();
    fuzz::ClearScratch();
    return 0;
}
