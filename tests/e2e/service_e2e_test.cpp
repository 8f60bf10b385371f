// The daemon as a service of the POSIX service manager, end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using e2e::Count;
using e2e::Daemon;
using e2e::ReadFile;

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

// A daemon whose every message goes to one file.
struct ServiceRun : ::testing::Test {
    void SetUp() override { d.SetRules("*.debug\t" + d.logdir() + "/all\n"); }
    std::string AllFile() const { return e2e::DailyFile(d.logdir() + "/all"); }
    std::string Trace() const { return ReadFile(d.ServiceFile(".out")); }

    Daemon d;
    const std::string binary = std::filesystem::canonical(TARNWICK_BINARY);
};

TEST_F(ServiceRun, WholeRunReloadsUnderLoadAndReportsItsStates) {
    ASSERT_EQ(d.Tarnwick({"-install"}).out, "Tarnwick installed.\n");
    ASSERT_NE(d.Sc({"start", "Tarnwick"}).out.find("STATE : 4  RUNNING\n"), std::string::npos);
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
    EXPECT_EQ(Count(file, " load "), static_cast<size_t>(sent.load()));
    std::string trace = Trace();
    std::string six = "START_PENDING START_PENDING RUNNING STOP_PENDING STOP_PENDING STOPPED ";
    // ServiceMain's STOPPED may follow the control handler's.
    EXPECT_EQ(States(trace).rfind(six, 0), 0u) << States(trace);
    EXPECT_EQ(trace.find("Sanitizer"), std::string::npos) << trace;
}

TEST_F(ServiceRun, LogDirectoryThatCannotBeEntered) {
    std::string missing = d.dir() + "/nowhere";
    d.SetRegistry({{"Log Dir", missing}});
    ASSERT_EQ(d.Tarnwick({"-install"}).out, "Tarnwick installed.\n");
    EXPECT_NE(d.Sc({"start", "Tarnwick"}).out.find("[SC] StartService FAILED 1062:"),
              std::string::npos);
    EXPECT_TRUE(d.WaitServiceEnd());
    EXPECT_EQ(States(Trace()), "START_PENDING START_PENDING STOPPED ");
    std::string sentence = "cannot enter log directory " + missing + ": No such file or directory";
    EXPECT_NE(Trace().find("Error   : " + sentence + "\n"), std::string::npos) << Trace();
    EXPECT_NE(ReadFile(d.dir() + "/eventlog").find("\t" + sentence + "\n"), std::string::npos);
}

// Its path quoted, with a blank; SIGHUP reloads; SIGTERM stops, and so does a
// Ctrl+C, which reaches the whole process group.
TEST_F(ServiceRun, ForegroundRunForSystemd) {
    std::string folder = d.dir() + "/Program Files";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(symlink(binary.c_str(), (folder + "/tarnwick").c_str()), 0);
    ASSERT_EQ(d.Sc({"create", "Tarnwick", "binPath=", "\"" + folder + "/tarnwick\""}).exitCode, 0);
    for (bool terminal : {false, true}) {
        ASSERT_TRUE(d.StartSc({"run", "Tarnwick"}, [](const Daemon &) { setpgid(0, 0); }));
        ASSERT_TRUE(d.WaitForFile(d.ServiceFile(".status"), "16 4 1 0 0 0 0 "));
        if (terminal) {
            kill(-d.pid(), SIGINT);
        } else {
            kill(d.pid(), SIGHUP);  // taken before the SIGTERM: the lower number
            kill(d.pid(), SIGTERM);
        }
        EXPECT_EQ(e2e::ExitCode(d.Wait()), 0) << d.Stdout();
        EXPECT_EQ(Count(d.Stderr(), "re-initing service.....\n"), terminal ? 0u : 1u);
    }
}

}  // namespace
