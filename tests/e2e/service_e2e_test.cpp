// The daemon as a service of the POSIX service manager, end to end:
// installation and removal, whole runs through tarnwick-sc, and the
// foreground run for systemd.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using e2e::Daemon;
using e2e::ReadFile;

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        ++n;
    }
    return n;
}

std::string Binary() {
    char resolved[4096];
    return realpath(TARNWICK_BINARY, resolved) != nullptr ? resolved : TARNWICK_BINARY;
}

// The states a run reported, in order, as its trace shows them.
std::string States(const std::string &trace) {
    std::string states;
    const std::string head = "UpdateServiceStatus(";
    for (size_t at = 0; (at = trace.find(head, at)) != std::string::npos;) {
        at += head.size();
        states += trace.substr(at, trace.find(')', at) - at) + " ";
    }
    return states;
}

// The seven reports of a run that starts and is stopped.  Report 7
// (ServiceMain's, once the loop has returned) may overtake report 6 (the
// control handler's): the handle is then none, and report 6 is not sent.
bool IsWholeRun(const std::string &trace) {
    std::string s = States(trace);
    std::string six = "START_PENDING START_PENDING RUNNING STOP_PENDING STOP_PENDING STOPPED ";
    return s == six || s == six + "STOPPED ";
}

const std::string kStartEvent = "Tarnwick\t1\t0x8001\t0x200003E8\n";
// The head of a ReportServiceError event, up to the error code.
const std::string kErrorEvent = "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: ";
const char kUsage[] = "TARNWICK -install          to install the service\n";

// A daemon whose every message goes to one file.
struct ServiceRun : ::testing::Test {
    void SetUp() override { d.SetRules("*.debug\t" + d.logdir() + "/all\n"); }
    std::string AllFile() const { return e2e::DailyFile(d.logdir() + "/all"); }
    std::string Trace() const { return ReadFile(d.ServiceFile(".out")); }

    Daemon d;
};

