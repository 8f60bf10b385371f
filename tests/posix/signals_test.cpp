// Signals on POSIX: sent with kill; Ctrl+C is SIGINT, Ctrl+Break SIGQUIT.
#include <signal.h>
#include <unistd.h>

#include "signals_shared.h"

namespace signaltest {

void SendSignal(int sig) {
    kill(getpid(), sig);
}
void Deliver(unsigned long event) {
    kill(getpid(), event == kCtrlCEvent ? SIGINT : SIGQUIT);
}

}  // namespace signaltest
