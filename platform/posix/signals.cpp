// Signals and console events, handed from the signal handler to one dispatch
// thread.  The handler itself only marks the signal pending and posts a
// semaphore, both async-signal-safe.
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/console.h"
#include "platform/signals.h"

namespace {

constexpr int kMaxConsoleHandlers = 8;

std::once_flag start_once;
bool started = false;
std::atomic<pthread_t> dispatch_thread{};
sem_t wake;
std::atomic<int> pending[NSIG];
std::atomic<SignalHandler> handlers[NSIG];
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
static_assert(std::atomic<pthread_t>::is_always_lock_free, "read in a signal handler");

std::mutex console_mutex;
ConsoleHandler console_handlers[kMaxConsoleHandlers];
int console_count = 0;

bool IsFault(int sig) {
    return sig == SIGSEGV || sig == SIGFPE || sig == SIGILL || sig == SIGABRT;
}

// A fault raised by the calling thread must not return into the faulting
// code (nor let abort() go on to its default action): the thread waits for
// the dispatch thread to end the process.  The exit path may need a lock that
// this thread holds (the trace lock, tm_lock, a stdio stream's) and would
// never finish, so the wait is bounded: then this thread ends the process,
// with the status of a fault's exit.  Async-signal-safe calls only.
[[noreturn]] void AwaitExit() {
    struct timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += kFaultExitSeconds;
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = (end.tv_sec - now.tv_sec) * 1000LL + (end.tv_nsec - now.tv_nsec) / 1000000;
        if (left <= 0) {
            _exit(1);
        }
        poll(nullptr, 0, static_cast<int>(left));
    }
}

void OnSignal(int sig, siginfo_t *info, void *) {
    bool own = IsFault(sig) &&
               (info->si_code > 0 || (info->si_code == SI_TKILL && info->si_pid == getpid()));
    // The dispatch thread cannot hand a fault of its own to itself.
    if (own && pthread_equal(pthread_self(), dispatch_thread.load())) {
        _exit(1);
    }
    int saved = errno;
    pending[sig].store(1);
    sem_post(&wake);
    errno = saved;
    if (own) {
        AwaitExit();
    }
}

// Offers a console event to the handlers, last added first.
bool OfferConsoleEvent(unsigned long event) {
    ConsoleHandler list[kMaxConsoleHandlers];
    int count;
    {
        std::lock_guard<std::mutex> guard(console_mutex);
        count = console_count;
        std::memcpy(list, console_handlers, sizeof list);
    }
    for (int i = count - 1; i >= 0; --i) {
        if (list[i](event) != 0) {
            return true;
        }
    }
    return false;
}

void DefaultAction(int sig) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

void Dispatch(int sig) {
    SignalHandler handler = handlers[sig].load();
    if (handler != nullptr) {
        handler(sig);
        return;
    }
    if (sig == SIGINT && OfferConsoleEvent(kCtrlCEvent)) {
        return;
    }
    if (sig == SIGQUIT && OfferConsoleEvent(kCtrlBreakEvent)) {
        return;
    }
    DefaultAction(sig);
}

void *DispatchThread(void *) {
    dispatch_thread.store(pthread_self());
    // This thread takes the signals that the working threads block.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    for (;;) {
        if (sem_wait(&wake) != 0) {
            continue;  // interrupted
        }
        for (int sig = 1; sig < NSIG; ++sig) {
            if (pending[sig].exchange(0) != 0) {
                Dispatch(sig);
            }
        }
    }
}

void Start() {
    std::call_once(start_once, [] {
        if (sem_init(&wake, 0, 0) != 0) {
            return;
        }
        signal(SIGPIPE, SIG_IGN);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, DispatchThread, nullptr) == 0) {
            pthread_detach(thread);
            started = true;
        }
    });
}

// Signals sent to the process from outside (a stop, Ctrl+C, Ctrl+\).
bool IsAsync(int sig) {
    return sig == SIGTERM || sig == SIGINT || sig == SIGQUIT;
}

int Catch(int sig) {
    Start();
    if (!started) {
        return -1;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = OnSignal;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(sig, &sa, nullptr) != 0) {
        return -1;
    }
    // The thread that asks for a signal does not take it itself: its waits
    // (the receive loop's select) are never interrupted by it, as on Windows.
    if (IsAsync(sig)) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    return 0;
}

}  // namespace

int SignalSet(int sig, SignalHandler handler) {
    if (sig <= 0 || sig >= NSIG || sig == SIGKILL || sig == SIGSTOP) {
        return -1;
    }
    handlers[sig].store(handler);
    return Catch(sig);
}

int ConsoleAddHandler(ConsoleHandler handler) {
    {
        std::lock_guard<std::mutex> guard(console_mutex);
        if (console_count == kMaxConsoleHandlers) {
            return -1;
        }
        console_handlers[console_count++] = handler;
    }
    if (Catch(SIGINT) != 0 || Catch(SIGQUIT) != 0) {
        return -1;
    }
    return 0;
}
