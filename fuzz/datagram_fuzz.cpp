// Datagrams through the sender names and takeline to the routing and the
// daily files of a small rule table, loaded once (its forward has no socket:
// the send fails, nothing leaves the process).
//
// The input is a run of datagrams, each ended by a NUL byte (the receive loop
// stores one behind every datagram) and led by five bytes: the clock's step
// (bits 0-5 seconds, bit 6 one day more, bit 7 a sender of another family
// than AF_INET) and the sender's IPv4 address.
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "engine/names_testing.h"
#include "scaffold.h"
#include "service/settings.h"

namespace {

constexpr char kRules[] =
    "*.debug\t/all\n"
    "mail,news.info;uucp.err\t/some\n"
    "*.info;user.none\t\\notuser\n"
    "local7.debug;syslog.err\t/local7\n"
    "user.notice\troot, operator\n"
    "*.info\t@loghost\n"
    "*.emerg\t*\n";

// The table as loaded: each run starts from it.
std::vector<LogTarget> loaded;

// The daily files hold lines of printable 7-bit text, each ended by CR LF.
void CheckFiles() {
    for (const auto &entry : std::filesystem::directory_iterator(fuzz::Scratch())) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t i = 0; i < text.size(); ++i) {
            bool eol = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
            i += eol ? 1 : 0;
            fuzz::Check(eol || (text[i] >= 0x20 && text[i] < 0x7f),
                        "a log file of printable lines");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Setup(Trace);
    fuzz::ResetEngine();
    std::string rules = fuzz::Confine(reinterpret_cast<const uint8_t *>(kRules), sizeof kRules - 1);
    std::string conf = fuzz::WriteScratch("syslog.conf", rules.data(), rules.size());
    std::snprintf(settings.conffile, sizeof settings.conffile, "%s", conf.c_str());
    engine.verbose = 0;
    init();
    for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        // The load's restart line disabled the forward (its send failed).
        if (t->kind == TargetKind::UNUSED && t->dest.forw.forwhost[0] == 'l') {
            t->kind = TargetKind::FORW;
        }
        loaded.push_back(*t);
    }
    fuzz::ClearScratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t i = 0;
    for (LogTarget *t = engine.targets; t != nullptr; t = t->next, ++i) {
        LogTarget keep = *t;  // the list's link and the open descriptor stay
        *t = loaded[i];
        t->next = keep.next;
        t->fd = keep.fd;
    }
    NamesResetForTest();
    fuzz::now_ms = fuzz::kStartMs;

    for (size_t at = 0; at + 5 <= size;) {
        uint8_t step = data[at];
        fuzz::now_ms += ((step & 0x3f) + (step & 0x40 ? 86400 : 0)) * 1000LL;
        SockAddrIn from = {};
        from.family = step & 0x80 ? 0 : kAfInet;
        std::memcpy(&from.addr, data + at + 1, 4);
        char buf[MAXLINE + 1];
        size_t len = strnlen(reinterpret_cast<const char *>(data + at + 5), size - at - 5);
        std::memcpy(buf, data + at + 5, len < MAXLINE ? len : MAXLINE);
        buf[len < MAXLINE ? len : MAXLINE] = '\0';
        ReceiveDatagram(&from, buf);
        // The clock's step ends a wait for a name that has not come yet.
        NamesDue();
        at += 5 + len + 1;
    }
    fuzz::Check(NamesIdleForTest(10000) == 0, "every look-up answered");
    NamesFlush();
    CheckFiles();
    fuzz::ClearScratch();
    return 0;
}
