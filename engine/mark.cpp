// The mark tick: counts quiet periods towards the next MARK message and
// writes pending repeat counts whose delay has passed.

#include "diag/debug.h"
#include "engine/output.h"
#include "engine/tarnwick.h"
#include "platform/clock.h"
#include "timer/vtm_driver.h"

void marktick(uint32_t, uint32_t, uintptr_t, uint32_t, uintptr_t) {
    EngineGuard guard;
    if (engine.marktimer >= 0) {
        tm_setpause(engine.marktimer, 1);
    }
    time_t now = ClockNow();

    engine.markelapsed += kMarkTickSeconds;
    if (engine.markelapsed >= markperiod) {
        logmsg(6, "-- MARK --", engine.myhostname, LM_STAMP | LM_MARK);
        engine.markelapsed = 0;
    }

    for (LogTarget *t = engine.targets; t != nullptr; t = t->next) {
        if (t->repeats == 0 || now < static_cast<time_t>(t->lastwrite) + RepeatDelay(t)) {
            continue;
        }
        LogEvent(Trace, "flush %s: repeated %d times, %d sec.\n", KindName(t->kind), t->repeats,
                 RepeatDelay(t));
        writetarget(t, 0, nullptr);
        BackOff(t);
    }

    if (engine.marktimer >= 0) {
        tm_setpause(engine.marktimer, 0);
    }
}
