// The console daemon run end to end: start-up, receiving, stopping, failures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "harness.h"

namespace {

using e2e::Daemon;
using e2e::ExitCode;

std::string LogmsgTrace(int pri, const std::string &msg) {
    char head[64];
    std::snprintf(head, sizeof head, "logmsg: pri %o, flags 0, from ", pri);
    return head + e2e::LoopbackSenderName() + ", msg " + msg + "\n";
}

TEST(DaemonRun, ReceivesAndStopsOnCtrlBreak) {
    Daemon d;
    ASSERT_TRUE(d.Start()) << d.Stderr();
    EXPECT_FALSE(e2e::FileExists(d.dir() + "/eventlog"));  // a console run reports nothing
    ASSERT_TRUE(e2e::SendDatagram("<13>hello"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, "hello"))) << d.Stderr();
    // Stop while the loop is blocked in its wait.
    ASSERT_TRUE(d.WaitForTraceEnd("readfds = 0x1\n"));

    const std::string pid = std::to_string(d.pid()) + "\r\n";
    EXPECT_EQ(ExitCode(d.Signal(SIGQUIT)), 0);  // Ctrl+Break
    EXPECT_EQ(d.Stdout(), "Debugging Tarnwick.\nStopping Tarnwick.\n");
    std::string trace = d.Stderr();
    // The closed socket ends the blocked wait: a normal end, traced only.
    EXPECT_NE(trace.find("select ended by the stop (error 10038)\n"), std::string::npos);
    EXPECT_EQ(trace.find("tarnwick: select"), std::string::npos);
    EXPECT_EQ(e2e::ReadFile(d.pidfile()), pid);  // the PID file stays, in text mode
}

// Ctrl+Break while ServiceInit reads the registry (a FIFO, fed only after
// the stop): the run ends in order, and the engine never starts.
TEST(DaemonRun, CtrlBreakDuringTheStartUpEndsTheRun) {
    Daemon d;
    std::string reg = d.dir() + "/registry.reg";
    std::string text = e2e::ReadFile(reg);
    ASSERT_EQ(unlink(reg.c_str()), 0);
    ASSERT_EQ(mkfifo(reg.c_str(), 0600), 0);
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
    EXPECT_EQ(ExitCode(d.Wait(std::chrono::seconds(5))), 0) << d.Stderr();
    EXPECT_EQ(d.Stderr().find("tm_start"), std::string::npos) << d.Stderr();
    EXPECT_FALSE(e2e::FileExists(d.pidfile()));
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
    auto count = [&](const char *what) {
        std::string trace = d.Stderr();
        size_t n = 0;
        for (size_t at = 0; (at = trace.find(what, at)) != std::string::npos; ++at) {
            ++n;
        }
        return n;
    };
    size_t got = count("got a message"), logged = count("logmsg: pri 15, flags 0");
    ASSERT_TRUE(e2e::SendDatagram(""));
    ASSERT_TRUE(e2e::SendDatagram("<13>after"));
    EXPECT_TRUE(d.WaitForTrace(LogmsgTrace(13, "after")));
    EXPECT_EQ(count("got a message"), got + 2);
    EXPECT_EQ(count("logmsg: pri 15, flags 0"), logged + 1);  // only "after"
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
    std::string file = e2e::ReadFile(e2e::DailyFile(d.dir() + "/trace"));
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

TEST(ProgramEntry, UnknownSwitchesPrintUsageAndFail) {
    const std::string usage =
        "TARNWICK -install          to install the service\n"
        "TARNWICK -remove           to remove the service\n"
        "TARNWICK -debug <params>   to run as a console app for debugging\n"
        "\nStartServiceCtrlDispatcher being called.\n"
        "This may take several seconds.  Please wait.\n";
    // (Which arguments do so is checked in service_test.cpp.)
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"-debugx"}}) {
        Daemon d;
        ASSERT_TRUE(d.Start(args, false));
        int status = d.Wait();
        EXPECT_EQ(ExitCode(status), 1);
        EXPECT_EQ(d.Stdout(), usage);
        EXPECT_EQ(e2e::ReadFile(d.dir() + "/eventlog"),
                  "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: 1063\t"
                  "StartServiceCtrlDispatcher failed.\n");
    }
}

}  // namespace
