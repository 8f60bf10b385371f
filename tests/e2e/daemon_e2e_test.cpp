// The console daemon run end to end: start-up, receiving, stopping, failures.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "harness.h"

namespace {

using e2e::Daemon;

std::string LogmsgTrace(int pri, const std::string &msg) {
    char head[64];
    std::snprintf(head, sizeof head, "logmsg: pri %o, flags 0, from ", pri);
    return head + e2e::LoopbackSenderName() + ", msg " + msg + "\n";
}

int ExitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DaemonRun, ReceivesAndStopsOnCtrlBreak) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    EXPECT_FALSE(e2e::FileExists(d.dir() + "/eventlog"));  // a console run reports nothing
    ASSERT_TRUE(e2e::SendDatagram("<13>hello"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, "hello"))) << d.Stderr();
    // Stop while the loop is blocked in its wait.
    ASSERT_TRUE(d.WaitForTraceEnd("readfds = 0x1\n"));

    int status = d.Signal(SIGQUIT);  // Ctrl+Break
    EXPECT_EQ(ExitCode(status), 0);
    EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\nStopping Tarnwick.\n");
    std::string trace = d.Stderr();
    EXPECT_NE(trace.find("Terminating All Active Threads.....\n"), std::string::npos);
    EXPECT_NE(trace.find("UpdateServiceStatus(STOP_PENDING)\n"), std::string::npos);
    // The closed socket ends the blocked wait as a failed select.
    EXPECT_NE(trace.find("tarnwick: select\n"), std::string::npos);
    EXPECT_TRUE(e2e::FileExists(d.pidfile()));  // the PID file stays
}

TEST(DaemonRun, WritesThePidFileInTextMode) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    EXPECT_EQ(e2e::ReadFile(d.pidfile()), std::to_string(d.pid()) + "\r\n");
    d.Signal(SIGQUIT);
}

TEST(DaemonRun, DatagramLengthsAroundTheBuffer) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    // Exactly 1024 bytes: received whole.
    std::string exact(1024, 'a');
    ASSERT_TRUE(e2e::SendDatagram(exact));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, exact))) << d.Stderr();
    // Longer: its first 1024 bytes are logged, and the cut is traced.
    std::string longer = std::string(1024, 'b') + std::string(476, 'c');
    ASSERT_TRUE(e2e::SendDatagram(longer));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, std::string(1024, 'b'))));
    EXPECT_NE(d.Stderr().find("datagram longer than 1024 bytes: cut to its first 1024\n"),
              std::string::npos);
    EXPECT_EQ(d.Stderr().find("recvfrom inet"), std::string::npos);
    // Empty: the "got a message" trace and nothing else.
    std::string before = d.Stderr();
    size_t got_before = 0;
    for (size_t at = 0; (at = before.find("got a message", at)) != std::string::npos; ++at) {
        ++got_before;
    }
    ASSERT_TRUE(e2e::SendDatagram(""));
    ASSERT_TRUE(e2e::SendDatagram("<13>after"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, "after")));
    std::string after = d.Stderr();
    size_t got_after = 0;
    for (size_t at = 0; (at = after.find("got a message", at)) != std::string::npos; ++at) {
        ++got_after;
    }
    EXPECT_EQ(got_after, got_before + 2);
    size_t logmsgs_before = 0, logmsgs_after = 0;
    for (size_t at = 0; (at = before.find("logmsg: pri 15, flags 0", at)) != std::string::npos;
         ++at) {
        ++logmsgs_before;
    }
    for (size_t at = 0; (at = after.find("logmsg: pri 15, flags 0", at)) != std::string::npos;
         ++at) {
        ++logmsgs_after;
    }
    EXPECT_EQ(logmsgs_after, logmsgs_before + 1);  // only "after"
    d.Signal(SIGQUIT);
}

TEST(DaemonRun, SigtermAndSigintEndThroughTheSignalPath) {
    for (int sig : {SIGTERM, SIGINT}) {
        Daemon d;
        ASSERT_TRUE(d.Start()) << d.Stderr();
        int status = d.Signal(sig);
        EXPECT_EQ(ExitCode(status), 0) << sig;
        std::string expect = "tarnwick: exiting on signal " + std::to_string(sig) + "\n";
        EXPECT_NE(d.Stderr().find(expect), std::string::npos) << d.Stderr();
        EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\n");  // no "Stopping" line
    }
}

TEST(DaemonRun, FaultSignalsEndWithFailure) {
    for (int sig : {SIGABRT, SIGSEGV}) {
        Daemon d;
        ASSERT_TRUE(d.Start()) << d.Stderr();
        int status = d.Signal(sig);
        EXPECT_EQ(ExitCode(status), 1) << sig;
        EXPECT_NE(d.Stderr().find("exiting on signal " + std::to_string(sig)), std::string::npos);
    }
}

TEST(DaemonRun, TakenPortIsReportedAndTheDaemonRunsOn) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(514);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);

    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    std::string trace = d.Stderr();
    EXPECT_NE(trace.find("[10048] Address already in use"), std::string::npos) << trace;
    EXPECT_NE(trace.find("tarnwick: bind: Address already in use\n"), std::string::npos);
    EXPECT_EQ(trace.find("listening on syslog UDP port"), std::string::npos);
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

