#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef TARNWICK_BINARY
#error "TARNWICK_BINARY names the daemon under test"
#endif
#ifndef TARNWICK_SC_BINARY
#error "TARNWICK_SC_BINARY names the service manager's command"
#endif

namespace e2e {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

bool WaitUntil(std::chrono::milliseconds timeout, const auto &done) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

}  // namespace

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool FileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string DailyFile(const std::string &path) {
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char name[32];
    std::snprintf(name, sizeof name, "_%04d%02d%02d.LOG", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    return path + name;
}

std::string LoopbackSenderName() {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return "127.0.0.1";
    }
    char local[256] = {};
    gethostname(local, sizeof local - 1);
    const char *domain = std::strchr(local, '.');
    std::string name = host;
    size_t dot = name.find('.');
    if (dot != std::string::npos && name.substr(dot + 1) == (domain ? domain + 1 : "")) {
        name.resize(dot);
    }
    return name;
}

bool SendDatagram(const std::string &data, int port, const char *host) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &to.sin_addr);
    ssize_t n =
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
    return n == static_cast<ssize_t>(data.size());
}

Daemon::Daemon() {
    char tmpl[] = "/tmp/tarnwick-e2e-XXXXXX";
    dir_ = mkdtemp(tmpl);
    mkdir(logdir().c_str(), 0755);
    SetRegistry({{"Log Dir", logdir()}});
    SetProfile("DebugFlags=Trace,Warning,Error\n");
    SetRules("");
}

int ExitCode(int status) {
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Daemon::~Daemon() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // A service started through the service database runs detached.
    if (ServiceAlive()) {
        kill(ServicePid(), SIGKILL);
        WaitServiceEnd();
    }
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::getenv("TARNWICK_E2E_KEEP") == nullptr) {
        int rc = std::system(cmd.c_str());
        (void)rc;
    }
}

void Daemon::SetRules(const std::string &rules) {
    WriteFile(logdir() + "/syslog.conf", rules);
}

void Daemon::SetRegistry(const std::vector<std::pair<std::string, std::string>> &values) {
    std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n";
    for (const auto &[name, data] : values) {
        std::string escaped;
        for (char c : data) {
            if (c == '\\' || c == '"') {
                escaped += '\\';
            }
            escaped += c;
        }
        text += "\"" + name + "\"=\"" + escaped + "\"\n";
    }
    WriteFile(dir_ + "/registry.reg", text);
}

void Daemon::SetProfile(const std::string &section_lines) {
    WriteFile(dir_ + "/win.ini", "[TARNWICK]\n" + section_lines);
}

bool Daemon::Spawn(const char *program, const std::vector<std::string> &args,
                   void (*before_exec)(const Daemon &)) {
    pid_ = fork();
    if (pid_ == 0) {
        SetEnvironment();
        int out = open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (before_exec != nullptr) {
            before_exec(*this);
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program));
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    return pid_ > 0;
}

bool Daemon::StartSc(const std::vector<std::string> &args, void (*before_exec)(const Daemon &)) {
    return Spawn(TARNWICK_SC_BINARY, args, before_exec);
}

bool Daemon::Start(const std::vector<std::string> &args, bool wait_ready,
                   void (*before_exec)(const Daemon &)) {
    if (!Spawn(TARNWICK_BINARY, args, before_exec)) {
        return false;
    }
    if (!wait_ready) {
        return true;
    }
    // Ready once the trace says so; a process that ended first failed.
    bool ready = false;
    WaitUntil(std::chrono::seconds(10), [&] {
        ready = ReadFile(dir_ + "/stderr").find("off & running....") != std::string::npos;
        return ready || Reap();
    });
    return ready;
}

void Daemon::SetEnvironment() const {
    setenv("TARNWICK_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
    setenv("TARNWICK_PROFILE", (dir_ + "/win.ini").c_str(), 1);
    setenv("TARNWICK_EVENTLOG", (dir_ + "/eventlog").c_str(), 1);
    setenv("TARNWICK_SCM", scm().c_str(), 1);
    unsetenv("TARNWICK_SCM_SERVICE");
    setenv("TZ", "UTC", 1);
}

CommandResult Daemon::Command(const char *program, const std::vector<std::string> &args,
                              std::chrono::milliseconds timeout) const {
    std::string out_path = dir_ + "/command.out";
    pid_t pid = fork();
    if (pid == 0) {
        SetEnvironment();
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir_ + "/command.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program));
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program, argv.data());
        _exit(127);
    }
    if (pid < 0) {
        return {-1, ""};
    }
    int status = -1;
    bool ended = WaitUntil(timeout, [&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return {-1, ReadFile(out_path)};
    }
    return {ExitCode(status), ReadFile(out_path)};
}

CommandResult Daemon::Tarnwick(const std::vector<std::string> &args,
                               std::chrono::milliseconds timeout) const {
    return Command(TARNWICK_BINARY, args, timeout);
}

CommandResult Daemon::Sc(const std::vector<std::string> &args,
                         std::chrono::milliseconds timeout) const {
    return Command(TARNWICK_SC_BINARY, args, timeout);
}

pid_t Daemon::ServicePid() const {
    std::string status = ReadFile(ServiceFile(".status"));
    unsigned words[7];
    long pid = 0;
    if (std::sscanf(status.c_str(), "%u %u %u %u %u %u %u %ld", &words[0], &words[1], &words[2],
                    &words[3], &words[4], &words[5], &words[6], &pid) != 8) {
        return 0;
    }
    return static_cast<pid_t>(pid);
}

bool Daemon::ServiceAlive() const {
    pid_t pid = ServicePid();
    if (pid <= 0) {
        return false;
    }
    // A zombie has ended: its state in /proc is Z.
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool Daemon::WaitServiceEnd(std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return !ServiceAlive(); });
}

bool Daemon::Reap() {
    if (pid_ <= 0) {
        return true;
    }
    int status;
    if (waitpid(pid_, &status, WNOHANG) != pid_) {
        return false;
    }
    status_ = status;
    pid_ = -1;
    return true;
}

int Daemon::Signal(int sig) {
    if (pid_ > 0) {
        kill(pid_, sig);
    }
    return Wait();
}

int Daemon::Wait(std::chrono::milliseconds timeout) {
    if (!WaitUntil(timeout, [&] { return Reap(); })) {
        return -1;
    }
    return status_;
}

bool Daemon::WaitForTrace(const std::string &text, std::chrono::milliseconds timeout) const {
    return WaitForFile(dir_ + "/stderr", text, timeout);
}

bool Daemon::WaitForTraceEnd(const std::string &text, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] {
        std::string trace = ReadFile(dir_ + "/stderr");
        return trace.size() >= text.size() &&
               trace.compare(trace.size() - text.size(), text.size(), text) == 0;
    });
}

bool Daemon::WaitForFile(const std::string &path, const std::string &text,
                         std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return ReadFile(path).find(text) != std::string::npos; });
}

}  // namespace e2e
