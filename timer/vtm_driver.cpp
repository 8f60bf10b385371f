#include "timer/vtm_driver.h"

// Placeholder until the timer pool lands.
void tm_init() {}
void tm_start() {}
void tm_stop() {}
int tm_settimer(int, TimerCallback, uintptr_t, uint32_t, uint16_t) {
    return -1;
}
int tm_setpause(int id, int) {
    return id >= 0 && id < MAX_TIMERS ? id : -1;
}
int tm_find(uint32_t) {
    return -1;
}
void tm_killtimer(int) {}
