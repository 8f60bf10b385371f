// Signals on Windows: raised in this thread, console events delivered as the
// system does, and real faults through the runtime's exception filter.
#include <cstdlib>
#include <thread>

#include "platform/win32/console_testing.h"
#include "signals_shared.h"

namespace signaltest {

void SendSignal(int sig) {
    std::raise(sig);
}
void Deliver(unsigned long event) {
    EXPECT_EQ(ConsoleEventForTest(event), 1);
}

// Unknown to the compiler, so that it emits the faulting access and division.
int *volatile nowhere = nullptr;
volatile int zero = 0, sink = 0;
constexpr auto kExitWith = [](int sig) { ProcessExit(100 + sig); };

// Each fault ends the process through its handler, also on another thread.
TEST(SignalsWin32DeathTest, FaultsEndThroughTheHandler) {
    const struct {
        int sig;
        void (*fault)();
    } cases[] = {
        {SIGSEGV, [] { *nowhere = 1; }},
        {SIGFPE, [] { sink = 7 / zero; }},
        {SIGILL, [] { __builtin_trap(); }},
        {SIGABRT, [] { std::abort(); }},
    };
    for (const auto &c : cases) {
        EXPECT_EXIT((SignalSet(c.sig, kExitWith), c.fault()),
                    ::testing::ExitedWithCode(100 + c.sig), "")
            << c.sig;
    }
    EXPECT_EXIT((SignalSet(SIGSEGV, kExitWith), std::thread(cases[0].fault).join()),
                ::testing::ExitedWithCode(100 + SIGSEGV), "");
}

}  // namespace signaltest
