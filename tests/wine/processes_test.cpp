// Concurrent processes against the real DLL: 4 processes x 500 mixed calls, started at once,
// each answer compared with the answer a lone caller gets; then the stand-in driver's request
// log must show every controller exchange whole, from its command to its release, with no
// other request inside it and no failed block-read attempt. Then 8 processes x 4 calls behind
// a controller that is always busy: each read takes about 3.4 s, the last caller queued waits
// for seven of them, and still no call runs without the library's mutex or gives up on it.
//
// The test starts its callers as `processes_test.exe caller N CASE`.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "wine_support.h"

namespace {

const int kMaxProcesses = 8;
const int kAttempts = 20; // per block read
const int kMinOrdinal = wine::kMixedMinOrdinal;
const int kOrdinals = wine::kMixedOrdinals;
const int kUntouched = 777;
const char kExpectedFile[] = "processes_test.expected";
const char kStartEvent[] = "KovalthermProcessesTestStart";
// Controller registers and command bytes of the exchange.
const int kCommandIndex = 0x30;
const int kCommandLength = 5;
const int kAnswerLength = 8;
const int kReleaseByte = 0x10;
const int kEchoMask = 0x0F;

using wine::Answer;
using wine::Same;
const int EXPORT_COUNT = wine::MIXED_EXPORT_COUNT;
const char *const *const kExportNames = wine::kMixedExportNames;
enum { COUNT, TEMPERATURE = 2, WARNING, STATUS = 5, SHUTDOWN }; // indices into kExportNames

struct ProcessCase {
    const char *name;
    int processes, calls; // calls per process
    bool busy;            // the controller is busy forever
    int exchanges;        // when busy: each caller reads twice, two block reads a read
};
const ProcessCase kCases[] = {{"mixed", 4, 500, false, 0}, {"busy", 8, 4, true, 8 * 2 * 2}};
// The busy callers': a temperature, the count, a status and a warning limit, of sensor N mod 3.
const int kBusyExports[] = {TEMPERATURE, COUNT, STATUS, WARNING};

wine::Library g_library;

wine::LoneAnswers g_expected;


unsigned NextRandom(unsigned *state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

// Calls export `e` with `ordinal` and returns its result and out-value.
Answer Invoke(int e, int ordinal) { return wine::InvokeMixed(g_library, e, ordinal, kUntouched); }

// One process's calls: a deterministic mix per process; returns the number of wrong answers.
int RunCaller(const ProcessCase &c, int index)
{
    FILE *file = fopen(kExpectedFile, "rb");
    if (!file || fread(g_expected, sizeof g_expected, 1, file) != 1) {
        printf("caller %d: cannot read %s\n", index, kExpectedFile);
        return 1;
    }
    fclose(file);
    if (!g_library.Load())
        return 1;
    HANDLE start = OpenEventA(SYNCHRONIZE, FALSE, kStartEvent);
    if (start)
        WaitForSingleObject(start, 60000);
    unsigned state = 0x9E3779B9u * (unsigned)(index + 1);
    int wrong = 0, failures = 0;
    DWORD longest = 0;
    for (int i = 0; i < c.calls; ++i) {
        int e = c.busy ? kBusyExports[i % 4] : (int)(NextRandom(&state) % EXPORT_COUNT);
        int o = c.busy ? index % 3 : kMinOrdinal + (int)(NextRandom(&state) % kOrdinals);
        DWORD before = GetTickCount();
        Answer a = Invoke(e, o);
        DWORD ms = GetTickCount() - before;
        longest = ms > longest ? ms : longest;
        failures += e != SHUTDOWN && (a.result == 0 || (e == STATUS && a.out == 0));
        const Answer &x = g_expected[e][o - kMinOrdinal];
        if (!Same(a, x) && ++wrong <= 5)
            printf("caller %d: %s(%d) = (%d, %d), alone (%d, %d)\n", index, kExportNames[e], o,
                   a.result, a.out, x.result, x.out);
    }
    printf("caller %d: %d calls, %d wrong, %d documented failures, longest call %lu ms\n",
           index, c.calls, wrong, failures, (unsigned long)longest);
    return wrong;
}

// The log's view of one request.
bool IsWrite(const SimLogEntry &e, int index)
{
    return e.code == SIM_IOCTL_WRITE_CONTROLLER_BYTE && e.input[0] == index;
}
bool IsRead(const SimLogEntry &e, int index)
{
    return e.code == SIM_IOCTL_READ_CONTROLLER_BYTE && e.input[0] == index;
}
bool IsBusyPoll(const SimLogEntry &e) { return e.code == SIM_IOCTL_CONTROLLER_BUSY; }

// Checks the log: every exchange is command (5 writes), attempts (busy poll, 8 reads, busy
// poll) until one answers or 20 have failed, release (5 writes), with nothing else inside.
// Counts exchanges, failed attempts and requests out of place.
void CheckLog(const SimLogEntry *log, size_t n, int *exchanges, int *failedAttempts,
              int *intruders)
{
    size_t i = 0;
    while (i < n) {
        if (!IsWrite(log[i], kCommandIndex) || log[i].input[1] == kReleaseByte) {
            ++i; // outside an exchange: firmware calls, configuration reads
            continue;
        }
        ++*exchanges;
        int code = log[i].input[1] & kEchoMask;
        size_t start = i;
        bool whole = true;
        for (int k = 1; k < kCommandLength; ++k)
            whole = whole && i + k < n && IsWrite(log[i + k], kCommandIndex + k);
        i += kCommandLength;
        bool answered = false;
        int attempts = 0;
        while (whole && i < n && !IsWrite(log[i], kCommandIndex)) {
            // One attempt: a busy poll, then (if not busy) eight reads and a second poll.
            ++attempts;
            if (!IsBusyPoll(log[i])) {
                whole = false;
                break;
            }
            if (log[i].output0) {
                ++*failedAttempts;
                ++i;
                continue;
            }
            for (int k = 0; k < kAnswerLength; ++k)
                whole = whole && i + 1 + k < n && IsRead(log[i + 1 + k], k);
            whole = whole && i + 1 + kAnswerLength < n && IsBusyPoll(log[i + 1 + kAnswerLength]);
            if (!whole)
                break;
            bool echoed = (log[i + 1].output0 & kEchoMask) == code;
            i += 2 + kAnswerLength;
            if (log[i - 1].output0 || !echoed) {
                ++*failedAttempts;
                continue;
            }
            answered = true;
            break;
        }
        // The release: command byte 0x10 and four zeros.
        whole = whole && (answered || attempts == kAttempts) && i + kCommandLength <= n &&
                IsWrite(log[i], kCommandIndex) && log[i].input[1] == kReleaseByte;
        for (int k = 1; whole && k < kCommandLength; ++k)
            whole = IsWrite(log[i + k], kCommandIndex + k);
        if (!whole) {
            if (++*intruders <= 5)
                printf("exchange at request %u is not whole (broken at request %u)\n",
                       (unsigned)start, (unsigned)i);
            i = start + 1;
            continue;
        }
        i += kCommandLength;
    }
}

// The path of this program, for the callers it starts.
std::string SelfPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    return std::string(path, n);
}

void RunProcesses(const ProcessCase &c)
{
    static SimConfig config;
    SimDefaultConfig(&config);
    SimSetBusyPolls(&config, c.busy ? 64 : 0);
    config.busyAfterPattern = c.busy;
    ASSERT_TRUE(wine::LoadScenario(config))
        << "the stand-in driver cannot be reached";
    ASSERT_TRUE(g_library.Load());
    if (c.busy) { // reads take seconds: each call the callers make, once, after a repair
        g_library.getNumSensors();
        for (int o = 0; o < 3; ++o)
            for (int e : kBusyExports)
                g_expected[e][o - kMinOrdinal] = Invoke(e, o);
    } else {
        ASSERT_NO_FATAL_FAILURE(wine::RecordLoneAnswers(g_library, kUntouched, g_expected));
    }
    FILE *file = fopen(kExpectedFile, "wb");
    ASSERT_TRUE(file && fwrite(g_expected, sizeof g_expected, 1, file) == 1)
        << "cannot write " << kExpectedFile;
    fclose(file);
    // The log starts afresh with the callers.
    ASSERT_TRUE(wine::LoadScenario(config));

    HANDLE start = CreateEventA(NULL, TRUE, FALSE, kStartEvent);
    HANDLE processes[kMaxProcesses];
    std::string self = SelfPath();
    for (int p = 0; p < c.processes; ++p) {
        char command[MAX_PATH + 32];
        snprintf(command, sizeof command, "\"%s\" caller %d %s", self.c_str(), p, c.name);
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info;
        ASSERT_TRUE(CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                                   &info))
            << "CreateProcess failed (error " << GetLastError() << ")";
        CloseHandle(info.hThread);
        processes[p] = info.hProcess;
    }
    Sleep(500); // let every caller load the library and wait for the start
    SetEvent(start);
    WaitForMultipleObjects((DWORD)c.processes, processes, TRUE, INFINITE);
    int wrong = 0, failedProcesses = 0;
    for (int p = 0; p < c.processes; ++p) {
        DWORD code = 1;
        GetExitCodeProcess(processes[p], &code);
        wrong += (int)code;
        failedProcesses += code != 0;
        CloseHandle(processes[p]);
    }
    CloseHandle(start);
    DeleteFileA(kExpectedFile);

