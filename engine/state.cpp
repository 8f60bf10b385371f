#include <cstring>

#include "engine/tarnwick.h"
#include "engine/tarnwick_testing.h"
#include "platform/textfile.h"

EngineState engine;

void DropTargets() {
    for (LogTarget *t = engine.targets; t != nullptr;) {
        LogTarget *next = t->next;
        // Files, terminals and consoles own a descriptor.
        if ((t->kind == TargetKind::FILE || t->kind == TargetKind::TTY ||
             t->kind == TargetKind::CONSOLE) &&
            t->fd >= 0) {
            TextClose(t->fd);
        }
        delete t;
        t = next;
    }
    engine.targets = nullptr;
}

void EngineResetForTest() {
    OutputResetForTest();
    DropTargets();
    engine.rulesready = 0;
    engine.verbose = 1;
    engine.check = nullptr;
    engine.stoprequested = 0;
    engine.portbound = 0;
    engine.syslogport = 0;
    engine.logsock = kInvalidSocket;
    std::memset(engine.myhostname, 0, sizeof engine.myhostname);
    std::memset(engine.mydomain, 0, sizeof engine.mydomain);
    engine.marktimer = -1;
    std::memset(&engine.constarget, 0, sizeof engine.constarget);
    engine.markelapsed = 0;
    engine.lockdepth = 0;
    engine.quitter.store(std::thread::id());
    engine.stampvalid = 0;
}
