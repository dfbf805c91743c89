// The stand-in's named mutexes behave like Windows mutexes: by name, owned per thread and
// recursively, released only by their owner, abandoned by an owner that ends, with waits
// bounded on the stand-in's clock, and shared with other processes through the registry file.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/support/machine.h"
#include "platform/host/sqlite_registry.h"

namespace {

using NamedMutexTest = MachineTest;

const DWORD kAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Runs `f` on a thread of its own and waits for it.
template <class F> void OnOtherThread(F f)
{
    std::thread thread(f);
    thread.join();
}

TEST_F(NamedMutexTest, CreateOpensAnExistingNameAndOpenFindsOnlyExistingOnes)
{
    SetLastError(0);
    EXPECT_EQ(OpenMutexA(kAccess, FALSE, "M"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    HANDLE first = CreateMutexA(nullptr, FALSE, "M");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE second = CreateMutexA(nullptr, FALSE, "M");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenMutexA(kAccess, FALSE, "M");
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(OpenMutexA(kAccess, FALSE, "m"), nullptr) << "object names are case-sensitive";
    EXPECT_EQ(host::OpenMutexCount(), 3);

    // All three handles name one object: owned through one, it is owned through all.
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(opened));
    EXPECT_FALSE(ReleaseMutex(second));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);

    for (HANDLE h : {first, second, opened})
        EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(host::OpenMutexCount(), 0);
    EXPECT_EQ(OpenMutexA(kAccess, FALSE, "M"), nullptr) << "the last close ends the object";
}

TEST_F(NamedMutexTest, GlobalNamesFailWithPathNotFoundWhereTheNamespaceIsRefused)
{
    host::SetGlobalNamespace(false);
    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "Global\\M"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(OpenMutexA(kAccess, FALSE, "Global\\M"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    HANDLE local = CreateMutexA(nullptr, FALSE, "M");
    EXPECT_NE(local, nullptr);
    host::SetGlobalNamespace(true);
    EXPECT_NE(CreateMutexA(nullptr, FALSE, "Global\\M"), nullptr);
}

TEST_F(NamedMutexTest, OwnershipIsPerThreadAndRecursive)
{
    HANDLE m = CreateMutexA(nullptr, TRUE, "M");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); // second level
    OnOtherThread([&] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    });
    EXPECT_TRUE(ReleaseMutex(m));
    OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT); });
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    OnOtherThread([&] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    });
}

TEST_F(NamedMutexTest, AThreadThatEndsOwningItAbandonsIt)
{
    HANDLE m = CreateMutexA(nullptr, FALSE, "M");
    OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); });
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandoned once, not for good";
    EXPECT_TRUE(ReleaseMutex(m));
}

TEST_F(NamedMutexTest, AWaitTimesOutOnTheVirtualClockAndIsRecorded)
{
    HANDLE m = CreateMutexA(nullptr, FALSE, "M");
    std::atomic<bool> held{false}, done{false};
    std::thread holder([&] {
        WaitForSingleObject(m, 0);
        held = true;
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ReleaseMutex(m);
    });
    while (!held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    host::ClearWaits();
    uint64_t before = host::NowMs();
    std::thread advancer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        host::AdvanceClock(250);
    });
    EXPECT_EQ(WaitForSingleObject(m, 200), WAIT_TIMEOUT);
    advancer.join();
    std::vector<host::Wait> waits = host::Waits();
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_EQ(waits[0].ms, 200u);
    EXPECT_EQ(waits[0].kind, host::WaitKind::Mutex);
    EXPECT_GE(host::NowMs(), before + 200);
    done = true;
    holder.join();
    EXPECT_EQ(WaitForSingleObject(m, 200), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
}