    uint32_t total = 0;
    std::vector<SimLogEntry> log = wine::RequestLog(&total);
    size_t n = log.size();
    int exchanges = 0, failedAttempts = 0, intruders = 0;
    CheckLog(log.data(), n, &exchanges, &failedAttempts, &intruders);
    printf("processes (%s): %d x %d calls, %d wrong answers\n", c.name, c.processes, c.calls,
           wrong);
    printf("request log: %u requests (%u kept), %d exchanges, %d failed block-read attempts, "
           "%d exchanges with another request inside\n",
           (unsigned)total, (unsigned)n, exchanges, failedAttempts, intruders);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(failedProcesses, 0);
    EXPECT_GT(n, 0u);
    EXPECT_EQ(total, n) << "the request log overflowed";
    EXPECT_EQ(intruders, 0);
    // Busy, every read ran both its block reads to the 20th attempt: none gave up its wait.
    EXPECT_EQ(failedAttempts, c.busy ? exchanges * kAttempts : 0);
    if (c.busy)
        EXPECT_EQ(exchanges, c.exchanges);
    else
        EXPECT_GT(exchanges, 0);
}

TEST(Processes, FourCallersGetALoneCallersAnswersAndKeepEveryExchangeWhole)
{
    RunProcesses(kCases[0]);
}

TEST(Processes, EightCallersBehindAnAlwaysBusyControllerNeitherShareItNorTimeOut)
{
    RunProcesses(kCases[1]);
}

} // namespace

int main(int argc, char **argv)
{
    int result;
    if (argc > 3 && strcmp(argv[1], "caller") == 0) {
        result = RunCaller(kCases[strcmp(argv[3], kCases[0].name) != 0], atoi(argv[2]));
    } else {
        testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    fflush(stdout);
    // Exits from the main thread at once, as the threads test does under emulation.
    ExitProcess((UINT)result);
}