// A whole run: installed once, the controls reach it, reloads while a client
// keeps sending lose nothing (every message once, in order), and the removal
// stops it.
TEST_F(ServiceRun, WholeRunReportsControlsAndEvents) {
    ASSERT_EQ(d.Tarnwick({"-install"}).out, "Tarnwick installed.\n");
    EXPECT_NE(ReadFile(d.ServiceFile(".service")).find("\nBinaryPath=\"" + Binary() + "\"\n"),
              std::string::npos);
    EXPECT_EQ(d.Tarnwick({"-install"}).out,
              "CreateService failed - The specified service already exists. (0x431)\n");
    ASSERT_NE(d.Sc({"start", "Tarnwick"}).out.find("STATE : 4  RUNNING\n"), std::string::npos);
    EXPECT_NE(d.Sc({"control", "Tarnwick", "4"}).out.find("STATE : 4  RUNNING\n"),
              std::string::npos);
    EXPECT_EQ(d.Sc({"control", "Tarnwick", "129"}).exitCode, 0);  // reaches it, changes nothing
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread client([&] {
        char text[64];
        while (!done.load()) {
            std::snprintf(text, sizeof text, "<13>load %06d", sent.load());
            sent += e2e::SendDatagram(text) ? 1 : 0;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    constexpr int kReloads = 20;
    for (int i = 0; i < kReloads; ++i) {
        EXPECT_EQ(d.Sc({"control", "Tarnwick", "128"}).exitCode, 0);
    }
    done = true;
    client.join();
    char last[32];
    std::snprintf(last, sizeof last, "load %06d\r\n", sent.load() - 1);
    EXPECT_TRUE(d.WaitForFile(AllFile(), last, std::chrono::seconds(30)));
    EXPECT_NE(d.Sc({"stop", "Tarnwick"}).out.find("STATE : 1  STOPPED\n"), std::string::npos);
    EXPECT_TRUE(d.WaitServiceEnd(std::chrono::seconds(30)));
    std::string file = ReadFile(AllFile());
    EXPECT_EQ(Count(file, "tarnwick: restart\r\n"), 1u + kReloads);
    int next = 0;
    for (size_t at = file.find(" load "); at != std::string::npos;
         at = file.find(" load ", at + 1)) {
        EXPECT_EQ(std::atoi(file.c_str() + at + 6), next++);
    }
    EXPECT_EQ(next, sent.load());
    std::string trace = Trace();
    EXPECT_TRUE(IsWholeRun(trace)) << States(trace);
    EXPECT_EQ(trace.find("Sanitizer"), std::string::npos) << trace;
    // Two events at every start: the start event and the start report.
    EXPECT_EQ(ReadFile(d.dir() + "/eventlog"),
              kStartEvent + kErrorEvent + "0\tTrying to start tarnwick\n");
    // The removal stops a service that runs.
    ASSERT_EQ(d.Sc({"start", "Tarnwick"}).exitCode, 0);
    EXPECT_NE(d.Tarnwick({"-remove"}).out.find("Tarnwick stopped.\nTarnwick removed.\n"),
              std::string::npos);
    EXPECT_TRUE(d.WaitServiceEnd());
    EXPECT_EQ(d.Tarnwick({"-remove"}).out,
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
}

TEST_F(ServiceRun, LogDirectoryThatCannotBeEntered) {
    std::string missing = d.dir() + "/nowhere";
    d.SetRegistry({{"Log Dir", missing}});
    ASSERT_EQ(d.Tarnwick({"-install"}).out, "Tarnwick installed.\n");
    e2e::CommandResult r = d.Sc({"start", "Tarnwick"});
    EXPECT_NE(r.out.find("[SC] StartService FAILED 1062:"), std::string::npos) << r.out;
    EXPECT_TRUE(d.WaitServiceEnd());
    EXPECT_EQ(States(Trace()), "START_PENDING START_PENDING STOPPED ");
    std::string sentence = "cannot enter log directory " + missing + ": No such file or directory";
    EXPECT_NE(Trace().find("Error   : " + sentence + "\n"), std::string::npos) << Trace();
    std::string events = ReadFile(d.dir() + "/eventlog");
    EXPECT_EQ(Count(events, "\n"), 3u) << events;
    EXPECT_NE(events.find("\t" + sentence + "\n"), std::string::npos) << events;
}

// The foreground run for systemd, registered as the installer registers it
// (its path quoted, in a folder whose name has a blank): reloads through
// control 128 and SIGHUP; ended by SIGTERM (systemd's stop), by ExecStop and
// by a Ctrl+C at a terminal, which reaches the whole foreground process group
// but becomes the stop control: the daemon does not see it.
TEST_F(ServiceRun, ForegroundRunForSystemd) {
    std::string folder = d.dir() + "/Program Files";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(symlink(Binary().c_str(), (folder + "/tarnwick").c_str()), 0);
    ASSERT_EQ(d.Sc({"create", "Tarnwick", "binPath=", "\"" + folder + "/tarnwick\""}).exitCode, 0);
    for (const char *end : {"SIGTERM", "stop", "Ctrl+C"}) {
        SCOPED_TRACE(end);
        ASSERT_TRUE(d.StartSc({"run", "Tarnwick"}, [](const Daemon &) { setpgid(0, 0); }));
        ASSERT_TRUE(d.WaitForFile(d.ServiceFile(".status"), "16 4 1 0 0 0 0 "));
        if (std::strcmp(end, "SIGTERM") == 0) {
            EXPECT_EQ(d.Sc({"control", "Tarnwick", "128"}).exitCode, 0);
            kill(d.pid(), SIGHUP);
            for (int i = 0; i < 500 && Count(d.Stderr(), "re-initing service.....\n") < 2; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_EQ(Count(d.Stderr(), "re-initing service.....\n"), 2u);
            kill(d.pid(), SIGTERM);
        } else if (std::strcmp(end, "stop") == 0) {
            EXPECT_EQ(d.Sc({"stop", "Tarnwick"}).exitCode, 0);
        } else {
            kill(-d.pid(), SIGINT);
        }
        EXPECT_EQ(e2e::ExitCode(d.Wait()), 0) << d.Stdout();
        EXPECT_TRUE(IsWholeRun(d.Stderr()));
        EXPECT_NE(d.Stdout().find(kUsage), std::string::npos) << d.Stdout();
    }
}

}  // namespace
