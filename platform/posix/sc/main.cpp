// tarnwick-sc: the service manager's command on POSIX (see scm_command.h).
#include "platform/posix/scm_command.h"

int main(int argc, char **argv) {
    return ScmCommand(argc, argv);
}
