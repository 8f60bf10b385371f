// The main job end to end: received messages reach their daily files and
// forwarding targets, repeats are collapsed, failing targets are reported.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "harness.h"

namespace {

using e2e::Daemon;

// The lines of a daily file without their 15-character stamps and CR LF.
std::vector<std::string> Unstamped(const Daemon &d, const std::string &name) {
    std::string file = e2e::ReadFile(e2e::DailyFile(d.logdir() + "/" + name));
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = file.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        lines.push_back(file.substr(start + 16, end - start - 16));
    }
    return lines;
}

const std::string kHost = e2e::LoopbackSenderName();
// The daemon's own messages come from the local host name, cut at its first
// dot.
std::string Local() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return std::string(name).substr(0, std::string(name).find('.'));
}

// A sender's stamp is kept; a message without one gets the time received; a
// real client's host name and tag are part of the text.
TEST(MainJob, MessagesReachTheirDailyFilesByteForByte) {
    Daemon d;
    d.SetRules("*.info\t" + d.logdir() + "/messages\nmail.err\t" + d.logdir() + "/mail\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    ASSERT_TRUE(e2e::SendDatagram("<13>hello"));
    ASSERT_TRUE(e2e::SendDatagram("<19>Mar 07 10:00:00 mail trouble"));
    ASSERT_TRUE(e2e::SendDatagram("<15>debug is not selected"));
    ASSERT_TRUE(d.WaitForFile(e2e::DailyFile(d.logdir() + "/messages"), "mail trouble\r\n"));
    ASSERT_EQ(std::system("logger -n 127.0.0.1 -P 514 --rfc3164 -d -p local3.warning -t probe "
                          "hello from logger"),
              0);
    ASSERT_TRUE(d.WaitForFile(e2e::DailyFile(d.logdir() + "/messages"), "from logger\r\n"));
    d.Signal(SIGQUIT);
    std::string messages = e2e::ReadFile(e2e::DailyFile(d.logdir() + "/messages"));
    const std::string stamp = "[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ";
    std::regex stamped(stamp + Local() + " tarnwick: restart\r\n" + stamp + kHost +
                       " hello\r\nMar 07 10:00:00 " + kHost + " mail trouble\r\n" +
                       std::regex_replace(stamp, std::regex("0-3"), " 0-3") + kHost +
                       " [^ ]+ probe: hello from logger\r\n");
    EXPECT_TRUE(std::regex_match(messages, stamped)) << messages;
    EXPECT_EQ(e2e::ReadFile(e2e::DailyFile(d.logdir() + "/mail")),
              "Mar 07 10:00:00 " + kHost + " mail trouble\r\n");
    EXPECT_NE(d.Stdout().find("FILE: " + d.logdir() + "/messages\n"), std::string::npos);
}

// Pending repeats are written at the signal exit and at the orderly stop
// (Ctrl+Break), which logs no line of its own.
TEST(MainJob, RepeatsAreCollapsedAndFlushedOnExit) {
    for (int sig : {SIGTERM, SIGQUIT}) {
        Daemon d;
        d.SetRules("*.info\t" + d.logdir() + "/messages\n");
        ASSERT_TRUE(d.Start()) << d.Stderr();
        for (const char *text : {"same again", "same again", "same again", "different"}) {
            ASSERT_TRUE(e2e::SendDatagram(std::string("<13>") + text));
        }
        ASSERT_TRUE(d.WaitForFile(e2e::DailyFile(d.logdir() + "/messages"), "different\r\n"));
        for (int i = 0; i < 4; ++i) {
            ASSERT_TRUE(e2e::SendDatagram("<13>different"));
        }
        ASSERT_TRUE(d.WaitForTrace("msg repeated 4 times"));
        EXPECT_EQ(e2e::ExitCode(d.Signal(sig)), 0);
        std::vector<std::string> expect = {
            Local() + " tarnwick: restart",           kHost + " same again",
            kHost + " last message repeated 2 times", kHost + " different",
            kHost + " last message repeated 4 times",
        };
        if (sig == SIGTERM) {
            expect.push_back(Local() + " tarnwick: exiting on signal 15");
        }
        EXPECT_EQ(Unstamped(d, "messages"), expect) << sig;
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
    ASSERT_TRUE(d.WaitForFile(e2e::DailyFile(d.logdir() + "/messages"), "second\r\n"));
    d.Signal(SIGQUIT);
    EXPECT_EQ(
        Unstamped(d, "messages"),
        (std::vector<std::string>{Local() + " tarnwick: restart",
                                  Local() + " tarnwick: " + sub + "/x: No such file or directory",
                                  kHost + " first", kHost + " second"}));
}

// Forwarding: the daemon runs in a network namespace of its own, joined to
// the test's by a veth pair (192.0.2.2 on its side, 192.0.2.1 on ours), and
// forwards to a receiver on our side's syslog port.
int ready_pipe[2], go_pipe[2];

void EnterOwnNetns(const Daemon &) {
    char byte = 0;
    if (unshare(CLONE_NEWNET) != 0 || write(ready_pipe[1], &byte, 1) != 1 ||
        read(go_pipe[0], &byte, 1) != 1) {
        _exit(126);
    }
}

TEST(MainJob, ForwardsTheLevelAndTextToAnotherHost) {
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(514);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
    struct timeval tv = {10, 0};
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ASSERT_EQ(pipe(ready_pipe) + pipe(go_pipe), 0);
    Daemon d;
    d.SetRules("*.info\t" + d.logdir() + "/messages\nlocal0.debug\t@192.0.2.1\n");
    ASSERT_TRUE(d.Start({"-debug"}, false, EnterOwnNetns));
    char byte;
    ASSERT_EQ(read(ready_pipe[0], &byte, 1), 1);
    const std::string in_ns = "nsenter -t " + std::to_string(d.pid()) + " -n ";
    ASSERT_EQ(
        std::system(("ip link add tw0 type veth peer name tw1 netns " + std::to_string(d.pid()) +
                     " && ip addr add 192.0.2.1/24 dev tw0 && ip link set tw0 up && " + in_ns +
                     "sh -c 'ip addr add 192.0.2.2/24 dev tw1 && ip link set tw1 up"
                     " && ip link set lo up'")
                        .c_str()),
        0);
    ASSERT_EQ(write(go_pipe[1], &byte, 1), 1);
    ASSERT_TRUE(d.WaitForTrace("tarnwick: restarted")) << d.Stderr();
    // A real client in the daemon's namespace; then repeats pending at
    // Ctrl+Break, forwarded before the socket closes.
    ASSERT_EQ(std::system((in_ns + "logger -n 127.0.0.1 -P 514 --rfc3164 -p local0.err -t probe "
                                   "forward me")
                              .c_str()),
              0);
    char buf[2048];
    ssize_t n = recv(rx, buf, sizeof buf, 0);
    std::string got(buf, n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_TRUE(std::regex_match(got, std::regex("<3> [^ ]+ probe: forward me\n"))) << got;
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
