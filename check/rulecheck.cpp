#include "check/rulecheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/tarnwick.h"
#include "platform/errors.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "service/settings.h"

namespace {

constexpr int kAccepted = 0;
constexpr int kRefused = 1;
constexpr int kUnreadable = 2;

// The run's file as the user named it, and its refused lines.
const char *shown = "";
int refusals = 0;

void Refused(int line, const char *text) {
    std::fprintf(stderr, "%s:%d: %s\n", shown, line, text);
    ++refusals;
}

int Unreadable(const char *what, const char *path, int err) {
    const char *text = RuntimeErrorText(err);
    std::fprintf(stderr, "tarnwick-check: cannot %s %s: %s\n", what, path,
                 text != nullptr ? text : "unknown error");
    return kUnreadable;
}

}  // namespace

int RuleCheckMain(int argc, char **argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: tarnwick-check [FILE]\n");
        return kUnreadable;
    }
    // As the daemon: the rule file is opened, and its file actions are
    // taken, from the log directory.  A file named here is taken from the
    // current folder, which stays when the log directory cannot be entered.
    ReadPathSettings();
    if (argc == 2 && FullPath(argv[1], settings.conffile, sizeof settings.conffile) != 0) {
        return Unreadable("read", argv[1], errno);
    }
    if (ChangeDirectory(settings.logdir) != 0 && argc < 2) {
        return Unreadable("enter log directory", settings.logdir, errno);
    }
    shown = argc == 2 ? argv[1] : settings.conffile;
    refusals = 0;
    // Forwarding hosts are looked up; the socket layer must be up for it.
    SockStartup();

    RuleCheck check = {Refused, 0, 0};
    int verbose = engine.verbose;
    engine.verbose = 0;  // the listing only, not the parser's lines
    engine.check = &check;
    init();
    engine.check = nullptr;
    engine.verbose = verbose;
    std::fflush(stdout);
    if (check.readerror != 0) {
        return Unreadable("read", shown, check.readerror);
    }
    return refusals == 0 ? kAccepted : kRefused;
}
