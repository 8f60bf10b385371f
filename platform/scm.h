// The service control manager: the dispatcher and status reports of a
// running service, and the manager's operations that install, stop, query and
// remove one.
//
// Each call stands for one Windows call and keeps its results: a nonzero
// result (or handle) for success; 0 for failure, with the last error set to
// the Windows error code named below (both in errors.h).  Windows: the calls
// named beside each function.  POSIX: a service database of our own (see
// platform/posix/scm_store.h and platform/README.md): a folder with one record
// and one last status per service, and an owner-only Unix control socket per
// running service.  tarnwick-sc (platform/posix/sc/command.h) stands in for
// sc.exe over the same code.
//
// Threads: ScmStartDispatcher blocks the calling (main) thread, runs the
// service's main function on a new thread and every control request on the
// calling thread.  ScmSetStatus may be called from any thread.  The manager's
// operations are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/errors.h"

// SERVICE_STATUS_HANDLE: what ScmRegisterHandler gives; 0 for none.
using ServiceStatusHandle = uintptr_t;
// The invalid handle (INVALID_HANDLE_VALUE): a console run has no manager.
constexpr ServiceStatusHandle kInvalidStatusHandle = ~static_cast<uintptr_t>(0);
// SC_HANDLE: a manager or service handle; 0 for none.
using ScmHandle = uintptr_t;

// Service type, start type, error control.
constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceDemandStart = 3;
constexpr uint32_t kServiceErrorNormal = 1;

// Service states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServicePaused = 7;  // the last of the seven states

// Controls accepted (bits of controlsAccepted).
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;
constexpr uint32_t kServiceAcceptShutdown = 4;

// Control codes.  128 to 255 are the service's own.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlUserFirst = 128;
constexpr uint32_t kServiceControlUserLast = 255;

// Access rights.
constexpr uint32_t kScManagerConnect = 0x0001;
constexpr uint32_t kScManagerCreateService = 0x0002;
constexpr uint32_t kScManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceAllAccess = 0xF01FF;

// The status record (SERVICE_STATUS), field for field: seven 32-bit words,
// 28 bytes.
struct ServiceStatusRecord {
    uint32_t serviceType;
    uint32_t currentState;
    uint32_t controlsAccepted;
    uint32_t win32ExitCode;
    uint32_t serviceSpecificExitCode;
    uint32_t checkPoint;
    uint32_t waitHint;
};
static_assert(sizeof(ServiceStatusRecord) == 28, "SERVICE_STATUS is seven 32-bit words");

// A service's main function (LPSERVICE_MAIN_FUNCTIONA): its start arguments,
// the first one being the service name.
using ScmServiceMain = void (*)(uint32_t argc, char **argv);
// A control handler (LPHANDLER_FUNCTION): the 32-bit control code.
using ScmControlHandler = void (*)(uint32_t control);
// One row of the dispatch table (SERVICE_TABLE_ENTRYA); the table ends with a
// row of two nulls.
struct ScmTableEntry {
    const char *name;
    ScmServiceMain main;
};

// --- the running service ---

// StartServiceCtrlDispatcherA.  Connects the process to the manager, runs the
// main function of the table's service on a new thread, and runs every
// control request for it on the calling thread (through the handler that
// ScmRegisterHandler registered) until the service has reported
// kServiceStopped.  Returns nonzero then.  Returns 0 at once with
// kErrorFailedServiceControllerConnect (1063) when the manager did not
// start this process; kErrorServiceAlreadyRunning when the service runs
// already (in another process, or a dispatcher runs in this one);
// kErrorInvalidParameter for an empty table.
//
// Controls are refused, without reaching the handler, as the manager refuses
// them: kErrorServiceCannotAcceptCtrl (1061) while the last state reported
// is a pending one or no handler is registered; kErrorServiceNotActive
// (1062) once stopped; kErrorInvalidServiceControl (1052) for stop when
// controlsAccepted lacks its bit and (POSIX: always) for pause, continue and
// the other system controls up to 10; kErrorInvalidParameter for shutdown
// and the reserved codes 11 to 127 and above 255.  Interrogate and the codes
// 128 to 255 always reach a running service.
//
// POSIX: the manager's environment variables TARNWICK_SCM_SERVICE (the
// service's name) and TARNWICK_SCM (the database folder) tell that it started
// the process.  Only the service's own user and root may control it
// (kErrorAccessDenied for others, whatever the socket's mode).  A main
// function that returns without reporting kServiceStopped ends the run too;
// once the process has ended, the manager records the service stopped with
// kErrorProcessAborted (1067).
//
// Both platforms: once kServiceStopped has been reported, the dispatcher
// also waits for the main function to return, at most kScmMainWaitMs, before
// it returns (the Windows call itself does not wait), so that the service's
// last lines are written before the process ends.
int ScmStartDispatcher(const ScmTableEntry *table);
constexpr unsigned kScmMainWaitMs = 10000;

