// The main job end to end: received messages reach their daily files and
// forwarding targets, repeats are collapsed, failing targets are reported.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "harness.h"

namespace {

using e2e::Daemon;

std::string DailyFile(const Daemon &d, const std::string &name) {
    return e2e::DailyFile(d.logdir() + "/" + name);
}

// The lines of a log file without their 15-character stamps and CR LF ends.
std::vector<std::string> Unstamped(const std::string &file) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = file.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = file.substr(start, end - start);
        lines.push_back(line.size() > 16 ? line.substr(16) : line);
    }
    return lines;
}

std::string Host() {
    return e2e::LoopbackSenderName();
}

// The daemon's own messages come from the local host name, cut at its first
// dot.
std::string Local() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string local = name;
    return local.substr(0, local.find('.'));
}

TEST(MainJob, MessagesReachTheirDailyFilesByteForByte) {
    Daemon d;
    d.SetRules("*.info\t" + d.logdir() + "/messages\nmail.err\t" + d.logdir() + "/mail\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    ASSERT_TRUE(e2e::SendDatagram("<13>hello"));
    ASSERT_TRUE(e2e::SendDatagram("<19>Mar 07 10:00:00 mail trouble"));
    ASSERT_TRUE(e2e::SendDatagram("<15>debug is not selected"));
    ASSERT_TRUE(d.WaitForFile(DailyFile(d, "messages"), "mail trouble\r\n"));
    std::string messages = e2e::ReadFile(DailyFile(d, "messages"));
    d.Signal(SIGQUIT);

    std::regex stamped("[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] " + Local() +
                       " tarnwick: restart\r\n"
                       "[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] " +
                       Host() +
                       " hello\r\n"
                       "Mar 07 10:00:00 " +
                       Host() + " mail trouble\r\n");
    EXPECT_TRUE(std::regex_match(messages, stamped)) << messages;
    EXPECT_EQ(e2e::ReadFile(DailyFile(d, "mail")),
              "Mar 07 10:00:00 " + Host() + " mail trouble\r\n");
    // The listing of the rule table.
    std::string listing = d.Stdout();
    EXPECT_NE(listing.find("FILE: " + d.logdir() + "/messages\n"), std::string::npos) << listing;
}

TEST(MainJob, RealClientReachesTheFile) {
    Daemon d;
    d.SetRules("*.debug\t" + d.logdir() + "/all\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    ASSERT_EQ(std::system("logger -n 127.0.0.1 -P 514 --rfc3164 -d -p local3.warning -t probe "
                          "hello from logger"),
              0);
    ASSERT_TRUE(d.WaitForFile(DailyFile(d, "all"), "hello from logger\r\n"));
    std::vector<std::string> lines = Unstamped(e2e::ReadFile(DailyFile(d, "all")));
    d.Signal(SIGQUIT);
    ASSERT_EQ(lines.size(), 2u);
    // logger's own stamp is kept; its host name and tag are part of the text.
    std::regex line(Host() + " [^ ]+ probe: hello from logger");
    EXPECT_TRUE(std::regex_match(lines[1], line)) << lines[1];
}

// Pending repeats are written at the signal exit and at the orderly stop
// (Ctrl+Break), which logs no error of its own.
TEST(MainJob, RepeatsAreCollapsedAndFlushedOnExit) {
    for (int sig : {SIGTERM, SIGQUIT}) {
        Daemon d;
        d.SetRules("*.info\t" + d.logdir() + "/messages\n");
        ASSERT_TRUE(d.Start()) << d.Stderr();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(e2e::SendDatagram("<13>same again"));
        }
        ASSERT_TRUE(e2e::SendDatagram("<13>different"));
        ASSERT_TRUE(d.WaitForFile(DailyFile(d, "messages"), "different\r\n"));
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(e2e::SendDatagram("<13>different"));
        }
        ASSERT_TRUE(d.WaitForTrace("msg repeated 4 times"));
        EXPECT_EQ(WEXITSTATUS(d.Signal(sig)), 0);
        std::vector<std::string> lines = Unstamped(e2e::ReadFile(DailyFile(d, "messages")));
        std::vector<std::string> expect = {
            Local() + " tarnwick: restart",
            Host() + " same again",
            Host() + " last message repeated 2 times",
            Host() + " different",
            Host() + " last message repeated 4 times",
        };
        if (sig == SIGTERM) {
            expect.push_back(Local() + " tarnwick: exiting on signal 15");
        }
        EXPECT_EQ(lines, expect) << sig;
    }
}

