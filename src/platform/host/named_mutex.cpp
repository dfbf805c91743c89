// Stand-in mutexes: CreateMutexA, OpenMutexA, ReleaseMutex and waits on them. With the
// registry in a file, each named mutex is also an advisory lock (flock) on a file beside it,
// so that processes sharing the registry share the mutex; the kernel drops the lock of a
// process that dies, and the byte the holder left in the file tells the next one that the
// mutex was abandoned.
#include <ctype.h>
#include <stdint.h>
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "platform/host/host_internal.h"

namespace host {

namespace {

// The lock file's first byte: the mutex is held, or was released properly.
const char kHeldMark = '1';
const char kFreeMark = '0';
const char kGlobalPrefix[] = "Global\\";
const char kLockFileInfix[] = ".mutex.";
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
    size_t eventName = SIZE_MAX; // its index in the event names, once it has an event
};

std::map<std::string, MutexObject *> g_byName;
std::map<uintptr_t, MutexObject *> g_byHandle;

// Frees the objects still open when the process ends; their handles and lock files end with
// it. Defined after the maps, so it runs before they are destroyed.
struct ObjectsAtExit {
    ~ObjectsAtExit()
    {
        for (auto &entry : g_byName)
            delete entry.second;
        g_byName.clear();
        g_byHandle.clear();
    }
} g_objectsAtExit;
std::vector<MutexCall> g_calls;
// Events as kept: the name as an index into the names seen so far, so that recording one
// copies no string (a fuzzing run takes a mutex on every call).
struct EventRecord {
    size_t name;
    bool acquired;
    uint32_t requests;
};
std::vector<EventRecord> g_events;
std::vector<std::string> g_eventNames; // never shrinks: a process names only a few mutexes
bool g_globalNamespace = true;
uint64_t g_unnamed = 0;

// Abandons, when its thread ends, every mutex the thread still owns.
struct OwnerExit {
    bool armed = false;
    ~OwnerExit();
};
thread_local OwnerExit t_ownerExit;

void WriteMark(int fd, char mark) { (void)!pwrite(fd, &mark, 1, 0); }

// At most this many events are kept between resets: a long-running tool takes a mutex on
// every call and must not grow without bound.
const size_t kMaxEvents = 16384;

// Records a first-level acquire or last-level release, while there is room.
void RecordEvent(MutexObject *m, bool acquired)
{
    if (g_events.size() >= kMaxEvents)
        return;
    if (m->eventName == SIZE_MAX) {
        m->eventName = 0;
        while (m->eventName < g_eventNames.size() && g_eventNames[m->eventName] != m->name)
            ++m->eventName;
        if (m->eventName == g_eventNames.size())
            g_eventNames.push_back(m->name);
    }
    g_events.push_back(EventRecord{m->eventName, acquired, internal::Notebook().log.total});
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
    for (auto &entry : g_byName) {
        if (entry.second->owned && entry.second->owner == self) {
            Disown(entry.second, false);
            entry.second->abandoned = true;
        }
    }
}

// Closes an object whose last handle went.
void Destroy(MutexObject *m)
{
    if (m->fd >= 0)
        close(m->fd); // drops the lock; a mark left "held" shows it was abandoned
    g_byName.erase(m->name);
    delete m;
}

// The lock file of a named mutex: beside the registry file, the name with every character
// that is not a letter, digit, dot or dash written as %XX. "" with the registry in memory.
std::string LockFilePath(const std::string &name)
{
    std::string registry = internal::RegistryFilePath();
    if (registry.empty() || name.empty())
        return std::string();
    static const char kHex[] = "0123456789ABCDEF";
    std::string path = registry + kLockFileInfix;
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
    auto found = g_byName.find(name);
    if (found != g_byName.end()) {
        *existed = true;
        return found->second;
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
    MutexObject *m = new MutexObject;
    m->name = name.empty() ? "\x01unnamed " + std::to_string(++g_unnamed) : name;
    m->fd = fd;
    g_byName[m->name] = m;
    return m;
}

HANDLE NewHandle(MutexObject *m)
{
    HANDLE handle = internal::OpenKernelHandle("<mutex " + m->name + ">");
    g_byHandle[(uintptr_t)handle] = m;
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

bool IsMutexHandle(HANDLE handle) { return g_byHandle.count((uintptr_t)handle) != 0; }

void ForgetMutexHandle(HANDLE handle)
{
    auto found = g_byHandle.find((uintptr_t)handle);
    if (found == g_byHandle.end())
        return;
    MutexObject *m = found->second;
    g_byHandle.erase(found);
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
            auto found = g_byHandle.find((uintptr_t)handle);
            if (found == g_byHandle.end()) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            DWORD result = TryTake(found->second);
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
    for (auto &entry : g_byName) {
        MutexObject *m = entry.second;
        if (m->fd >= 0)
            close(m->fd);
        delete m;
    }
    g_byName.clear();
    g_byHandle.clear();
    g_calls.clear();
    g_events.clear();
    g_globalNamespace = true;
}

} // namespace internal

void SetGlobalNamespace(bool available)
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    g_globalNamespace = available;
}

std::vector<MutexCall> MutexCalls()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    return g_calls;
}

std::vector<MutexEvent> MutexEvents()
{
    std::lock_guard<std::recursive_mutex> guard(internal::Lock());
    std::vector<MutexEvent> events;
    for (const EventRecord &e : g_events)
        events.push_back(MutexEvent{g_eventNames[e.name], e.acquired, e.requests});
    return events;
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
    std::string name = lpName ? lpName : "";
    MutexCall call{FN_CREATE_MUTEX, name, 0, bInitialOwner != FALSE, lpMutexAttributes != nullptr,
                   {}};
    bool validDescriptor = !lpMutexAttributes || !lpMutexAttributes->lpSecurityDescriptor ||
                           CopyDescriptor(lpMutexAttributes->lpSecurityDescriptor, &call.descriptor);
    g_calls.push_back(call);
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
    std::string name = lpName ? lpName : "";
    g_calls.push_back(MutexCall{FN_OPEN_MUTEX, name, dwDesiredAccess, false, false, {}});
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
    auto found = g_byHandle.find((uintptr_t)hMutex);
    if (found == g_byHandle.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject *m = found->second;
    if (!m->owned || m->owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--m->recursion == 0)
        Disown(m, true);
    return TRUE;
}

} // extern "C"
