// Signals and console control events on Windows.
//
// Signals come from the runtime library's signal(): raise() and abort() in
// the raising thread, the fault signals from its exception filter in the
// faulting thread, SIGINT from its console handler.  The handler here only
// counts the signal and releases a semaphore; one dispatch thread runs the
// installed handler.  A thread that raised a fault signal (or SIGABRT) waits
// after handing it over: the handler ends the process.  The handler may need
// a lock that the faulting thread holds, so the wait is bounded, and a fault
// on the dispatch thread itself is not handed over: the process then ends
// with status 1.
//
// Console events come to one console handler of ours, on the thread the
// system makes for them.  Ctrl+C goes to the SIGINT handler when one is
// installed, whatever order the runtime's own console handler was added in;
// otherwise every event is offered to the added handlers, last added first.
#include "platform/signals.h"
#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <csignal>
#include <mutex>

namespace {

constexpr int kMaxSignal = NSIG;
constexpr int kMaxConsoleHandlers = 8;

std::once_flag start_once;
HANDLE wake = nullptr;  // released once per signal handed over
std::atomic<DWORD> dispatch_thread{0};
std::atomic<SignalHandler> handlers[kMaxSignal];
std::atomic<int> pending[kMaxSignal];

std::once_flag console_once;
bool console_ok = false;
std::mutex console_mutex;
ConsoleHandler console_handlers[kMaxConsoleHandlers];
int console_count = 0;

bool IsFault(int sig) {
    return sig == SIGSEGV || sig == SIGFPE || sig == SIGILL || sig == SIGABRT;
}

bool Handled(int sig) {
    return sig == SIGTERM || sig == SIGINT || IsFault(sig);
}

void HandOver(int sig) {
    pending[sig].fetch_add(1);
    ReleaseSemaphore(wake, 1, nullptr);
}

// Ends the process with the status of a fault's exit, without the runtime's
// exit path (its locks may be held by the faulting thread).
[[noreturn]] void FaultExit() {
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) {
        Sleep(INFINITE);
    }
}

void OnSignal(int sig) {
    if (sig <= 0 || sig >= kMaxSignal) {
        return;
    }
    // The dispatch thread cannot hand a fault of its own to itself.
    if (IsFault(sig) && GetCurrentThreadId() == dispatch_thread.load()) {
        FaultExit();
    }
    HandOver(sig);
    if (IsFault(sig)) {
        // Never back into the fault, nor on to abort's default action; and
        // not for ever, should the exit path wait for a lock this thread holds.
        Sleep(kFaultExitSeconds * 1000);
        FaultExit();
    }
    // The runtime resets a signal to its default before calling the handler.
    signal(sig, OnSignal);
}

DWORD WINAPI DispatchThread(LPVOID) {
    dispatch_thread.store(GetCurrentThreadId());
    for (;;) {
        if (WaitForSingleObject(wake, INFINITE) != WAIT_OBJECT_0) {
            return 1;
        }
        for (int sig = 1; sig < kMaxSignal; ++sig) {
            if (pending[sig].load() == 0) {
                continue;
            }
            pending[sig].fetch_sub(1);
            SignalHandler handler = handlers[sig].load();
            if (handler != nullptr) {
                handler(sig);
            }
            break;
        }
    }
}

void Start() {
    std::call_once(start_once, [] {
        wake = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
        if (wake == nullptr) {
            return;
        }
        HANDLE thread = CreateThread(nullptr, 0, DispatchThread, nullptr, 0, nullptr);
        if (thread == nullptr) {
            CloseHandle(wake);
            wake = nullptr;
            return;
        }
        CloseHandle(thread);
    });
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event == CTRL_C_EVENT && handlers[SIGINT].load() != nullptr && wake != nullptr) {
        HandOver(SIGINT);
        return TRUE;
    }
    ConsoleHandler list[kMaxConsoleHandlers];
    int count;
    {
        std::lock_guard<std::mutex> guard(console_mutex);
        count = console_count;
        for (int i = 0; i < count; ++i) {
            list[i] = console_handlers[i];
        }
    }
    for (int i = count - 1; i >= 0; --i) {
        if (list[i](event) != 0) {
            return TRUE;
        }
    }
    return FALSE;  // the next handler, in the end the default: the process ends
}

bool InstallConsoleHandler() {
    std::call_once(console_once, [] { console_ok = SetConsoleCtrlHandler(OnConsoleEvent, TRUE); });
    return console_ok;
}

}  // namespace

int SignalSet(int sig, SignalHandler handler) {
    if (!Handled(sig)) {
        return -1;
    }
    Start();
    if (wake == nullptr) {
        return -1;
    }
    handlers[sig].store(handler);
    if (sig == SIGINT && !InstallConsoleHandler()) {
        return -1;
    }
    return signal(sig, OnSignal) == SIG_ERR ? -1 : 0;
}

int ConsoleEventForTest(unsigned long event) {
    return OnConsoleEvent(event) ? 1 : 0;
}

int ConsoleAddHandler(ConsoleHandler handler) {
    {
        std::lock_guard<std::mutex> guard(console_mutex);
        if (console_count == kMaxConsoleHandlers) {
            return -1;
        }
        console_handlers[console_count++] = handler;
    }
    return InstallConsoleHandler() ? 0 : -1;
}