TEST(DaemonRun, UnknownSyslogServiceEndsWithFailure) {
    Daemon d;
    ASSERT_TRUE(d.Start({"-debug"}, false, HideSyslogService));
    int status = d.Wait();
    ASSERT_NE(status, -1);
    EXPECT_EQ(ExitCode(status), 1);
    EXPECT_NE(d.Stderr().find("tarnwick: syslog/udp: unknown service\n"), std::string::npos)
        << d.Stderr();
    EXPECT_FALSE(e2e::FileExists(d.pidfile()));
}

TEST(DaemonRun, MissingLogDirectoryEndsWithFailure) {
    Daemon d;
    std::string missing = d.dir() + "/nowhere";
    d.SetRegistry({{"Log Dir", missing}});
    ASSERT_TRUE(d.Start({"-debug"}, false));
    int status = d.Wait();
    EXPECT_EQ(ExitCode(status), 1);
    std::string sentence = "cannot enter log directory " + missing + ": No such file or directory";
    EXPECT_NE(d.Stderr().find(sentence + "\n"), std::string::npos) << d.Stderr();
    EXPECT_EQ(d.Stderr().find("going into tarnwick_loop"), std::string::npos);
    EXPECT_FALSE(e2e::FileExists(missing + "/syslog.pid"));
}

TEST(DaemonRun, TraceFileHoldsTheDebuggerLinesBehindTimeStamps) {
    Daemon d;
    d.SetProfile("DebugFlags=Trace\nLogFile=" + d.dir() + "/trace.txt\n");
    ASSERT_TRUE(d.Start()) << d.Stderr();
    d.Signal(SIGQUIT);
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char name[64];
    std::snprintf(name, sizeof name, "/trace_%04d%02d%02d.LOG", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    std::string file = e2e::ReadFile(d.dir() + name);
    ASSERT_FALSE(file.empty());
    // Every debugger line reaches the file behind "mm/dd hh:mm:ss.mmm: ", its
    // line feeds as CR LF: without the stamps the file is the debugger output.
    auto is_stamp = [&](size_t at) {
        static const char shape[] = "00/00 00:00:00.000: ";
        if (at + sizeof shape - 1 > file.size()) {
            return false;
        }
        for (size_t i = 0; i + 1 < sizeof shape; ++i) {
            char c = file[at + i];
            bool ok = shape[i] == '0' ? c >= '0' && c <= '9' : c == shape[i];
            if (!ok) {
                return false;
            }
        }
        return true;
    };
    std::string bare;
    int stamps = 0;
    for (size_t i = 0; i < file.size();) {
        if ((i == 0 || file[i - 1] == '\n' || file.compare(i - 1, 1, " ") == 0 ||
             std::isalpha(static_cast<unsigned char>(file[i - 1]))) &&
            is_stamp(i)) {
            i += 20;
            ++stamps;
        } else if (file.compare(i, 2, "\r\n") == 0) {
            bare += '\n';
            i += 2;
        } else {
            bare += file[i++];
        }
    }
    EXPECT_EQ(bare, d.Stderr());
    std::string trace = d.Stderr();
    int lines = 0;
    for (const char *label : {"> Trace   : ", "> Warning : ", "> Error   : "}) {
        for (size_t at = 0; (at = trace.find(label, at)) != std::string::npos; ++at) {
            ++lines;
        }
    }
    EXPECT_EQ(stamps, lines);
}

TEST(DaemonRun, RealClientMessageShowsInTheTrace) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    int rc = std::system("logger -n 127.0.0.1 -P 514 --rfc3164 -d hello-from-logger");
    ASSERT_EQ(rc, 0);
    EXPECT_TRUE(d.WaitForTrace("hello-from-logger\n")) << d.Stderr();
    EXPECT_NE(d.Stderr().find("logmsg: pri 15, flags 0, from " + e2e::LoopbackSenderName()),
              std::string::npos);
    d.Signal(SIGQUIT);
}

struct UsageCase {
    std::vector<std::string> args;
};

TEST(ProgramEntry, UnknownSwitchesPrintUsageAndFail) {
    const std::string usage =
        "TARNWICK -install          to install the service\n"
        "TARNWICK -remove           to remove the service\n"
        "TARNWICK -debug <params>   to run as a console app for debugging\n"
        "\nStartServiceCtrlDispatcher being called.\n"
        "This may take several seconds.  Please wait.\n";
    const UsageCase cases[] = {{{}}, {{"debug"}}, {{"-"}}, {{"/"}}, {{"-debugx"}}, {{"-start"}}};
    for (const UsageCase &c : cases) {
        Daemon d;
        ASSERT_TRUE(d.Start(c.args, false));
        int status = d.Wait();
        EXPECT_EQ(ExitCode(status), 1);
        EXPECT_EQ(d.Stdout(), usage);
        EXPECT_EQ(e2e::ReadFile(d.dir() + "/eventlog"),
                  "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: 1063\t"
                  "StartServiceCtrlDispatcher failed.\n");
    }
}

TEST(ProgramEntry, DebugSwitchInAnyCaseRunsTheConsole) {
    for (const char *sw : {"/DEBUG", "-Debug"}) {
        Daemon d;
        ASSERT_TRUE(d.Start({sw, "extra", "args"})) << d.Stderr();
        EXPECT_EQ(ExitCode(d.Signal(SIGQUIT)), 0);
    }
}

}  // namespace
