// The console daemon run end to end: start-up, receiving, stopping, failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "harness.h"

namespace {

using e2e::Daemon;
using e2e::ExitCode;

// A message of priority 13 (user.notice, the default), as traced (in octal).
std::string LogmsgTrace(const std::string &msg) {
    return "logmsg: pri 15, flags 0, from " + e2e::LoopbackSenderName() + ", msg " + msg + "\n";
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

// Received whole up to 1024 bytes, cut (and traced) beyond; an empty datagram
// is read and logs nothing.  Ctrl+Break while the loop waits: the closed
// socket ends the wait as a normal end, and the PID file stays.
TEST(DaemonRun, ReceivesAndStopsOnCtrlBreak) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    EXPECT_FALSE(e2e::FileExists(d.dir() + "/eventlog"));  // a console run reports nothing
    const std::string exact(1024, 'a'), longer = std::string(1024, 'b') + "ccc";
    for (const std::string &text : {std::string("<13>hello"), exact, longer, std::string()}) {
        ASSERT_TRUE(e2e::SendDatagram(text));
    }
    ASSERT_TRUE(e2e::SendDatagram("<13>after"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace("after"))) << d.Stderr();
    std::string trace = d.Stderr();
    EXPECT_EQ(Count(trace, LogmsgTrace("hello")) + Count(trace, LogmsgTrace(exact)) +
                  Count(trace, LogmsgTrace(std::string(1024, 'b'))),
              3u);
    EXPECT_EQ(Count(trace, "datagram longer than 1024 bytes: cut to its first 1024\n"), 1u);
    EXPECT_EQ(Count(trace, "got a message"), 5u);
    EXPECT_EQ(Count(trace, "logmsg: pri 15"), 4u);
    ASSERT_TRUE(d.WaitForTraceEnd("readfds = 0x1\n"));
    const std::string pid = std::to_string(d.pid()) + "\r\n";
    EXPECT_EQ(ExitCode(d.Signal(SIGQUIT)), 0);
    EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\nStopping Tarnwick.\n");
    trace = d.Stderr();
    EXPECT_EQ(Count(trace, "select ended by the stop (error 10038)\n"), 1u);
    EXPECT_EQ(Count(trace, "tarnwick: select") + Count(trace, "recvfrom inet"), 0u);
    EXPECT_EQ(e2e::ReadFile(d.pidfile()), pid);
}

// Ctrl+Break while ServiceInit reads the registry (a FIFO, fed only after
// the stop): the run ends in order, and the engine never starts.
TEST(DaemonRun, CtrlBreakDuringTheStartUpEndsTheRun) {
    Daemon d;
    std::string reg = d.dir() + "/registry.reg";
    std::string text = e2e::ReadFile(reg);
    ASSERT_EQ(unlink(reg.c_str()) + mkfifo(reg.c_str(), 0600), 0);
    ASSERT_TRUE(d.Start({"-debug"}, false));
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
    EXPECT_FALSE(e2e::FileExists(d.pidfile()));
}

// SIGTERM and SIGINT end through the signal path (no "Stopping" line), fault
// signals with failure.
TEST(DaemonRun, SignalsEndTheRun) {
    for (int sig : {SIGTERM, SIGINT, SIGABRT, SIGSEGV}) {
        Daemon d;
        ASSERT_TRUE(d.Start()) << d.Stderr();
        EXPECT_EQ(ExitCode(d.Signal(sig)), sig == SIGTERM || sig == SIGINT ? 0 : 1) << sig;
        EXPECT_GT(Count(d.Stderr(), "tarnwick: exiting on signal " + std::to_string(sig) + "\n"),
                  0u);
        EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\n") << sig;
    }
}

TEST(DaemonRun, TakenPortIsReportedAndTheDaemonRunsOn) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(514);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    std::string trace = d.Stderr();
    EXPECT_GT(Count(trace, "[10048] Address already in use"), 0u) << trace;
    EXPECT_GT(Count(trace, "tarnwick: bind: Address already in use\n"), 0u);
    EXPECT_EQ(Count(trace, "listening on syslog UDP port"), 0u);
    EXPECT_TRUE(e2e::FileExists(d.pidfile()));
    EXPECT_EQ(ExitCode(d.Signal(SIGQUIT)), 0);
    close(fd);
}

void HideSyslogService(const Daemon &d) {
    std::string services = d.dir() + "/services";
    e2e::WriteFile(services, "echo\t\t7/udp\n");
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
        mount(services.c_str(), "/etc/services", nullptr, MS_BIND, nullptr) != 0) {
        _exit(126);
    }
}

// Start-up failures end the run with 1, its sentence traced, no PID file.
TEST(DaemonRun, StartUpFailuresEndWithFailure) {
    for (bool service : {true, false}) {
        Daemon d;
        const std::string missing = d.dir() + "/nowhere";
        if (!service) {
            d.SetRegistry({{"Log Dir", missing}});
        }
        ASSERT_TRUE(d.Start({"-debug"}, false, service ? HideSyslogService : nullptr));
        EXPECT_EQ(ExitCode(d.Wait()), 1);
        const std::string sentence =
            service ? "tarnwick: syslog/udp: unknown service\n"
                    : "cannot enter log directory " + missing + ": No such file or directory\n";
        EXPECT_GT(Count(d.Stderr(), sentence), 0u) << d.Stderr();
        EXPECT_EQ(Count(d.Stderr(), "going into tarnwick_loop"), service ? 1u : 0u);
        EXPECT_FALSE(e2e::FileExists(service ? d.pidfile() : missing + "/syslog.pid"));
    }
}

// Every debugger line reaches the trace file behind "mm/dd hh:mm:ss.mmm: ",
// its line feeds as CR LF: without the stamps the file is the debugger output.
TEST(DaemonRun, TraceFileHoldsTheDebuggerLinesBehindTimeStamps) {
    Daemon d;
    d.SetProfile("DebugFlags=Trace\nLogFile=" + d.dir() + "/trace.txt\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    d.Signal(SIGQUIT);
    std::string file = e2e::ReadFile(e2e::DailyFile(d.dir() + "/trace"));
    const std::regex stamp("[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}: ");
    const auto stamps = std::distance(std::sregex_iterator(file.begin(), file.end(), stamp),
                                      std::sregex_iterator());
    std::string bare =
        std::regex_replace(std::regex_replace(file, stamp, ""), std::regex("\r\n"), "\n");
    EXPECT_EQ(bare, d.Stderr());
    EXPECT_GT(stamps, 2);
    EXPECT_EQ(static_cast<size_t>(stamps), Count(d.Stderr(), "> Trace   : ") +
                                               Count(d.Stderr(), "> Warning : ") +
                                               Count(d.Stderr(), "> Error   : "));
}

// (Which arguments do so is checked in service_test.cpp.)
TEST(ProgramEntry, UnknownSwitchesPrintUsageAndFail) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-debugx"}}) {
        Daemon d;
        ASSERT_TRUE(d.Start(args, false));
        EXPECT_EQ(ExitCode(d.Wait()), 1);
        EXPECT_EQ(d.Stdout(),
                  "TARNWICK -install          to install the service\n"
                  "TARNWICK -remove           to remove the service\n"
                  "TARNWICK -debug <params>   to run as a console app for debugging\n"
                  "\nStartServiceCtrlDispatcher being called.\n"
                  "This may take several seconds.  Please wait.\n");
        EXPECT_EQ(e2e::ReadFile(d.dir() + "/eventlog"),
                  "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: 1063\t"
                  "StartServiceCtrlDispatcher failed.\n");
    }
}

}  // namespace
