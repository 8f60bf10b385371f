#include "diag/debug.h"
#include "engine/tarnwick.h"

// Placeholder until the rule table lands: no rules are ever in force.
const CodeName prionames[] = {{nullptr, -1}};
const CodeName facnames[] = {{nullptr, -1}};
const char *const kindnames[] = {"UNUSED", "FILE", "TTY", "CONSOLE", "FORW", "USERS", "WALL"};

int init() {
    LogEvent(Trace, "init\n");
    return 0;
}
void cfline(const char *, LogTarget *) {}
int namecode(const char *, const CodeName *) {
    return -1;
}
