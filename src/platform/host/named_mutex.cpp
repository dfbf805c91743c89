// Stand-in mutexes: CreateMutexA, OpenMutexA, ReleaseMutex and waits on them. With the
// registry in a file, each named mutex is also an advisory lock (flock) on a file beside it,
// so that processes sharing the registry share the mutex; the kernel drops the lock of a
// process that dies, and the byte the holder left in the file tells the next one that the
// mutex was abandoned. The lock files are named for the registry file's device and inode, in
// the folder of the file its links lead to, so that every path to one file shares them.
#include <ctype.h>
#include <stdint.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "platform/host/host_internal.h"

namespace host {

const char kMutexLockFilePrefix[] = "kovaltherm-";
const char kMutexLockFileInfix[] = ".mutex.";

std::string MutexLockFileStem(const std::string &registryPath)
{
    char *real = realpath(registryPath.c_str(), nullptr);
    if (!real)
        return std::string();
    std::string path = real;
    free(real);
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return std::string();
    return path.substr(0, path.rfind('/') + 1) + kMutexLockFilePrefix + std::to_string((uintmax_t)info.st_dev) +
           "-" + std::to_string((uintmax_t)info.st_ino) + kMutexLockFileInfix;
}

namespace {

// The lock file's first byte: the mutex is held, or was released properly.
const char kHeldMark = '1';
const char kFreeMark = '0';
const char kGlobalPrefix[] = "Global\\";
// How often a blocked wait looks again.
const long kPollNs = 500 * 1000;
const uint64_t kUsPerMs = 1000;
// Size of the fixed part of a self-relative security descriptor, of an ACL's header and
// the offset of a SID's subauthority count.
const size_t kDescriptorHeaderSize = 20;
const size_t kAclHeaderSize = 8;
const size_t kSidFixedSize = 8;
const BYTE kDescriptorRevision = 1;
const WORD kSelfRelative = 0x8000;

struct MutexObject {
    std::string name;
    int handles = 0;
    bool owned = false;
    std::thread::id owner;
    uint32_t recursion = 0;
    bool abandoned = false;   // its owner ended without releasing it
    int fd = -1;              // lock file shared with other processes; -1 for none
};

struct HandleEntry {
    uintptr_t handle;
    MutexObject *object;
};

// The live objects and the open handles, in no order, and objects freed for reuse: a process
// has only a few mutexes, and a fuzzer resets the machine and opens them again on every
// input, so nothing here is freed until the process ends.
std::vector<MutexObject *> g_objects;
std::vector<HandleEntry> g_byHandle;
std::vector<MutexObject *> g_spareObjects;

// Frees the objects when the process ends; their handles and lock files end with it.
// Defined after the vectors, so it runs before they are destroyed.
struct ObjectsAtExit {
    ~ObjectsAtExit()
    {
        for (MutexObject *m : g_objects)
            delete m;
        for (MutexObject *m : g_spareObjects)
            delete m;
        g_objects.clear();
        g_spareObjects.clear();
        g_byHandle.clear();
    }
} g_objectsAtExit;
bool g_globalNamespace = true;
uint64_t g_unnamed = 0;

// Abandons, when its thread ends, every mutex the thread still owns.
struct OwnerExit {
    bool armed = false;
    ~OwnerExit();
};
thread_local OwnerExit t_ownerExit;

void WriteMark(int fd, char mark) { (void)!pwrite(fd, &mark, 1, 0); }

// Hands a first-level acquire or last-level release to the test controls' record.
void RecordEvent(MutexObject *m, bool acquired)
{
    if (internal::g_testHooks.mutexEvent)
        internal::g_testHooks.mutexEvent(m->name, acquired, internal::Notebook().log.total);
}

// Gives up ownership; `proper` marks the lock file free, otherwise it stays marked held.
void Disown(MutexObject *m, bool proper)
{
    RecordEvent(m, false);
    m->owned = false;
    m->recursion = 0;
    m->owner = std::thread::id();
    if (m->fd >= 0) {
        if (proper)
            WriteMark(m->fd, kFreeMark);
        flock(m->fd, LOCK_UN);
    }
}

OwnerExit::~OwnerExit()
{
    if (!armed)
        return;
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    std::thread::id self = std::this_thread::get_id();
    for (MutexObject *m : g_objects) {
        if (m->owned && m->owner == self) {
            Disown(m, false);
            m->abandoned = true;
        }
    }
}

// Closes an object whose last handle went (or all of them, at a reset); it is kept for reuse.
void Destroy(MutexObject *m)
{
    if (m->fd >= 0)
        close(m->fd); // drops the lock; a mark left "held" shows it was abandoned
    for (MutexObject *&live : g_objects)
        if (live == m) {
            live = g_objects.back();
            g_objects.pop_back();
            break;
        }
    g_spareObjects.push_back(m);
}

// The live object of that name; null if none.
MutexObject *FindByName(const std::string &name)
{
    for (MutexObject *m : g_objects)
        if (m->name == name)
            return m;
    return nullptr;
}

// The entry of an open mutex handle; null if it is not one.
HandleEntry *FindHandle(HANDLE handle)
{
    for (HandleEntry &entry : g_byHandle)
        if (entry.handle == (uintptr_t)handle)
            return &entry;
    return nullptr;
}

// The record to fill for this call: the test controls' next one, or one kept for the
// stand-in's own use of the name and descriptor (lock held).
MutexCall &NextCall()
{
    static MutexCall unrecorded;
    return internal::g_testHooks.mutexCall ? *internal::g_testHooks.mutexCall() : unrecorded;
}

// The lock file of a named mutex: the registry file's stem, then the name with every
// character that is not a letter, digit, dot or dash written as %XX. "" with the registry in
// memory (or gone).
std::string LockFilePath(const std::string &name)
{
    std::string registry = internal::RegistryFilePath();
    if (registry.empty() || name.empty())
        return std::string();
    static const char kHex[] = "0123456789ABCDEF";
    std::string path = MutexLockFileStem(registry);
    if (path.empty())
        return std::string();
    for (unsigned char c : name) {
        if (isalnum(c) || c == '.' || c == '-') {
            path += (char)c;
        } else {
            path += '%';
            path += kHex[c >> 4];
            path += kHex[c & 15];
        }
    }
    return path;
}

bool RefusedGlobal(const std::string &name)
{
    return !g_globalNamespace && name.compare(0, sizeof kGlobalPrefix - 1, kGlobalPrefix) == 0;
}

// Finds the object of that name, or (with `create`) makes it; sets `*existed`. Null with the
// last error set when its lock file cannot be opened or, without `create`, it does not exist.
MutexObject *FindObject(const std::string &name, bool create, bool *existed)
{
    if (MutexObject *found = FindByName(name)) {
        *existed = true;
        return found;
    }
    std::string path = LockFilePath(name);
    *existed = !path.empty() && access(path.c_str(), F_OK) == 0;
    if (!create && !*existed) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    int fd = -1;
    if (!path.empty()) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    MutexObject *m;
    if (g_spareObjects.empty()) {
        m = new MutexObject;
    } else {
        m = g_spareObjects.back();
        g_spareObjects.pop_back();
        std::string room = std::move(m->name);
        *m = MutexObject{};
        m->name = std::move(room);
    }
    if (name.empty())
        m->name = "\x01unnamed " + std::to_string(++g_unnamed);
    else
        m->name.assign(name);
    m->fd = fd;
    g_objects.push_back(m);
    return m;
}

HANDLE NewHandle(MutexObject *m)
{
    HANDLE handle = internal::OpenKernelHandle();
    g_byHandle.push_back(HandleEntry{(uintptr_t)handle, m});
    ++m->handles;
    return handle;
}

// Takes the mutex for the calling thread if it can at once: returns WAIT_OBJECT_0, or
// WAIT_ABANDONED when the previous owner ended without releasing it; WAIT_TIMEOUT if not.
DWORD TryTake(MutexObject *m)
{
    std::thread::id self = std::this_thread::get_id();
    if (m->owned && m->owner == self) {
        ++m->recursion;
        return WAIT_OBJECT_0;
    }
    if (m->owned)
        return WAIT_TIMEOUT;
    bool abandoned = m->abandoned;
    if (m->fd >= 0) {
        if (flock(m->fd, LOCK_EX | LOCK_NB) != 0)
            return WAIT_TIMEOUT;
        char mark = kFreeMark;
        if (pread(m->fd, &mark, 1, 0) == 1 && mark == kHeldMark)
            abandoned = true;
        WriteMark(m->fd, kHeldMark);
    }
    m->owned = true;
    m->owner = self;
    m->recursion = 1;
    m->abandoned = false;
    t_ownerExit.armed = true;
    RecordEvent(m, true);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// Copies a self-relative security descriptor, as far as its parts reach; false if it is
// not one.
bool CopyDescriptor(const void *descriptor, std::vector<BYTE> *copy)
{
    const BYTE *bytes = (const BYTE *)descriptor;
    WORD control = (WORD)(bytes[2] | bytes[3] << 8);
    if (bytes[0] != kDescriptorRevision || !(control & kSelfRelative))
        return false;
    size_t end = kDescriptorHeaderSize;
    for (int part = 0; part < 4; ++part) {
        const BYTE *field = bytes + 4 + 4 * part;
        size_t offset = field[0] | field[1] << 8 | field[2] << 16 | (size_t)field[3] << 24;
        if (!offset)
            continue;
        bool isAcl = part >= 2; // owner, group, SACL, DACL
        size_t size = isAcl ? (size_t)(bytes[offset + 2] | bytes[offset + 3] << 8)
                            : kSidFixedSize + 4 * (size_t)bytes[offset + 1];
        if (isAcl && size < kAclHeaderSize)
            return false;
        if (offset + size > end)
            end = offset + size;
    }
    copy->assign(bytes, bytes + end);
    return true;
}

} // namespace

namespace internal {

bool IsMutexHandle(HANDLE handle) { return FindHandle(handle) != nullptr; }

void ForgetMutexHandle(HANDLE handle)
{
    HandleEntry *found = FindHandle(handle);
    if (!found)
        return;
    MutexObject *m = found->object;
    *found = g_byHandle.back();
    g_byHandle.pop_back();
    if (--m->handles == 0)
        Destroy(m);
}

DWORD WaitForMutex(HANDLE handle, DWORD ms)
{
    uint64_t startUs;
    timespec realStart;
    clock_gettime(CLOCK_MONOTONIC, &realStart);
    {
        std::lock_guard<std::recursive_mutex> guard(Lock());
        startUs = NowUs();
    }
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> guard(Lock());
            HandleEntry *found = FindHandle(handle);
            if (!found) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            DWORD result = TryTake(found->object);
            if (result != WAIT_TIMEOUT || ms == 0)
                return result;
            if (ms != INFINITE) {
                timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                uint64_t realUs = ElapsedUs(realStart, now);
                uint64_t lengthUs = (uint64_t)ms * kUsPerMs;
                uint64_t endUs = startUs + lengthUs;
                if (VirtualClock() && (NowUs() >= endUs || realUs >= lengthUs)) {
                    VirtualWait(endUs, ms, WaitKind::Mutex);
                    return WAIT_TIMEOUT;
                }
                if (!VirtualClock() && NowUs() >= endUs)
                    return WAIT_TIMEOUT;
            }
        }
        timespec pause{0, kPollNs};
        nanosleep(&pause, nullptr);
    }
}

void ResetNamedMutexes()
{
    // Closing a lock file leaves its mark as it was, so a mutex held here reads as abandoned
    // in other processes; after a fork the parent's locks stay the parent's.
    while (!g_objects.empty())
        Destroy(g_objects.back());
    g_byHandle.clear();
    g_globalNamespace = true;
}

} // namespace internal

