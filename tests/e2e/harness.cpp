#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

namespace e2e {

namespace {

bool WaitUntil(Millis timeout, const auto &done) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(Millis(20));
    }
    return true;
}

}  // namespace

std::string DailyFile(const std::string &path) {
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char name[32];
    std::strftime(name, sizeof name, "_%Y%m%d.LOG", &tm);
    return path + name;
}

std::string LoopbackSenderName() {
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char host[NI_MAXHOST], local[256] = {};
    if (getnameinfo(reinterpret_cast<sockaddr *>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0) {
        return "127.0.0.1";
    }
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
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &to.sin_addr);
    ssize_t n =
        sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    close(fd);
    return n == static_cast<ssize_t>(data.size());
}

int ExitCode(int status) {
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        ++n;
    }
    return n;
}

Daemon::Daemon() : dir_(scratch_.path()) {
    mkdir(logdir().c_str(), 0755);
    SetRegistry({{"Log Dir", logdir()}});
    WriteFile(dir_ + "/win.ini", "[TARNWICK]\nDebugFlags=Trace,Warning,Error\n");
    SetRules("");
}

Daemon::~Daemon() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (ServiceAlive()) {  // a service started through the database runs detached
        kill(ServicePid(), SIGKILL);
        WaitServiceEnd();
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
        text += "\"" + name + "\"=\"" + data + "\"\n";
    }
    WriteFile(dir_ + "/registry.reg", text);
}

pid_t Daemon::Fork(const char *program, const std::vector<std::string> &args, Hook before_exec,
                   const std::string &out, const std::string &err) const {
    pid_t pid = fork();
    if (pid != 0) {
        return pid;
    }
    for (const char *name :
         {"REGISTRY=/registry.reg", "PROFILE=/win.ini", "EVENTLOG=/eventlog", "SCM=/scm"}) {
        const char *eq = std::strchr(name, '=');
        setenv(("TARNWICK_" + std::string(name, eq)).c_str(), (dir_ + (eq + 1)).c_str(), 1);
    }
    unsetenv("TARNWICK_SCM_SERVICE");
    setenv("TZ", "UTC", 1);
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
    if (before_exec != nullptr) {
        before_exec(*this);
    }
    std::vector<char *> argv = {const_cast<char *>(program)};
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
}

bool Daemon::Launch(const char *program, const std::vector<std::string> &args, Hook before_exec) {
    WriteFile(dir_ + "/stderr", "");
    pid_ = Fork(program, args, before_exec, dir_ + "/stdout", dir_ + "/stderr");
    return pid_ > 0;
}

bool Daemon::Start(bool wait_ready, Hook before_exec) {
    bool ready = Launch(TARNWICK_BINARY, {"-debug"}, before_exec) && !wait_ready;
    // Ready once the trace says so; a process that ended first failed.
    WaitUntil(kPatience, [&] {
        ready = ready || Stderr().find("off & running....") != std::string::npos;
        return ready || Reap();
    });
    return ready;
}

int Daemon::Signal(int sig) {
    if (pid_ > 0) {
        kill(pid_, sig);
    }
    return Wait();
}

CommandResult Daemon::Command(const char *program, const std::vector<std::string> &args) const {
    const std::string out = dir_ + "/command.out";
    pid_t pid = Fork(program, args, nullptr, out, dir_ + "/command.err");
    int status = -1;
    if (pid > 0 && !WaitUntil(std::chrono::seconds(60),
                              [&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        status = -1;
    }
    return {ExitCode(status), ReadFile(out)};
}

pid_t Daemon::ServicePid() const {
    long pid = 0;  // the status record: seven numbers, then the process id
    return std::sscanf(ReadFile(ServiceFile(".status")).c_str(), "%*u %*u %*u %*u %*u %*u %*u %ld",
                       &pid) == 1
               ? static_cast<pid_t>(pid)
               : 0;
}

bool Daemon::ServiceAlive() const {
    pid_t pid = ServicePid();
    // A zombie has ended: its state in /proc is Z.
    std::string stat = pid > 0 ? ReadFile("/proc/" + std::to_string(pid) + "/stat") : "";
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

bool Daemon::WaitServiceEnd(Millis timeout) const {
    return WaitUntil(timeout, [&] { return !ServiceAlive(); });
}

bool Daemon::Reap() {
    int status;
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
        pid_ = -1;
    }
    return pid_ <= 0;
}

int Daemon::Wait(Millis timeout) {
    return WaitUntil(timeout, [&] { return Reap(); }) ? status_ : -1;
}

bool Daemon::WaitForFile(const std::string &path, const std::string &text, Millis timeout) const {
    return WaitUntil(timeout, [&] { return ReadFile(path).find(text) != std::string::npos; });
}

}  // namespace e2e
