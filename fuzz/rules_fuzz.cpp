// A rule file through init and cfline, then a reload of it (init again).
//
// Every path of the input is put under the scratch folder (fuzz::Confine).
// The first load prints the parser's lines and the listing (to /dev/null);
// between the loads one message is routed twice, so that the reload writes a
// pending repeat line.  Forwarding rules resolve through the fake resolver
// and send through no socket.
#include "scaffold.h"
#include "service/settings.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Setup(Trace);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text = fuzz::Confine(data, size);
    if (!fuzz::Confined(text)) {
        return 0;
    }
    std::string conf = fuzz::WriteScratch("syslog.conf", text.data(), text.size());
    fuzz::ResetEngine();
    std::snprintf(settings.conffile, sizeof settings.conffile, "%s", conf.c_str());

    engine.verbose = 1;
    init();
    logmsg(13, "fuzz", "h1", 0);
    logmsg(13, "fuzz", "h1", 0);
    engine.verbose = 0;
    init();
    for (const LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        fuzz::Check(t->kind != TargetKind::FILE ||
                        (t->fd >= 0 && strnlen(t->dest.filename, FILENAME_SIZE) < FILENAME_SIZE),
                    "a file target with its path and descriptor");
        fuzz::Check(t->kind != TargetKind::FORW || t->dest.forw.forwaddr.family == kAfInet,
                    "a forwarding target with its address");
    }

    EngineResetForTest();
    fuzz::ClearScratch();
    return 0;
}
