// tarnwick: the syslog daemon's executable.
#include "service/service.h"

int main(int argc, char **argv) {
    return ServiceEntry(argc, argv);
}
