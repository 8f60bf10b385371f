// mmtimer.h on both platforms: the replacement services of a test
// (TimerSetForTest) in front of the platform's own
// (platform/common/mmtimer_system.h).
#include "platform/mmtimer.h"

#include <atomic>

#include "platform/common/mmtimer_system.h"
#include "platform/mmtimer_testing.h"

namespace {
std::atomic<const TimerOps *> services{nullptr};
}

int TimerGetDevCaps(TimerCaps *caps) {
    const TimerOps *s = services.load();
    return s != nullptr && s->getdevcaps != nullptr ? s->getdevcaps(caps)
                                                    : SystemTimerGetDevCaps(caps);
}

int TimerBeginPeriod(uint32_t period) {
    const TimerOps *s = services.load();
    return s != nullptr && s->beginperiod != nullptr ? s->beginperiod(period)
                                                     : SystemTimerBeginPeriod(period);
}

int TimerEndPeriod(uint32_t period) {
    const TimerOps *s = services.load();
    return s != nullptr && s->endperiod != nullptr ? s->endperiod(period)
                                                   : SystemTimerEndPeriod(period);
}

uint32_t TimerSetEvent(uint32_t delay, uint32_t resolution, TimerEventCallback callback,
                       uintptr_t user) {
    const TimerOps *s = services.load();
    return s != nullptr && s->setevent != nullptr
               ? s->setevent(delay, resolution, callback, user)
               : SystemTimerSetEvent(delay, resolution, callback, user);
}

int TimerKillEvent(uint32_t id) {
    const TimerOps *s = services.load();
    return s != nullptr && s->killevent != nullptr ? s->killevent(id) : SystemTimerKillEvent(id);
}

void TimerSetForTest(const TimerOps *replacement) {
    services.store(replacement);
}
