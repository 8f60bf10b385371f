// The POSIX service database behind platform/scm.h (platform/README.md): a
// folder that nobody but its owner (and root) may write, holding per service,
// under its key (the name in lower case: names match without regard to case),
// <key>.service (the record), <key>.status (the last status, with the id and
// start time of the process that reported it), <key>.sock (the control
// socket, mode 0600) and <key>.out (the output of a service started
// detached, mode 0600).  Record and status are written whole (a temporary
// file of unpredictable name, then a rename); no file of the folder is
// opened through a symlink; creation, deletion and starts serialise on an
// flock of "<folder>/.lock".  Implemented in posix/scm.cpp.
//
// Results are Windows error codes (platform/scm.h); 0 for success.
// Thread-safe; the only state is each thread's problem text.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>

#include "platform/scm.h"

constexpr size_t kScmNameMax = 200;    // characters of a service name
constexpr size_t kScmPathSize = 1024;  // the folder, a binary path
constexpr size_t kScmKeySize = kScmNameMax + 1;
constexpr size_t kScmSocketPathMax = sizeof(sockaddr_un::sun_path) - 1;  // 107
extern const char kScmFolderVariable[];                                  // "TARNWICK_SCM"
extern const char kScmServiceVariable[];                                 // "TARNWICK_SCM_SERVICE"

// The parameters given at creation.
struct ScmRecord {
    char name[kScmNameMax + 1];
    char displayName[257];  // 256 characters and a NUL
    uint32_t serviceType;
    uint32_t startType;  // recorded; nothing starts at boot
    uint32_t errorControl;
    char binaryPath[kScmPathSize];
    int deletePending;  // 1: removed once the service has stopped
};

// The last status and the process that reported it (0: none, unknown).
struct ScmStoredStatus {
    ServiceStatusRecord status;
    long pid;
    unsigned long long startTime;
};

// Reads a record file's text, "Field=value" lines as ScmRecordFormat writes
// them; other lines are skipped, the last of a field counts, a value longer
// than its field is cut.  Returns true when it names a service.
bool ScmRecordParse(const char *text, ScmRecord *record);
// The record's text, terminated: Name, DisplayName, Type, StartType,
// ErrorControl, BinaryPath and DeletePending, one line each.  Returns its
// length; 0 when it does not fit size or a field holds a line end.
size_t ScmRecordFormat(const ScmRecord *record, char *text, size_t size);
// The start time in a text of /proc/<pid>/stat; 0 for a zombie or no text.
unsigned long long ScmProcStatStartTime(const char *text);

struct ScmFolder {
    char path[kScmPathSize];
    uid_t owner;
};
// A file of the folder: folder "/" key ext (always fits).
struct ScmPath {
    char text[kScmPathSize + kScmKeySize + 16];
};

// The database folder: TARNWICK_SCM when set and not empty, else the
// default; with make, created with its parents (mode 0755) when missing.
// Returns 0; the Windows code of the failed call (kErrorFileNotFound when
// missing); kErrorAccessDenied when it is no directory or others than its
// owner may write it; kErrorFilenameTooLong when its name does not fit.
unsigned long ScmStoreFolder(bool make, ScmFolder *folder);
// What this thread's last ScmStoreFolder or ScmStoreKey refused, and why,
// naming the folder; "" when it refused nothing.
const char *ScmStoreProblem();
// The key of a service name in folder.  Returns 0; kErrorInvalidName for
// an empty name, more than kScmNameMax characters, '/', '\', a control
// character, "." or ".."; kErrorFilenameTooLong (with the problem text)
// when its control socket's path would be longer than kScmSocketPathMax.
unsigned long ScmStoreKey(const char *folder, const char *name, char *key);
ScmPath ScmStorePath(const char *folder, const char *key, const char *ext);
// Returns 0, kErrorServiceDoesNotExist when there is no record (or no
// record in the file), or the Windows code of the failed read.
unsigned long ScmStoreReadRecord(const char *folder, const char *key, ScmRecord *record);
// The status as last written: stopped when there is none.
void ScmStoreReadStatus(const char *folder, const char *key, ScmStoredStatus *stored);
unsigned long ScmStoreWriteStatus(const char *folder, const char *key,
                                  const ScmStoredStatus *stored);
// The status as it stands: the last written one, unless its process has
// ended without reporting kServiceStopped: then the service is recorded
// stopped with kErrorProcessAborted, its socket file removed, and the
// service removed when marked for deletion.  Takes the folder lock for that
// change when it can, unless the caller holds it (have_lock).
void ScmStoreCurrentStatus(const char *folder, const char *key, ScmStoredStatus *stored,
                           bool have_lock);

// The start time of process pid, 0 when there is no such process; whether
// pid with that start time runs (a zombie has ended).
unsigned long long ScmStoreProcessStartTime(long pid);
bool ScmStoreProcessAlive(long pid, unsigned long long start_time);

// Takes the folder lock.  Returns its descriptor, or -1 when the lock file
// cannot be opened for writing (or is a symlink).  Closing it unlocks.
int ScmStoreLock(const char *folder);
