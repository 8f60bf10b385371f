// A harness for end-to-end runs of the built daemon.
//
// Every test binary under this directory runs inside a private network
// namespace (run-in-netns.sh), so the daemon binds the real syslog port 514
// and all traffic stays on that namespace's loopback.  Each Daemon gets a
// scratch directory with its own registry file, profile and rule file, and
// runs "tarnwick -debug" with its standard output and error in files there.
// The service database of the run (TARNWICK_SCM) lies in the scratch
// directory too, so that installing and starting the service as a service
// touches nothing outside it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

// Reads a whole file ("" when it cannot be read).
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &data);
bool FileExists(const std::string &path);

// The daily file of path today: path, underscore, the date, ".LOG" (the runs
// use TZ=UTC).
std::string DailyFile(const std::string &path);

// The name the daemon gives a sender on 127.0.0.1: the reverse look-up's
// name cut at its first dot when the rest is the local domain, else the
// dotted quad.
std::string LoopbackSenderName();

// Sends one datagram to host:port.  Returns true when it went out.
bool SendDatagram(const std::string &data, int port = 514, const char *host = "127.0.0.1");

// The exit code of a wait status, -1 when the process did not exit.
int ExitCode(int status);

// A finished command: its exit code (-1 when it did not exit, or ran over
// its time) and its standard output.
struct CommandResult {
    int exitCode;
    std::string out;
};

class Daemon {
  public:
    Daemon();
    ~Daemon();

    // The scratch directory and the paths of the run.
    const std::string &dir() const { return dir_; }
    std::string logdir() const { return dir_ + "/log"; }
    std::string pidfile() const { return logdir() + "/syslog.pid"; }
    // The service database and the files of the service "Tarnwick" in it.
    std::string scm() const { return dir_ + "/scm"; }
    std::string ServiceFile(const std::string &ext) const { return scm() + "/tarnwick" + ext; }

    // Settings written before Start: rule file text, registry values (name,
    // data), profile lines of the TARNWICK section.
    void SetRules(const std::string &rules);
    void SetRegistry(const std::vector<std::pair<std::string, std::string>> &values);
    void SetProfile(const std::string &section_lines);

    // Starts "tarnwick <args>" (default -debug).  With wait_ready, returns
    // once the trace shows "off & running....".  before_exec runs in the child
    // (for example to enter a mount namespace).
    bool Start(const std::vector<std::string> &args = {"-debug"}, bool wait_ready = true,
               void (*before_exec)(const Daemon &) = nullptr);
    // Starts "tarnwick-sc <args>" the same way (without waiting for anything).
    bool StartSc(const std::vector<std::string> &args,
                 void (*before_exec)(const Daemon &) = nullptr);
    // Sends sig and waits for the process to end; returns its wait status.
    int Signal(int sig);
    // Waits for the process to end by itself; returns its wait status, or -1
    // after timeout.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    std::string Stdout() const { return ReadFile(dir_ + "/stdout"); }
    std::string Stderr() const { return ReadFile(dir_ + "/stderr"); }
    // Waits until the standard error (the trace) holds text; false after the
    // timeout.
    bool WaitForTrace(const std::string &text,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until the trace ends with text.
    bool WaitForTraceEnd(const std::string &text,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until the file holds text.
    bool WaitForFile(const std::string &path, const std::string &text,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    pid_t pid() const { return pid_; }

    // Runs "tarnwick <args>" or "tarnwick-sc <args>" with the run's settings
    // in the environment, and waits for it to end (at most timeout).
    CommandResult Tarnwick(const std::vector<std::string> &args,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    CommandResult Sc(const std::vector<std::string> &args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
    // The id of the process that last reported the service's state, 0 when
    // none; whether it still runs.
    pid_t ServicePid() const;
    bool ServiceAlive() const;
    // Waits until the service's process has ended.
    bool WaitServiceEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;             // wait status once the process has been reaped
    bool Reap();                  // true once the process has ended (status_ set)
    void SetEnvironment() const;  // in a child: the run's settings
    bool Spawn(const char *program, const std::vector<std::string> &args,
               void (*before_exec)(const Daemon &));
    CommandResult Command(const char *program, const std::vector<std::string> &args,
                          std::chrono::milliseconds timeout) const;
};

}  // namespace e2e