// A bounded wait measures real time between two clock readings; when the later reading's
// nanoseconds are fewer than the earlier one's, a second is borrowed.
TEST(ElapsedTimeTest, CountsWholeMicrosecondsAcrossSecondBoundaries)
{
    struct Case {
        timespec start, end;
        uint64_t us;
    } cases[] = {
        {{5, 0}, {5, 0}, 0},
        {{5, 1000}, {5, 3999}, 2},
        {{5, 999999000}, {6, 1000}, 2},                 // nanoseconds borrow a second
        {{5, 999999999}, {6, 0}, 0},                    // one nanosecond
        {{5, 500000000}, {7, 250000000}, 1750000},
        {{0, 999000000}, {5000, 0}, 4999001000ull},
    };
    for (const Case &c : cases)
        EXPECT_EQ(host::ElapsedUs(c.start, c.end), c.us)
            << c.start.tv_sec << "." << c.start.tv_nsec << " to " << c.end.tv_sec << "." << c.end.tv_nsec;
}

// A long wait on the virtual clock that crosses a second of the real clock lasts until the
// owner releases, well before its bound.
TEST_F(NamedMutexTest, AWaitAcrossASecondOfRealTimeLastsUntilTheRelease)
{
    HANDLE m = CreateMutexA(nullptr, FALSE, "M");
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        WaitForSingleObject(m, 0);
        held = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        ReleaseMutex(m);
    });
    while (!held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Starts the wait 20 ms before the monotonic clock's next whole second.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long toBoundaryNs = 1000000000L - now.tv_nsec;
    timespec pause{0, toBoundaryNs > 20000000L ? toBoundaryNs - 20000000L : toBoundaryNs + 980000000L};
    nanosleep(&pause, nullptr);
    release = true;
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    holder.join();
}

TEST_F(NamedMutexTest, AWaitEndsWhenTheOwnerReleases)
{
    host::SetClockMode(host::ClockMode::Real);
    HANDLE m = CreateMutexA(nullptr, TRUE, "M");
    std::thread waiter([&] {
        EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(ReleaseMutex(m));
    waiter.join();
}

TEST_F(NamedMutexTest, FailuresAreTheRealOnes)
{
    struct Case {
        host::HostFunction function;
        DWORD error;
    };
    const Case cases[] = {
        {host::FN_CREATE_MUTEX, ERROR_ACCESS_DENIED},
        {host::FN_OPEN_MUTEX, ERROR_ACCESS_DENIED},
        {host::FN_RELEASE_MUTEX, ERROR_NOT_OWNER},
        {host::FN_WAIT_FOR_SINGLE_OBJECT, ERROR_GEN_FAILURE},
    };
    for (const Case &c : cases) {
        host::ResetMachine();
        HANDLE m = CreateMutexA(nullptr, TRUE, "M");
        host::InjectFault(1, host::FaultMode::Once, 1u << c.function);
        SetLastError(0);
        switch (c.function) {
        case host::FN_CREATE_MUTEX: EXPECT_EQ(CreateMutexA(nullptr, FALSE, "M"), nullptr); break;
        case host::FN_OPEN_MUTEX: EXPECT_EQ(OpenMutexA(kAccess, FALSE, "M"), nullptr); break;
        case host::FN_RELEASE_MUTEX: EXPECT_FALSE(ReleaseMutex(m)); break;
        default: EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED); break;
        }
        EXPECT_EQ(GetLastError(), c.error) << c.function;
        EXPECT_TRUE(host::FaultFired());
        // A failed release leaves the owner as it was: one release still ends the ownership.
        EXPECT_TRUE(ReleaseMutex(m)) << c.function;
        EXPECT_FALSE(ReleaseMutex(m)) << c.function;
    }
    // A handle that is no mutex, and one that is no longer open.
    HANDLE m = CreateMutexA(nullptr, FALSE, "N");
    CloseHandle(m);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_FAILED);
    // A descriptor that is not self-relative.
    BYTE absolute[20] = {1, 0, 4, 0};
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, absolute, FALSE};
    EXPECT_EQ(CreateMutexA(&attributes, FALSE, "O"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_SECURITY_DESCR);
}

