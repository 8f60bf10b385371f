// sccontrol NAME CODE: sends a control code to a service (wine's sc.exe has no
// "control") and prints the state after it; exits 1 with the error when refused.
#include <cstdio>
#include <cstdlib>

#include "platform/errors.h"
#include "platform/scm.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: sccontrol NAME CODE\n");
        return 2;
    }
    auto code = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 0));
    ScmHandle manager = ScmOpenManager(kScManagerConnect);
    ScmHandle svc = manager != 0 ? ScmOpenService(manager, argv[1], kServiceAllAccess) : 0;
    ServiceStatusRecord status = {};
    if (svc == 0 || ScmControlService(svc, code, &status) == 0) {
        std::printf("[SC] ControlService FAILED %lu\n", PlatformLastError());
        return 1;
    }
    std::printf("STATE : %u\n", static_cast<unsigned>(status.currentState));
    ScmCloseHandle(svc);
    ScmCloseHandle(manager);
    return 0;
}
