#include "service/service.h"

#include "diag/debug.h"

const char kServiceName[] = "Tarnwick";
ServiceState service;

// Placeholder until the console run lands.
int ServiceEntry(int, char **) {
    LogInit("TARNWICK");
    return 1;
}
void RunConsole(int, char **) {}
int ConsoleCtrlHandler(unsigned long) {
    return 0;
}
int UpdateServiceStatus(uint32_t) {
    return 0;
}
