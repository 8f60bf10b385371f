// A harness for end-to-end runs of the built daemon.
//
// Every test binary under this directory runs inside a private network
// namespace (run-in-netns.sh): the daemon binds the real syslog port 514 and
// all traffic stays on that namespace's loopback.  Each Daemon has a scratch
// directory with its own registry file, profile, rule file, event log and
// service database (TARNWICK_SCM), and runs "tarnwick -debug" with its
// standard output and error in files there.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

using Millis = std::chrono::milliseconds;
constexpr Millis kPatience = std::chrono::seconds(10), kLong = std::chrono::seconds(60);

std::string ReadFile(const std::string &path);  // "" when it cannot be read
void WriteFile(const std::string &path, const std::string &data);
bool FileExists(const std::string &path);
// The daily file of path today: path, underscore, the UTC date, ".LOG".
std::string DailyFile(const std::string &path);
// The daemon's name of a sender on 127.0.0.1: the reverse look-up's name cut
// at its first dot when the rest is the local domain, else the dotted quad.
std::string LoopbackSenderName();
bool SendDatagram(const std::string &data, int port = 514, const char *host = "127.0.0.1");
// The exit code of a wait status, -1 when the process did not exit.
int ExitCode(int status);

// A finished command: its exit code (-1 when it did not exit or ran over its
// time) and its standard output.
struct CommandResult {
    int exitCode;
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

    // Settings written before Start: rule file, registry values (name, data),
    // lines of the profile's TARNWICK section.
    void SetRules(const std::string &rules);
    void SetRegistry(const std::vector<std::pair<std::string, std::string>> &values);
    void SetProfile(const std::string &section_lines);

    // Starts "tarnwick <args>"; with wait_ready, returns once the trace shows
    // "off & running....".  StartSc starts "tarnwick-sc <args>".
    bool Start(const std::vector<std::string> &args = {"-debug"}, bool wait_ready = true,
               Hook before_exec = nullptr);
    bool StartSc(const std::vector<std::string> &args, Hook before_exec = nullptr);
    // Sends sig (or nothing) and waits for the end: the wait status, -1 after
    // the timeout.
    int Signal(int sig) {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
        return Wait();
    }
    int Wait(Millis timeout = kPatience);

    std::string Stdout() const { return ReadFile(dir_ + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_ + "/stderr"); }
    // Waits until the trace holds text (or ends with it); the file holds text.
    bool WaitForTrace(const std::string &text, Millis timeout = kPatience) const {
        return WaitForFile(dir_ + "/stderr", text, timeout);
    }
    bool WaitForTraceEnd(const std::string &text) const;
    bool WaitForFile(const std::string &path, const std::string &text,
                     Millis timeout = kPatience) const;
    pid_t pid() const { return pid_; }

    // Runs "tarnwick <args>" or "tarnwick-sc <args>" with the run's settings
    // and waits for its end (at most timeout).
    CommandResult Tarnwick(const std::vector<std::string> &args, Millis timeout = kLong) const {
        return Command(TARNWICK_BINARY, args, timeout);
    }
    CommandResult Sc(const std::vector<std::string> &args, Millis timeout = kLong) const {
        return Command(TARNWICK_SC_BINARY, args, timeout);
    }
    // The process that last reported the service's state (0: none); whether
    // it runs; waiting for its end.
    pid_t ServicePid() const;
    bool ServiceAlive() const;
    bool WaitServiceEnd(Millis timeout = kPatience) const;

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;  // wait status once reaped
    bool Reap();       // true once the process has ended
    pid_t Launch(const char *program, const std::vector<std::string> &args, Hook before_exec,
                 const std::string &out, const std::string &err) const;
    CommandResult Command(const char *program, const std::vector<std::string> &args,
                          Millis timeout) const;
};

}  // namespace e2e