// Processes sharing a registry file share its named mutexes.
class SharedNamedMutexTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        char pattern[] = "/tmp/named-mutex-XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir_ = pattern;
        std::string error;
        auto store = host::MakeSqliteRegistry(dir_ + "/registry.db", &error);
        ASSERT_TRUE(store) << error;
        host::UseRegistry(std::move(store));
    }
    void TearDown() override
    {
        host::ResetMachine();
        MachineTest::TearDown();
        (void)!system(("rm -rf '" + dir_ + "'").c_str());
    }

    // In a forked child: forgets the objects copied from the parent, whose lock files share
    // the parent's locks, and opens the registry file as a process of its own would.
    void Reopen(const std::string &name = "registry.db")
    {
        host::ResetMachine();
        std::string error;
        host::UseRegistry(host::MakeSqliteRegistry(dir_ + "/" + name, &error));
    }

    // Forks a child that takes the mutex, reports it on a pipe and then runs `then`; the child
    // opens the registry file by the path `registry` in the test's folder.
    pid_t ForkHolder(const char *name, void (*then)(HANDLE), const std::string &registry = "registry.db")
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            Reopen(registry);
            HANDLE m = CreateMutexA(nullptr, FALSE, name);
            DWORD result = WaitForSingleObject(m, 0);
            char ok = result == WAIT_OBJECT_0 ? 'y' : 'n';
            (void)!write(fds[1], &ok, 1);
            then(m);
            _exit(0);
        }
        close(fds[1]);
        char ok = 0;
        EXPECT_EQ(read(fds[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        close(fds[0]);
        return child;
    }

    // A child that opened the registry by `registry` holds `m` ("Global\\Shared") against this
    // process until SIGKILL ends it; the next wait here then finds the mutex abandoned.
    void ExpectKilledHolderLeavesItAbandoned(HANDLE m, const std::string &registry)
    {
        pid_t child = ForkHolder("Global\\Shared", [](HANDLE) { pause(); }, registry);
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);
        EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED);
        EXPECT_TRUE(ReleaseMutex(m));
    }

    std::string dir_;
};

TEST_F(SharedNamedMutexTest, AnotherProcessHoldingItMakesTheWaitTimeOut)
{
    host::SetClockMode(host::ClockMode::Real);
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Shared");
    ASSERT_NE(m, nullptr);
    pid_t child = ForkHolder("Global\\Shared", [](HANDLE h) {
        usleep(300 * 1000);
        ReleaseMutex(h);
    });
    uint64_t start = host::NowMs();
    EXPECT_EQ(WaitForSingleObject(m, 50), WAIT_TIMEOUT);
    EXPECT_GE(host::NowMs() - start, 50u);
    EXPECT_EQ(WaitForSingleObject(m, 5000), WAIT_OBJECT_0) << "released properly: not abandoned";
    EXPECT_TRUE(ReleaseMutex(m));
    int status;
    waitpid(child, &status, 0);
}

TEST_F(SharedNamedMutexTest, AHolderKilledBySigkillLeavesItAbandoned)
{
    host::SetClockMode(host::ClockMode::Real);
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Shared");
    ExpectKilledHolderLeavesItAbandoned(m, "registry.db");
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
}

TEST_F(SharedNamedMutexTest, AnotherProcessOpensWhatOneCreated)
{
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Shared");
    ASSERT_NE(m, nullptr);
    pid_t child = fork();
    if (child == 0) {
        Reopen();
        HANDLE opened = OpenMutexA(kAccess, FALSE, "Global\\Shared");
        _exit(opened && !OpenMutexA(kAccess, FALSE, "Global\\Other") ? 0 : 1);
    }
    int status;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A process that reaches the registry file through a symbolic link from another folder
// shares its mutexes: the lock files belong to the file, not to the name.
TEST_F(SharedNamedMutexTest, APathThroughASymbolicLinkSharesTheMutex)
{
    ASSERT_EQ(mkdir((dir_ + "/elsewhere").c_str(), 0755), 0);
    ASSERT_EQ(symlink("../registry.db", (dir_ + "/elsewhere/link.db").c_str()), 0);
    HANDLE m = CreateMutexA(nullptr, FALSE, "Global\\Shared");
    ExpectKilledHolderLeavesItAbandoned(m, "elsewhere/link.db");
}

} // namespace
