// tarnwick-sc: the service manager's command on POSIX (see command.h).
#include "platform/posix/sc/command.h"

int main(int argc, char **argv) {
    return ScmCommand(argc, argv);
}
