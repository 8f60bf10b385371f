// The main job end to end: daily files, repeats, forwarding.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <regex>

#include "harness.h"

namespace {

using e2e::Daemon;

const std::string kHost = e2e::LoopbackSenderName();
// The daemon's own messages come from the local host name, cut at its first dot.
std::string Local() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return std::string(name).substr(0, std::string(name).find('.'));
}

// A sender's stamp is kept, a message without one gets the time received;
// repeats are collapsed, those pending written at the signal exit (at
// Ctrl+Break: see the forwarding test).
TEST(MainJob, MessagesReachTheirDailyFilesByteForByte) {
    Daemon d;
    std::string messages = e2e::DailyFile(d.logdir() + "/messages");
    d.SetRules("*.info\t" + d.logdir() + "/messages\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    for (const char *text : {"<13>hello", "<13>hello", "<13>hello",
                             "<19>Mar 07 10:00:00 mail trouble", "<15>not selected"}) {
        ASSERT_TRUE(e2e::SendDatagram(text));
    }
    ASSERT_TRUE(d.WaitForFile(messages, "mail trouble\r\n"));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(e2e::SendDatagram("<13>tail"));
    }
    ASSERT_TRUE(d.WaitForTrace("msg repeated 3 times"));
    EXPECT_EQ(e2e::ExitCode(d.Signal(SIGTERM)), 0);
    const std::string at = "[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] ";
    std::string expected;
    for (const std::string &line :
         {at + Local() + " tarnwick: restart", at + kHost + " hello",
          at + kHost + " last message repeated 2 times",
          "Mar 07 10:00:00 " + kHost + " mail trouble", at + kHost + " tail",
          at + kHost + " last message repeated 3 times",
          at + Local() + " tarnwick: exiting on signal 15"}) {
        expected += line + "\r\n";
    }
    EXPECT_TRUE(std::regex_match(e2e::ReadFile(messages), std::regex(expected)))
        << e2e::ReadFile(messages);
}

// The daemon in a network namespace of its own, joined to ours by a veth pair
// (192.0.2.2 there, 192.0.2.1 here), forwards to our syslog port.
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
    ASSERT_TRUE(d.Start(false, EnterOwnNetns));
    char byte;
    ASSERT_EQ(read(ready_pipe[0], &byte, 1), 1);
    const std::string pid = std::to_string(d.pid()), in_ns = "nsenter -t " + pid + " -n ";
    ASSERT_EQ(
        std::system(("ip link add tw0 type veth peer name tw1 netns " + pid +
                     " && ip addr add 192.0.2.1/24 dev tw0 && ip link set tw0 up && " + in_ns +
                     "sh -c 'ip addr add 192.0.2.2/24 dev tw1 && ip link set tw1 up"
                     " && ip link set lo up'")
                        .c_str()),
        0);
    ASSERT_EQ(write(go_pipe[1], &byte, 1), 1);
    ASSERT_TRUE(d.WaitForTrace("tarnwick: restarted")) << d.Stderr();
    // A real client beside the daemon; then repeats pending at Ctrl+Break,
    // forwarded before the socket closes.
    ASSERT_EQ(std::system((in_ns + "logger -n 127.0.0.1 -P 514 --rfc3164 -p local0.err -t probe "
                                   "forward me")
                              .c_str()),
              0);
    auto receive = [rx] {
        char buf[2048];
        ssize_t n = recv(rx, buf, sizeof buf, 0);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    };
    std::string got = receive();
    EXPECT_TRUE(std::regex_match(got, std::regex("<3> [^ ]+ probe: forward me\n"))) << got;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(e2e::SendDatagram("<134>again", 514, "192.0.2.2"));
    }
    ASSERT_TRUE(d.WaitForTrace("msg repeated 2 times"));
    EXPECT_EQ(e2e::ExitCode(d.Signal(SIGQUIT)), 0);
    EXPECT_EQ(receive(), "<6> again\n");
    EXPECT_EQ(receive(), "<6> last message repeated 2 times\n");
    close(rx);
    std::system("ip link del tw0 2>/dev/null");
}

}  // namespace