// RegisterServiceCtrlHandlerA.  Registers handler for the service name.
// Returns the status handle, or 0 with the last error set
// (kErrorServiceDoesNotExist when no dispatcher runs in this process).
ServiceStatusHandle ScmRegisterHandler(const char *name, ScmControlHandler handler);

// SetServiceStatus.  Reports the status.  Returns nonzero on success; 0 with
// kErrorInvalidHandle for the invalid handle, for none (0) or for a handle
// that ScmRegisterHandler did not give, with no other effect;
// kErrorInvalidParameter for a state outside 1 to 7.
int ScmSetStatus(ServiceStatusHandle handle, const ServiceStatusRecord *status);

// --- the manager's operations ---

// OpenSCManagerA (local machine, the active database).  Returns a manager
// handle, or 0: kErrorAccessDenied when the caller may not have access
// (POSIX: the database folder cannot be created, is no directory, or others
// than its owner may write it; kErrorFilenameTooLong for a folder name
// that does not fit).
ScmHandle ScmOpenManager(uint32_t access);

// CreateServiceA.  Records a new service and returns its handle, or 0:
// kErrorServiceExists (1073) when the name is taken (names match without
// regard to case); kErrorDuplicateServiceName (1078, Windows only) when
// another service carries the display name; kErrorServiceMarkedForDelete
// (1072) when the name belongs to a service marked for deletion;
// kErrorInvalidName for an empty name, one with '/' or '\', or (POSIX) one
// of more than 200 characters; kErrorInvalidParameter for no binary path;
// kErrorInvalidHandle for a bad manager handle; kErrorAccessDenied;
// (POSIX) kErrorFilenameTooLong when the service's control socket path
// would not fit a socket address.  load_order_group, tag_id and password may
// be null; dependencies is a double-NUL-terminated list or null; account null
// means LocalSystem.  POSIX keeps name, display name, type, start type, error
// control and binary path; the service runs as the user that starts it.
ScmHandle ScmCreateService(ScmHandle manager, const char *name, const char *display_name,
                           uint32_t access, uint32_t service_type, uint32_t start_type,
                           uint32_t error_control, const char *binary_path,
                           const char *load_order_group, uint32_t *tag_id, const char *dependencies,
                           const char *account, const char *password);

// OpenServiceA.  Returns a service handle, or 0: kErrorServiceDoesNotExist
// (1060) when no service has the name, kErrorInvalidHandle for a bad
// manager handle, (POSIX) kErrorFilenameTooLong as for ScmCreateService.
ScmHandle ScmOpenService(ScmHandle manager, const char *name, uint32_t access);

// ControlService.  Sends control to the service and waits until its handler
// has returned (at most 30 seconds: kErrorServiceRequestTimeout).  Returns
// nonzero when the control was delivered; *status then holds the service's
// status as its handler left it.  Returns 0 when it was not:
// kErrorServiceNotActive (1062) for a service that does not run, or one of
// the dispatcher's refusals (see ScmStartDispatcher), *status then holding
// the last status; kErrorInvalidHandle; kErrorInvalidParameter for no
// status; kErrorAccessDenied (POSIX: also when the control socket is
// served by a user other than the database folder's owner and root: nothing
// is sent to it).
int ScmControlService(ScmHandle service, uint32_t control, ServiceStatusRecord *status);

// QueryServiceStatus.  The service's last reported status into *status.
// Returns nonzero, or 0 with kErrorInvalidHandle.  A service that was
// never started, or whose process has ended, reads as kServiceStopped (with
// kErrorProcessAborted as its exit code when the process ended without
// reporting it).
int ScmQueryStatus(ScmHandle service, ServiceStatusRecord *status);

// DeleteService.  Removes the service's record; a service that runs is
// marked for deletion and removed once it has stopped.  Returns nonzero, or
// 0: kErrorServiceMarkedForDelete (1072) when it is already marked,
// kErrorInvalidHandle, kErrorAccessDenied.
int ScmDeleteService(ScmHandle service);

// CloseServiceHandle.  Releases a manager or service handle.  Returns nonzero,
// or 0 with kErrorInvalidHandle.
int ScmCloseHandle(ScmHandle handle);

// --- the executable and the system's texts ---

// GetModuleFileNameA (the executable itself).  The full path of the running
// executable into buffer: returns its length, or 0 with the last error set.
// A path of size characters or more is cut to size - 1 and terminated, and
// size is returned with kErrorInsufficientBuffer set.
uint32_t ScmModuleFileName(char *buffer, uint32_t size);

// FormatMessageA (FORMAT_MESSAGE_FROM_SYSTEM, language 0): the system's text
// for code, ending with the CR LF that ends every system message.  Copies the
// text and a terminator into buffer and returns the text's length; returns 0
// when there is no text or it does not fit (never cuts a text).  POSIX: the
// Windows texts of the codes the service host and tarnwick-sc print.
size_t ScmErrorText(unsigned long code, char *buffer, size_t size);
