// The POSIX service database behind platform/scm.h: one folder,
// /var/lib/tarnwick/scm or the folder named by TARNWICK_SCM, holding for each
// service, under its key (the name in lower case, since service names match
// without regard to case):
//   <key>.service  the record: "Field=value" lines (Name, DisplayName, Type,
//                  StartType, ErrorControl, BinaryPath, Group, Dependencies,
//                  Account, DeletePending), written whole by a rename;
//   <key>.status   the last status: one line of nine decimal numbers, the
//                  seven words of the status record, the service process's id
//                  and its start time (clock ticks after boot, from
//                  /proc/<pid>/stat, so that a reused id is not taken for the
//                  service), written whole by a rename;
//   <key>.reports  every status the service reported since its last start,
//                  one line each, the seven words in record order;
//   <key>.sock     the running service's control socket (Unix stream socket,
//                  mode 0600: owner only);
//   <key>.out      standard output and error of a service started detached.
// Changes of records (create, delete, start) serialise on an flock of the
// folder's ".lock" file, across processes.
//
// Results are Windows error codes (platform/scm.h); 0 for success.
// Thread-safe; no state of its own.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/scm.h"

constexpr size_t kScmNameMax = 200;    // characters of a service name
constexpr size_t kScmTextSize = 257;   // display name, account: 256 and a NUL
constexpr size_t kScmPathSize = 1024;  // binary path, folder, file paths
constexpr size_t kScmKeySize = kScmNameMax + 1;
extern const char kScmDefaultFolder[];    // "/var/lib/tarnwick/scm"
extern const char kScmFolderVariable[];   // "TARNWICK_SCM"
extern const char kScmServiceVariable[];  // "TARNWICK_SCM_SERVICE"

// The parameters given at creation.
struct ScmRecord {
    char name[kScmNameMax + 1];
    char displayName[kScmTextSize];
    uint32_t serviceType;
    uint32_t startType;
    uint32_t errorControl;
    char binaryPath[kScmPathSize];
    char group[kScmTextSize];
    char dependencies[kScmTextSize];  // the list's names separated by '/'
    char account[kScmTextSize];
    int deletePending;  // 1: removed once the service has stopped
};

// The last status and the process that reported it.
struct ScmStoredStatus {
    ServiceStatusRecord status;
    long pid;                      // 0 when no process
    unsigned long long startTime;  // 0 when unknown
};

// The database folder: TARNWICK_SCM when set and not empty, else the default.
// Returns 0, or kScmErrorInvalidName when it does not fit size.
unsigned long ScmStoreFolder(char *folder, size_t size);

// Creates the folder and its parents (mode 0755) when missing.  Returns 0, or
// the error of the failed mkdir.
unsigned long ScmStoreMakeFolder(const char *folder);

// The key of a service name.  Returns 0; kScmErrorInvalidName for an empty
// name, more than kScmNameMax characters, '/', '\' or a control character.
unsigned long ScmStoreKey(const char *name, char *key, size_t size);

// folder "/" key ext into path.  Returns false when it does not fit.
bool ScmStorePath(const char *folder, const char *key, const char *ext, char *path, size_t size);

// Reads the record of key.  Returns 0, kScmErrorServiceDoesNotExist when
// there is none (or it is unreadable as a record), kScmErrorAccessDenied.
unsigned long ScmStoreReadRecord(const char *folder, const char *key, ScmRecord *record);
// Writes the record of key whole (temporary file and rename).
unsigned long ScmStoreWriteRecord(const char *folder, const char *key, const ScmRecord *record);
// Calls visit for every record of the folder until it returns false.
void ScmStoreEachRecord(const char *folder, bool (*visit)(const ScmRecord &record, void *arg),
                        void *arg);
// Removes every file of key.  Returns 0, or the error of the record's unlink.
unsigned long ScmStoreRemove(const char *folder, const char *key);

// The status as last written: a stopped status of service_type when there is
// none.
void ScmStoreReadStatus(const char *folder, const char *key, uint32_t service_type,
                        ScmStoredStatus *stored);
unsigned long ScmStoreWriteStatus(const char *folder, const char *key,
                                  const ScmStoredStatus *stored);
// The status as it stands: the last written one, unless its process has
// ended without reporting kServiceStopped: then the service is recorded
// stopped with kScmErrorProcessAborted, and removed when marked for deletion.
// Takes the folder lock for that change when it can, unless the caller
// holds it (have_lock).
void ScmStoreCurrentStatus(const char *folder, const char *key, uint32_t service_type,
                           ScmStoredStatus *stored, bool have_lock);
// Appends one line to <key>.reports; truncate empties the file first.
void ScmStoreAppendReport(const char *folder, const char *key, const ServiceStatusRecord *status);
void ScmStoreClearReports(const char *folder, const char *key);

// The start time of process pid (clock ticks after boot), 0 when there is no
// such process.
unsigned long long ScmStoreProcessStartTime(long pid);
// True while process pid with that start time runs (a zombie has ended).
bool ScmStoreProcessAlive(long pid, unsigned long long start_time);

// Takes the folder lock (flock of "<folder>/.lock").  Returns its descriptor,
// or -1 when the lock file cannot be opened for writing.
int ScmStoreLock(const char *folder);
void ScmStoreUnlock(int fd);

// The Windows code for errno value err.
unsigned long ScmErrnoCode(int err);
