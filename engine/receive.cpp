#include "engine/tarnwick.h"

#include <cstdlib>

// Placeholder until the receive loop lands.
void rundaemon() {}
int tarnwick_loop() {
    return 0;
}
void stopdaemon() {
    engine.stoprequested = 1;
}
int reporterr(const char *) {
    return 0;
}
void quitsig(int sig) {
    std::exit(sig == 0 ? 1 : 0);
}
bool LogDirFailed() {
    return false;
}
