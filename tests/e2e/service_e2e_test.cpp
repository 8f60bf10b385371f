// The daemon as a service of the POSIX service manager, end to end:
// installation and removal, a start through tarnwick-sc, the controls, the
// status reports and event reports of a whole run, the foreground run for
// systemd, and reloads while messages keep coming.
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
#include <vector>

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

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::string Binary() {
    char resolved[4096];
    return realpath(TARNWICK_BINARY, resolved) != nullptr ? resolved : TARNWICK_BINARY;
}

const char kUsage[] =
    "TARNWICK -install          to install the service\n"
    "TARNWICK -remove           to remove the service\n"
    "TARNWICK -debug <params>   to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

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
// (ServiceMain, once the loop has returned) may overtake report 6 (the
// control handler, right after the stop); the handle is none after report 7,
// so report 6 is then not sent.
::testing::AssertionResult IsWholeRun(const std::string &trace) {
    const std::string six =
        "START_PENDING START_PENDING RUNNING STOP_PENDING STOP_PENDING STOPPED ";
    std::string states = States(trace);
    if (states == six || states == six + "STOPPED ") {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "states: " << states;
}

const char kStartEvent[] = "Tarnwick\t1\t0x8001\t0x200003E8";
// The head of a ReportServiceError event, up to the error code.
const std::string kErrorEvent = "Tarnwick\t1\t0x0000\t0x00000000\tTarnwick error: ";

// A daemon whose every message goes to one file.
struct ServiceRun : ::testing::Test {
    void SetUp() override { d.SetRules("*.debug\t" + d.logdir() + "/all\n"); }
    std::string AllFile() const { return e2e::DailyFile(d.logdir() + "/all"); }
    // Installs and starts the service; true once it runs.
    bool InstallAndStart() {
        e2e::CommandResult r = d.Tarnwick({"-install"});
        EXPECT_EQ(r.out, "Tarnwick installed.\n");
        r = d.Sc({"start", "Tarnwick"});
        EXPECT_EQ(r.exitCode, 0) << r.out << ReadFile(d.ServiceFile(".out"));
        return r.exitCode == 0 && r.out.find("STATE : 4  RUNNING\n") != std::string::npos;
    }
    std::string Trace() const { return ReadFile(d.ServiceFile(".out")); }

    Daemon d;
};

TEST(ServiceInstall, InstallTwiceRemoveTwice) {
    Daemon d;
    e2e::CommandResult r = d.Tarnwick({"-install"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Tarnwick installed.\n");
    std::string record = ReadFile(d.ServiceFile(".service"));
    EXPECT_NE(record.find("Name=Tarnwick\nDisplayName=Tarnwick\nType=16\nStartType=3\n"
                          "ErrorControl=1\nBinaryPath=\"" +
                          Binary() + "\"\n"),
              std::string::npos)
        << record;

    r = d.Tarnwick({"/INSTALL"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "CreateService failed - The specified service already exists. (0x431)\n");

    // Not running: no stop, straight to the deletion.
    r = d.Tarnwick({"-Remove"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "Tarnwick removed.\n");
    EXPECT_FALSE(e2e::FileExists(d.ServiceFile(".service")));

    r = d.Tarnwick({"-remove"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
}

TEST_F(ServiceRun, WholeRunReportsControlsAndEvents) {
    ASSERT_TRUE(InstallAndStart());
    // Started by the manager, the program prints its usage lines all the same.
    EXPECT_NE(Trace().find(kUsage), std::string::npos) << Trace();

    ASSERT_TRUE(e2e::SendDatagram("<13>first"));
    EXPECT_TRUE(d.WaitForFile(AllFile(), "first\r\n"));

    e2e::CommandResult r = d.Sc({"control", "Tarnwick", "4"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("STATE : 4  RUNNING\n"), std::string::npos) << r.out;
    EXPECT_NE(Trace().find("interrogating service.....\n"), std::string::npos);

    // Codes the service does not know reach it and change nothing.
    for (const char *code : {"129", "200", "255"}) {
        EXPECT_EQ(d.Sc({"control", "Tarnwick", code}).exitCode, 0) << code;
    }
    // Codes the manager refuses.
    r = d.Sc({"control", "Tarnwick", "2"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "[SC] ControlService FAILED 1052:\n\nThe requested control is not valid for this "
              "service.\n\n");
    r = d.Sc({"start", "Tarnwick"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "[SC] StartService FAILED 1056:\n\nAn instance of the service is already "
              "running.\n\n");

    r = d.Sc({"control", "Tarnwick", "128"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(Trace().find("re-initing service.....\n"), std::string::npos);
    EXPECT_EQ(Count(ReadFile(AllFile()), "tarnwick: restart\r\n"), 2u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(e2e::SendDatagram("<13>second"));
    }
    EXPECT_TRUE(d.WaitForFile(d.ServiceFile(".out"), "msg repeated 2 times"));

    r = d.Sc({"stop", "Tarnwick"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("STATE : 1  STOPPED\n"), std::string::npos) << r.out;
    EXPECT_TRUE(d.WaitServiceEnd());
    // The stop writes the pending repeats last: no error of its own follows.
    std::string all = ReadFile(AllFile());
    const std::string repeats = " last message repeated 2 times\r\n";
    EXPECT_EQ(all.rfind(repeats), all.size() - repeats.size()) << all;

    std::string trace = Trace();
    EXPECT_TRUE(IsWholeRun(trace));
    EXPECT_EQ(ReadFile(d.ServiceFile(".status")).find("16 1 1 0 0 0 0 "), 0u);
    EXPECT_EQ(Count(trace, "interrogating service.....\n"), 1u);
    EXPECT_EQ(Count(trace, "re-initing service.....\n"), 1u);
    EXPECT_EQ(Count(trace, "Terminating All Active Threads.....\n"), 1u);
    EXPECT_EQ(trace.find("Sanitizer"), std::string::npos) << trace;

    // Two error-type events at every start: the start event and the start
    // report.
    std::vector<std::string> events = Lines(ReadFile(d.dir() + "/eventlog"));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], kStartEvent);
    EXPECT_EQ(events[1].compare(0, kErrorEvent.size(), kErrorEvent), 0) << events[1];
    EXPECT_EQ(events[1].substr(events[1].size() - 25), "\tTrying to start tarnwick");

    // Stopped: removal deletes it without waiting.
    r = d.Tarnwick({"-remove"});
    EXPECT_EQ(r.out, "Tarnwick removed.\n");
}

TEST_F(ServiceRun, RemoveStopsARunningService) {
    ASSERT_TRUE(InstallAndStart());
    e2e::CommandResult r = d.Tarnwick({"-remove"});
    EXPECT_EQ(r.exitCode, 0);
    // The stop completes within the first second: no dots.
    EXPECT_EQ(r.out, "Stopping Tarnwick.\nTarnwick stopped.\nTarnwick removed.\n");
    EXPECT_TRUE(d.WaitServiceEnd());
    r = d.Sc({"query", "Tarnwick"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "[SC] OpenService FAILED 1060:\n\nThe specified service does not exist as an "
              "installed service.\n\n");
}

TEST_F(ServiceRun, LogDirectoryThatCannotBeEntered) {
    std::string missing = d.dir() + "/nowhere";
    d.SetRegistry({{"Log Dir", missing}});
    ASSERT_EQ(d.Tarnwick({"-install"}).out, "Tarnwick installed.\n");
    e2e::CommandResult r = d.Sc({"start", "Tarnwick"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("STATE : 1  STOPPED\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[SC] StartService FAILED 1062:"), std::string::npos) << r.out;
    EXPECT_TRUE(d.WaitServiceEnd());
    // Reports 1, 2 and 7.
    EXPECT_EQ(States(Trace()), "START_PENDING START_PENDING STOPPED ");
    std::string sentence = "cannot enter log directory " + missing + ": No such file or directory";
    EXPECT_NE(Trace().find("Error   : " + sentence + "\n"), std::string::npos) << Trace();
    std::vector<std::string> events = Lines(ReadFile(d.dir() + "/eventlog"));
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], kStartEvent);
    EXPECT_EQ(events[2].compare(0, kErrorEvent.size(), kErrorEvent), 0) << events[2];
    EXPECT_EQ(events[2].substr(events[2].find('\t', kErrorEvent.size())), "\t" + sentence);
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
            for (auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                 Count(d.Stderr(), "re-initing service.....\n") < 2 &&
                 std::chrono::steady_clock::now() < limit;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            EXPECT_EQ(Count(d.Stderr(), "re-initing service.....\n"), 2u);
            EXPECT_NE(d.Sc({"run", "Tarnwick"}).out.find("FAILED 1056"), std::string::npos);
            kill(d.pid(), SIGTERM);
        } else if (std::strcmp(end, "stop") == 0) {
            EXPECT_EQ(d.Sc({"stop", "Tarnwick"}).exitCode, 0);
        } else {
            kill(-d.pid(), SIGINT);
        }
        EXPECT_EQ(e2e::ExitCode(d.Wait()), 0) << d.Stdout();
        EXPECT_TRUE(IsWholeRun(d.Stderr()));
        // The service's output is the runner's.
        EXPECT_NE(d.Stdout().find(kUsage), std::string::npos) << d.Stdout();
    }
}

TEST_F(ServiceRun, ServiceKilledIsRecordedAborted) {
    ASSERT_TRUE(InstallAndStart());
    pid_t pid = d.ServicePid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGKILL);
    EXPECT_TRUE(d.WaitServiceEnd());
    e2e::CommandResult r = d.Sc({"query", "Tarnwick"});
    EXPECT_NE(r.out.find("STATE : 1  STOPPED\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("WIN32_EXIT_CODE : 1067  (0x42b)\n"), std::string::npos) << r.out;
    r = d.Sc({"stop", "Tarnwick"});
    EXPECT_EQ(r.out, "[SC] ControlService FAILED 1062:\n\nThe service has not been started.\n\n");
    // It starts again.
    r = d.Sc({"start", "Tarnwick"});
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(d.Sc({"stop", "Tarnwick"}).exitCode, 0);
}

// Reloads while a client keeps sending: every message lands in the file once,
// in order, and every reload logs its restart.
TEST_F(ServiceRun, ReloadsUnderLoadLoseNothing) {
    ASSERT_TRUE(InstallAndStart());
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread client([&] {
        char text[64];
        while (!done.load()) {
            std::snprintf(text, sizeof text, "<13>load %06d", sent.load());
            if (e2e::SendDatagram(text)) {
                ++sent;
            }
            // A steady stream well within what the daemon writes: the test
            // is about the reloads, not the socket's buffer.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    constexpr int kReloads = 20;
    int refused = 0;
    for (int i = 0; i < kReloads; ++i) {
        if (d.Sc({"control", "Tarnwick", "128"}).exitCode != 0) {
            ++refused;
        }
    }
    done = true;
    client.join();
    EXPECT_EQ(refused, 0);
    ASSERT_GT(sent.load(), kReloads);
    char last[32];
    std::snprintf(last, sizeof last, "load %06d\r\n", sent.load() - 1);
    EXPECT_TRUE(d.WaitForFile(AllFile(), last, std::chrono::seconds(30)));
    EXPECT_EQ(d.Sc({"stop", "Tarnwick"}).exitCode, 0);
    EXPECT_TRUE(d.WaitServiceEnd(std::chrono::seconds(30)));

    std::string file = ReadFile(AllFile());
    EXPECT_EQ(Count(file, "tarnwick: restart\r\n"), 1u + kReloads);
    int next = 0;
    bool in_order = true;
    for (const std::string &line : Lines(file)) {
        size_t at = line.find(" load ");
        if (at == std::string::npos) {
            continue;
        }
        if (std::atoi(line.c_str() + at + 6) != next) {
            in_order = false;
        }
        ++next;
    }
    EXPECT_TRUE(in_order);
    EXPECT_EQ(next, sent.load());
    std::string trace = Trace();
    EXPECT_EQ(Count(trace, "re-initing service.....\n"), static_cast<size_t>(kReloads));
    EXPECT_EQ(trace.find("Sanitizer"), std::string::npos) << trace.substr(trace.find("Sanitizer"));
}

}  // namespace
