// Error numbers: the Windows error codes the seam gives, the thread's last
// system error (GetLastError) and the runtime library's error texts (the
// errno table).
//
// Thread-safe; the last error is per thread.
#pragma once

// Windows error codes (ERROR_...) that the seam's calls give, on every
// platform.  Socket calls use the Winsock numbers of sockets.h.
constexpr unsigned long kErrorSuccess = 0;
constexpr unsigned long kErrorFileNotFound = 2;
constexpr unsigned long kErrorPathNotFound = 3;
constexpr unsigned long kErrorAccessDenied = 5;
constexpr unsigned long kErrorInvalidHandle = 6;
constexpr unsigned long kErrorNotEnoughMemory = 8;
constexpr unsigned long kErrorBadFormat = 11;
constexpr unsigned long kErrorGenFailure = 31;
constexpr unsigned long kErrorInvalidParameter = 87;
constexpr unsigned long kErrorDiskFull = 112;
constexpr unsigned long kErrorInsufficientBuffer = 122;
constexpr unsigned long kErrorInvalidName = 123;
constexpr unsigned long kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr unsigned long kErrorMoreData = 234;
constexpr unsigned long kErrorInvalidServiceControl = 1052;
constexpr unsigned long kErrorServiceRequestTimeout = 1053;
constexpr unsigned long kErrorServiceNoThread = 1054;
constexpr unsigned long kErrorServiceAlreadyRunning = 1056;
constexpr unsigned long kErrorServiceDoesNotExist = 1060;
constexpr unsigned long kErrorServiceCannotAcceptCtrl = 1061;
constexpr unsigned long kErrorServiceNotActive = 1062;
constexpr unsigned long kErrorFailedServiceControllerConnect = 1063;
constexpr unsigned long kErrorProcessAborted = 1067;
constexpr unsigned long kErrorServiceMarkedForDelete = 1072;
constexpr unsigned long kErrorServiceExists = 1073;
constexpr unsigned long kErrorDuplicateServiceName = 1078;

// The calling thread's last system error code.  Socket calls (sockets.h) set
// it to Winsock numbers on every platform (10048 for an address in use), so
// trace lines read the same everywhere.  Windows: GetLastError and
// SetLastError themselves.
unsigned long PlatformLastError();
void PlatformSetLastError(unsigned long code);

// The runtime library's text for errno value err, or nullptr when err lies
// beyond the library's table (negative values included).
const char *RuntimeErrorText(int err);