void SetGlobalNamespace(bool available)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_globalNamespace = available;
}

int OpenMutexCount()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return (int)g_byHandle.size();
}

} // namespace host

using namespace host;

extern "C" {

// Creates or opens a mutex; an existing one is opened (ERROR_ALREADY_EXISTS) and
// bInitialOwner is then ignored. Fails with ERROR_INVALID_SECURITY_DESCR for a descriptor
// that is not self-relative, ERROR_PATH_NOT_FOUND for a refused Global name, and
// ERROR_ACCESS_DENIED when injected or the lock file cannot be opened.
HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCSTR lpName)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    MutexCall &call = NextCall();
    call.function = FN_CREATE_MUTEX;
    call.name.assign(lpName ? lpName : "");
    const std::string &name = call.name;
    call.access = 0;
    call.initialOwner = bInitialOwner != FALSE;
    call.securityAttributes = lpMutexAttributes != nullptr;
    call.descriptor.clear();
    bool validDescriptor = !lpMutexAttributes || !lpMutexAttributes->lpSecurityDescriptor ||
                           CopyDescriptor(lpMutexAttributes->lpSecurityDescriptor, &call.descriptor);
    if (internal::CallFails(FN_CREATE_MUTEX)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    if (!validDescriptor || (lpMutexAttributes && lpMutexAttributes->nLength !=
                                                      sizeof(SECURITY_ATTRIBUTES))) {
        SetLastError(validDescriptor ? ERROR_INVALID_PARAMETER : ERROR_INVALID_SECURITY_DESCR);
        return NULL;
    }
    if (RefusedGlobal(name)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return NULL;
    }
    bool existed = false;
    MutexObject *m = FindObject(name, true, &existed);
    if (!m)
        return NULL;
    HANDLE handle = NewHandle(m);
    if (!existed && bInitialOwner)
        TryTake(m);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// Opens an existing named mutex: ERROR_FILE_NOT_FOUND if there is none, ERROR_PATH_NOT_FOUND
// for a refused Global name, ERROR_ACCESS_DENIED when injected.
HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    (void)bInheritHandle;
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    MutexCall &call = NextCall();
    call.function = FN_OPEN_MUTEX;
    call.name.assign(lpName ? lpName : "");
    const std::string &name = call.name;
    call.access = dwDesiredAccess;
    call.initialOwner = false;
    call.securityAttributes = false;
    call.descriptor.clear();
    if (internal::CallFails(FN_OPEN_MUTEX)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    if (RefusedGlobal(name)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return NULL;
    }
    bool existed = false;
    MutexObject *m = FindObject(name, false, &existed);
    return m ? NewHandle(m) : NULL;
}

// Releases one level of the calling thread's ownership. ERROR_NOT_OWNER, changing nothing,
// when the thread does not own it (or the failure is injected).
BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    if (internal::CallFails(FN_RELEASE_MUTEX)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    HandleEntry *found = FindHandle(hMutex);
    if (!found) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject *m = found->object;
    if (!m->owned || m->owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m->recursion == 0)
        Disown(m, true);
    return TRUE;
}

} // extern "C"
