// End-to-end runs of the built daemon in a private network namespace
// (run-in-netns.sh).  Each Daemon has a scratch directory with its registry
// file, profile, rule file, event log, service database and output files.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "test_util.h"

namespace e2e {

using Millis = std::chrono::milliseconds;
constexpr Millis kPatience = std::chrono::seconds(10);
using testutil::ReadFile;
using testutil::WriteFile;

// path, underscore, today's UTC date, ".LOG".
std::string DailyFile(const std::string &path);
// The daemon's name of 127.0.0.1 (the look-up's name cut at the local domain).
std::string LoopbackSenderName();
bool SendDatagram(const std::string &data, int port = 514, const char *host = "127.0.0.1");
int ExitCode(int status);  // -1 when the process did not exit
size_t Count(const std::string &text, const std::string &what);

struct CommandResult {
    int exitCode;  // -1 when it did not exit or ran over its time
    std::string out;
};

class Daemon {
  public:
    using Hook = void (*)(const Daemon &);  // run in the child before exec
    Daemon();
    ~Daemon();

    const std::string &dir() const { return dir_; }
    std::string logdir() const { return dir_ + "/log"; }
    std::string pidfile() const { return logdir() + "/syslog.pid"; }
    std::string ServiceFile(const std::string &ext) const { return dir_ + "/scm/tarnwick" + ext; }

    // Written before a start: the rule file, the registry values (no '\\' or
    // '"' in them).
    void SetRules(const std::string &rules);
    void SetRegistry(const std::vector<std::pair<std::string, std::string>> &values);

    // Starts "tarnwick -debug" (with wait_ready, until it runs) or "tarnwick-sc <args>".
    bool Start(bool wait_ready = true, Hook before_exec = nullptr);
    bool StartSc(const std::vector<std::string> &args, Hook before_exec = nullptr) {
        return Launch(TARNWICK_SC_BINARY, args, before_exec);
    }
    int Signal(int sig);  // sends sig and waits: the wait status, -1 after the timeout
    int Wait(Millis timeout = kPatience);
    pid_t pid() const { return pid_; }

    std::string Stdout() const { return ReadFile(dir_ + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_ + "/stderr"); }
    bool WaitForTrace(const std::string &text) const { return WaitForFile(dir_ + "/stderr", text); }
    bool WaitForFile(const std::string &path, const std::string &text,
                     Millis timeout = kPatience) const;

    // Runs "tarnwick <args>" or "tarnwick-sc <args>" to its end.
    CommandResult Tarnwick(const std::vector<std::string> &args) const {
        return Command(TARNWICK_BINARY, args);
    }
    CommandResult Sc(const std::vector<std::string> &args) const {
        return Command(TARNWICK_SC_BINARY, args);
    }
    // Waits until the process that last reported the service's state has ended.
    bool WaitServiceEnd(Millis timeout = kPatience) const;

  private:
    testutil::TempDir scratch_;
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;  // wait status once reaped
    bool Reap();       // true once the process has ended
    pid_t ServicePid() const;
    bool ServiceAlive() const;
    bool Launch(const char *program, const std::vector<std::string> &args, Hook before_exec);
    pid_t Fork(const char *program, const std::vector<std::string> &args, Hook before_exec,
               const std::string &out, const std::string &err) const;
    CommandResult Command(const char *program, const std::vector<std::string> &args) const;
};

}  // namespace e2e
