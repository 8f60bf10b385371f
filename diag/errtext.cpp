#include "diag/errtext.h"

#include "diag/debug.h"

// Placeholder until the string table lands.
int LoadErrorText(unsigned long, char *, size_t) {
    return 0;
}
void TraceSysError(unsigned long code, const char *file, int line) {
    LogEvent(Error, "SYSTEM_ERROR(%ld): Unknown Error(%d)\n (%s : L'%d)\n", static_cast<long>(code),
             static_cast<int>(code), file, line);
}