TEST(MainJob, FailingFileTargetIsDisabledAndReportedToTheOthers) {
    Daemon d;
    std::string sub = d.dir() + "/gone";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    d.SetRules("*.info\t" + sub + "/x\n*.info\t" + d.logdir() + "/messages\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    ASSERT_EQ(std::system(("rm -rf '" + sub + "'").c_str()), 0);
    ASSERT_TRUE(e2e::SendDatagram("<13>first"));
    ASSERT_TRUE(e2e::SendDatagram("<13>second"));
    ASSERT_TRUE(d.WaitForFile(DailyFile(d, "messages"), "second\r\n"));
    std::vector<std::string> lines = Unstamped(e2e::ReadFile(DailyFile(d, "messages")));
    d.Signal(SIGQUIT);
    std::vector<std::string> expect = {
        Local() + " tarnwick: restart",
        Local() + " tarnwick: " + sub + "/x: No such file or directory",
        Host() + " first",
        Host() + " second",
    };
    EXPECT_EQ(lines, expect);
}

// Forwarding: the daemon runs in a network namespace of its own, joined to
// the test's by a veth pair (192.0.2.2 on its side, 192.0.2.1 on ours), and
// forwards to a receiver on our side's syslog port.
int ready_pipe[2];
int go_pipe[2];

void EnterOwnNetns(const Daemon &) {
    char byte = 0;
    if (unshare(CLONE_NEWNET) != 0 || write(ready_pipe[1], &byte, 1) != 1 ||
        read(go_pipe[0], &byte, 1) != 1) {
        _exit(126);
    }
}

TEST(MainJob, ForwardsTheLevelAndTextToAnotherHost) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(514);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    struct timeval tv = {10, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    ASSERT_EQ(pipe(ready_pipe), 0);
    ASSERT_EQ(pipe(go_pipe), 0);
    Daemon d;
    d.SetRules("*.info\t" + d.logdir() + "/messages\nlocal0.debug\t@192.0.2.1\n");
    ASSERT_TRUE(d.Start({"-debug"}, false, EnterOwnNetns));
    char byte;
    ASSERT_EQ(read(ready_pipe[0], &byte, 1), 1);
    std::string pid = std::to_string(d.pid());
    ASSERT_EQ(std::system(("ip link add tw0 type veth peer name tw1 netns " + pid +
                           " && ip addr add 192.0.2.1/24 dev tw0 && ip link set tw0 up"
                           " && nsenter -t " +
                           pid +
                           " -n sh -c 'ip addr add 192.0.2.2/24 dev tw1 && ip link set tw1 up"
                           " && ip link set lo up'")
                              .c_str()),
              0);
    ASSERT_EQ(write(go_pipe[1], &byte, 1), 1);
    ASSERT_TRUE(d.WaitForTrace("off & running....")) << d.Stderr();
    ASSERT_TRUE(d.WaitForTrace("tarnwick: restarted"));

    // A real client in the daemon's namespace.
    ASSERT_EQ(std::system(("nsenter -t " + pid +
                           " -n logger -n 127.0.0.1 -P 514 --rfc3164 -p local0.err -t probe "
                           "forward me")
                              .c_str()),
              0);
    char buf[2048];
    ssize_t n = recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0) << d.Stderr();
    std::string got(buf, static_cast<size_t>(n));
    std::regex forwarded("<3> [^ ]+ probe: forward me\n");
    EXPECT_TRUE(std::regex_match(got, forwarded)) << got;

    // A datagram of 1024 bytes is forwarded whole: "<6> ", its 1019
    // characters of text, and the line feed.
    ASSERT_TRUE(e2e::SendDatagram("<134>" + std::string(1500, 'y'), 514, "192.0.2.2"));
    n = recv(rx, buf, sizeof buf, 0);
    ASSERT_EQ(n, 1024);
    EXPECT_EQ(std::string(buf, 1024), "<6> " + std::string(1019, 'y') + "\n");
    // Tabs spelled out as "^I" make a longer text: cut to 1024 bytes, line
    // feed lost.
    ASSERT_TRUE(e2e::SendDatagram("<134>" + std::string(600, '\t'), 514, "192.0.2.2"));
    n = recv(rx, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    ASSERT_EQ(n, 1024);
    std::string tabs;
    for (int i = 0; i < 510; ++i) {
        tabs += "^I";
    }
    EXPECT_EQ(std::string(buf, 1024), "<6> " + tabs);
    // Repeats pending at Ctrl+Break are forwarded before the socket closes.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(e2e::SendDatagram("<134>again", 514, "192.0.2.2"));
    }
    ASSERT_TRUE(d.WaitForTrace("msg repeated 2 times"));
    EXPECT_EQ(e2e::ExitCode(d.Signal(SIGQUIT)), 0);
    for (const char *line : {"<6> again\n", "<6> last message repeated 2 times\n"}) {
        n = recv(rx, buf, sizeof buf, 0);
        EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), line);
    }
    close(rx);
    std::system("ip link del tw0 2>/dev/null");
}

}  // namespace
