// The console daemon end to end: start-up, receiving, daily files, failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "harness.h"

namespace {

using e2e::Count;
using e2e::Daemon;
using e2e::ExitCode;
using std::filesystem::exists;

// A user.notice message as traced (its priority in octal).
std::string LogmsgTrace(const std::string &msg) {
    return "logmsg: pri 15, flags 0, from " + e2e::LoopbackSenderName() + ", msg " + msg + "\n";
}

// Whole up to 1024 bytes, cut (and traced) beyond; an empty datagram logs
// nothing.  A second daemon finds the port taken, says so and runs on.
// Ctrl+Break while the loop waits ends it normally; the PID file stays.
TEST(DaemonRun, ReceivesAndStopsOnCtrlBreak) {
    Daemon d, second;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    const std::string exact(1024, 'a'), longer = std::string(1024, 'b') + "ccc";
    for (const std::string &text : {std::string("<13>hello"), exact, longer, std::string()}) {
        ASSERT_TRUE(e2e::SendDatagram(text));
    }
    ASSERT_TRUE(e2e::SendDatagram("<13>after"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace("after"))) << d.Stderr();
    std::string trace = d.Stderr();
    EXPECT_EQ(Count(trace, LogmsgTrace(std::string(1024, 'b'))), 1u);
    EXPECT_EQ(Count(trace, "datagram longer than 1024 bytes: cut to its first 1024\n"), 1u);
    EXPECT_EQ(Count(trace, "logmsg: pri 15"), 4u);
    ASSERT_TRUE(second.Start()) << second.Stderr();
    EXPECT_GT(Count(second.Stderr(), "tarnwick: bind: Address already in use\n"), 0u);
    EXPECT_EQ(Count(second.Stderr(), "listening on syslog UDP port"), 0u);
    EXPECT_TRUE(exists(second.pidfile()));
    EXPECT_EQ(ExitCode(second.Signal(SIGQUIT)), 0);
    const std::string pid = std::to_string(d.pid()) + "\r\n";
    EXPECT_EQ(ExitCode(d.Signal(SIGQUIT)), 0);
    EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\nStopping Tarnwick.\n");
    trace = d.Stderr();
    EXPECT_EQ(Count(trace, "select ended by the stop (error 10038)\n"), 1u);
    EXPECT_EQ(Count(trace, "tarnwick: select") + Count(trace, "recvfrom inet"), 0u);
    EXPECT_EQ(e2e::ReadFile(d.pidfile()), pid);
    EXPECT_FALSE(exists(d.dir() + "/eventlog"));  // a console run reports nothing
}

// Ctrl+Break while ServiceInit reads the registry (a FIFO, fed only after
// the stop): the run ends in order, and the engine never starts.
TEST(DaemonRun, CtrlBreakDuringTheStartUpEndsTheRun) {
    Daemon d;
    std::string reg = d.dir() + "/registry.reg", text = e2e::ReadFile(reg);
    ASSERT_EQ(unlink(reg.c_str()) + mkfifo(reg.c_str(), 0600), 0);
    ASSERT_TRUE(d.Start(false));
    int fifo = -1;  // opens once the daemon waits in its open
    for (int i = 0; i < 500 && (fifo = open(reg.c_str(), O_WRONLY | O_NONBLOCK)) < 0; ++i) {
        usleep(20000);
    }
    ASSERT_GE(fifo, 0) << d.Stderr();
    EXPECT_EQ(kill(d.pid(), SIGQUIT), 0);
    EXPECT_TRUE(d.WaitForFile(d.dir() + "/stdout", "Stopping Tarnwick.\n"));
    e2e::WriteFile(reg + ".new", text);  // the later reads take the file
    ASSERT_EQ(rename((reg + ".new").c_str(), reg.c_str()), 0);
    EXPECT_EQ(write(fifo, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fifo);
    EXPECT_EQ(ExitCode(d.Wait()), 0) << d.Stderr();
    EXPECT_EQ(Count(d.Stderr(), "tm_start"), 0u) << d.Stderr();
    EXPECT_FALSE(exists(d.pidfile()));
}

// SIGINT ends through the signal path (no "Stopping" line), a fault signal
// with failure (SIGTERM: see the main job's test).
TEST(DaemonRun, SignalsEndTheRun) {
    for (int sig : {SIGINT, SIGSEGV}) {
        Daemon d;
        ASSERT_TRUE(d.Start()) << d.Stderr();
        EXPECT_EQ(ExitCode(d.Signal(sig)), sig == SIGINT ? 0 : 1) << sig;
        EXPECT_GT(Count(d.Stderr(), "tarnwick: exiting on signal " + std::to_string(sig)), 0u);
        EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\n") << sig;
    }
}

void HideSyslogService(const Daemon &d) {
    std::string services = d.dir() + "/services";
    e2e::WriteFile(services, "echo\t\t7/udp\n");
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(services.c_str(), "/etc/services", nullptr, MS_BIND, nullptr) != 0) {
        _exit(126);
    }
}

// A start-up failure ends the run with 1, its sentence traced, no PID file.
TEST(DaemonRun, UnknownSyslogServiceEndsTheRun) {
    Daemon d;
    ASSERT_TRUE(d.Start(false, HideSyslogService));
    EXPECT_EQ(ExitCode(d.Wait()), 1);
    EXPECT_GT(Count(d.Stderr(), "tarnwick: syslog/udp: unknown service\n"), 0u) << d.Stderr();
    EXPECT_FALSE(exists(d.pidfile()));
}

const std::string kHost = e2e::LoopbackSenderName();
// The daemon's own messages come from the local host name, cut at its first dot.
std::string Local() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return std::string(name).substr(0, std::string(name).find('.'));
}

// A sender's stamp is kept, a message without one gets the time received;
// repeats are collapsed, those pending written at the signal exit.
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
    EXPECT_EQ(ExitCode(d.Signal(SIGTERM)), 0);
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

}  // namespace
