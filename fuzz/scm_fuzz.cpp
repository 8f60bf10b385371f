// The service database's records: a record file's text through the parser,
// whose result must format and parse back to itself; the same bytes as a
// status file read from the folder, and as a /proc/<pid>/stat text.
#include <cstring>
#include <string>

#include "platform/posix/scm_store.h"
#include "scaffold.h"

namespace {

bool SameRecord(const ScmRecord &a, const ScmRecord &b) {
    return std::strcmp(a.name, b.name) == 0 && std::strcmp(a.displayName, b.displayName) == 0 &&
           std::strcmp(a.binaryPath, b.binaryPath) == 0 && a.serviceType == b.serviceType &&
           a.startType == b.startType && a.errorControl == b.errorControl &&
           a.deletePending == b.deletePending;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Setup(0);
    setenv(kScmFolderVariable, fuzz::Scratch().c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);

    ScmRecord record;
    if (ScmRecordParse(text.c_str(), &record)) {
        fuzz::Check(record.name[0] != '\0', "a record names a service");
        char formatted[4 * kScmPathSize];
        size_t len = ScmRecordFormat(&record, formatted, sizeof formatted);
        fuzz::Check(len == 0 || std::strlen(formatted) == len, "the length formatted");
        ScmRecord again;
        fuzz::Check(len == 0 || (ScmRecordParse(formatted, &again) && SameRecord(record, again)),
                    "a formatted record parses back to itself");
    }

    fuzz::WriteScratch("fuzz.status", data, size);
    ScmStoredStatus stored;
    ScmStoreReadStatus(fuzz::Scratch().c_str(), "fuzz", &stored);

    ScmProcStatStartTime(text.c_str());
    return 0;
}
