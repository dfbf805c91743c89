// The host stand-in behaves like the Win32 functions it replaces, and injects faults.
#include <string.h>

#include <memory>
#include <string>
#include <thread>

#include "tests/support/machine.h"

namespace {

using HostTest = MachineTest;

TEST_F(HostTest, RegistryOpenCreateQuerySetClose)
{
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A\\B", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_CREATED_NEW_KEY);
    DWORD v = 0x01020304;
    EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE *)&v, 4), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, (LPBYTE)&v, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD type = 0, data = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, (LPBYTE)&data, &size),
              ERROR_ACCESS_DENIED); // KEY_WRITE has no query right
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\a\\b", 0, nullptr, 0, KEY_READ,
                              nullptr, &key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, (DWORD)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, (LPBYTE)&data, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data, 0x01020304u);
    EXPECT_EQ(RegQueryValueExA(key, "W", nullptr, &type, (LPBYTE)&data, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE *)&v, 4), ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    SetRaw("SOFTWARE\\A", "Long", REG_BINARY, std::vector<BYTE>(8, 1));
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 0, KEY_READ, &key), 0);
    size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "Long", nullptr, &type, (LPBYTE)&data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    host::Registry().DeleteKey("SOFTWARE\\A");
    EXPECT_EQ(RegQueryValueExA(key, "Long", nullptr, &type, (LPBYTE)&data, &size), 1018);
    RegCloseKey(key);
    EXPECT_EQ(host::OpenKeyCount(), 0);
}

// A store in memory that can be made unreadable: then every call fails and says so.
class BreakableStore : public host::RegistryStore {
public:
    bool broken = false;
    bool KeyExists(std::string_view p) override { return !broken && inner_->KeyExists(p); }
    bool CreateKey(std::string_view p) override { return !broken && inner_->CreateKey(p); }
    bool GetValue(std::string_view p, std::string_view n, host::RegValue *v) override
    {
        return !broken && inner_->GetValue(p, n, v);
    }
    bool SetValue(std::string_view p, std::string_view n, const host::RegValue &v) override
    {
        return !broken && inner_->SetValue(p, n, v);
    }
    bool DeleteValue(std::string_view p, std::string_view n) override
    {
        return !broken && inner_->DeleteValue(p, n);
    }
    bool DeleteKey(std::string_view p) override { return !broken && inner_->DeleteKey(p); }
    bool Failed() const override { return broken; }
    std::vector<std::string> SubKeys(std::string_view p) override { return inner_->SubKeys(p); }
    std::vector<std::pair<std::string, host::RegValue>> Values(std::string_view p) override
    {
        return inner_->Values(p);
    }

private:
    std::unique_ptr<host::RegistryStore> inner_ = host::MakeMemoryRegistry();
};

// A store that cannot be read makes every registry call fail with an I/O error, never
// report the key or value missing.
TEST_F(HostTest, AnUnreadableStoreIsAnErrorNotAMissingKey)
{
    auto owned = std::make_unique<BreakableStore>();
    BreakableStore *store = owned.get();
    host::UseRegistry(std::move(owned));
    HKEY key, sub;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr), ERROR_SUCCESS);
    store->broken = true;
    DWORD type = 0, data = 0, size = 4;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\A", 0, KEY_READ, &sub),
              ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", 0, nullptr, 0, KEY_WRITE, nullptr,
                              &sub, nullptr), ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, (LPBYTE)&data, &size),
              ERROR_REGISTRY_IO_FAILED);
    EXPECT_EQ(RegSetValueExA(key, "V", 0, REG_DWORD, (const BYTE *)&data, 4),
              ERROR_REGISTRY_IO_FAILED);
    store->broken = false;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", 0, KEY_READ, &sub),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, (LPBYTE)&data, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(HostTest, FaultHitsTheNthCallOnceOrFromThenOn)
{
    host::Registry().CreateKey("SOFTWARE");
    auto open = []() {
        HKEY key;
        LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key);
        if (status == ERROR_SUCCESS)
            RegCloseKey(key);
        return status;
    };
    // Opens and closes alternate: call 3 is the second open.
    host::InjectFault(3, host::FaultMode::Once);
    EXPECT_EQ(open(), ERROR_SUCCESS);
    EXPECT_FALSE(host::FaultFired());
    EXPECT_NE(open(), ERROR_SUCCESS);
    EXPECT_TRUE(host::FaultFired());
    EXPECT_EQ(open(), ERROR_SUCCESS);

    host::InjectFault(2, host::FaultMode::Persistent, 1u << host::FN_REG_OPEN_KEY);
    EXPECT_EQ(open(), ERROR_SUCCESS);
    EXPECT_NE(open(), ERROR_SUCCESS);
    EXPECT_NE(open(), ERROR_SUCCESS);
    EXPECT_EQ(host::FaultableCalls(), 3u);
    host::ClearFault();
    EXPECT_EQ(open(), ERROR_SUCCESS);

    // A failed close still releases the key.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), 0);
    host::InjectFault(1, host::FaultMode::Once);
    EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(host::OpenKeyCount(), 0);
}

TEST_F(HostTest, DeviceControlFailsWithoutTouchingTheOutput)
{
    HANDLE device = CreateFileA("\\\\.\\QORIX", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE in[24] = {0x7E}, out[24];
    memset(out, 0xEE, sizeof out);
    DWORD returned = 99;
    host::InjectFault(1, host::FaultMode::Once);
    EXPECT_FALSE(DeviceIoControl(device, 0x9C80, in, 24, out, 24, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 31u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_TRUE(DeviceIoControl(device, 0x9C80, in, 24, out, 24, &returned, nullptr));
    EXPECT_EQ(out[0], 0xB2);
    EXPECT_EQ(out[1], 0xEE); // only the bytes the driver returned are copied
    EXPECT_EQ(returned, 1u);
    EXPECT_FALSE(DeviceIoControl(device, 0x1234, in, 24, out, 24, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 1u);
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(DeviceIoControl(device, 0x9C80, in, 24, out, 24, &returned, nullptr));
    EXPECT_EQ(GetLastError(), 6u);
}

TEST_F(HostTest, LastErrorIsPerThread)
{
    SetLastError(5);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(31);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(HostTest, SleepMovesTheVirtualClockAndIsRecorded)
{
    host::AdvanceClock(10);
    Sleep(2);
    Sleep(50);
    auto waits = host::Waits();
    ASSERT_EQ(waits.size(), 2u);
    EXPECT_EQ(waits[0].atMs, 10u);
    EXPECT_EQ(waits[0].ms, 2u);
    EXPECT_EQ(waits[1].atMs, 12u);
    EXPECT_EQ(host::NowMs(), 62u);
}

TEST_F(HostTest, TimerFunctionsFollowTheChosenWindowsGeneration)
{
    struct Case {
        host::TimerSupport support;
        bool setTimer, createTimerEx, highResolution;
    };
    const Case cases[] = {
        {host::TimerSupport::None, false, false, false},
        {host::TimerSupport::Basic, true, false, false},
        {host::TimerSupport::Ex, true, true, false},
        {host::TimerSupport::HighResolution, true, true, true},
    };
    for (const Case &c : cases) {
        host::ResetMachine();
        host::SetTimerSupport(c.support);
        HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
        ASSERT_NE(kernel, nullptr);
        EXPECT_EQ(GetProcAddress(kernel, "SetWaitableTimer") != nullptr, c.setTimer);
        EXPECT_EQ(GetProcAddress(kernel, "CreateWaitableTimerExW") != nullptr, c.createTimerEx);
        EXPECT_EQ(GetProcAddress(kernel, "createwaitabletimerexw"), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_PROC_NOT_FOUND);
        HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr,
                                              CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                              TIMER_ALL_ACCESS);
        EXPECT_EQ(timer != nullptr, c.highResolution);
        if (!timer)
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        else
            CloseHandle(timer);
    }
    EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST_F(HostTest, TimerSignalsAfterItsRelativeDueTime)
{
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(host::OpenHandleCount(), 1);
    // Waiting forever on a timer that was never set would hang; the stand-in refuses.
    EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_FAILED);
    host::AdvanceClock(5);
    LARGE_INTEGER due;
    due.QuadPart = -20000; // 2 ms in 100 ns units
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(host::NowMs(), 7u);
    due.QuadPart = -5001; // just over half a millisecond: counts as 1 ms, ends 1 ms later
    ASSERT_TRUE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(host::NowMs(), 8u);
    // A synchronization timer resets once a wait on it has ended.
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT);
    auto waits = host::Waits();
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits[0].atMs, 5u);
    EXPECT_EQ(waits[0].ms, 2u);
    EXPECT_EQ(waits[1].ms, 1u);
    EXPECT_EQ(waits[0].kind, host::WaitKind::Timer);

    BYTE in[24] = {0x7E}, out[24];
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(timer, 0x9C80, in, 24, out, 24, &returned, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(timer));
    EXPECT_EQ(host::OpenHandleCount(), 0);
    EXPECT_FALSE(SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE));
    EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_FAILED);
}

// wsprintfA's own grammar, as USER32 documents it: one argument per case.
TEST_F(HostTest, WsprintfFormatsAsUser32Does)
{
    struct Case {
        const char *format;
        int number;
        const char *expected;
    };
    const Case cases[] = {
        {"%d", 0, "0"},
        {"%d", -2147483647 - 1, "-2147483648"},
        {"%i", 42, "42"},
        {"%5d", -7, "   -7"},
        {"%-5d|", 7, "7    |"},
        {"%05d", -7, "-0007"},
        {"%.3d", 7, "007"},
        {"%u", -1, "4294967295"},
        {"%x", 255, "ff"},
        {"%X", 255, "FF"},
        {"%#x", 255, "0xff"},
        {"%#X", 0, "0"},
        {"%lu", 12, "12"},
        {"%hd", 5, "5"},
        {"%c", 'A', "A"},
        {"100%% %d", 1, "100% 1"},
        {"%y%d", 3, "y3"},
        {"end %", 0, "end "},
    };
    for (const Case &c : cases) {
        char out[64];
        int n = wsprintfA(out, c.format, c.number);
        EXPECT_STREQ(out, c.expected) << c.format;
        EXPECT_EQ(n, (int)strlen(c.expected)) << c.format;
    }
}

TEST_F(HostTest, WsprintfFormatsStringsAndStopsAt1024)
{
    char path[2048];
    EXPECT_EQ(wsprintfA(path, "%s\\Sensor %d", "SOFTWARE\\X", 7), 19);
    EXPECT_STREQ(path, "SOFTWARE\\X\\Sensor 7");
    EXPECT_EQ(wsprintfA(path, "[%5s|%-4s|%.2s]", "ab", "c", "xyz"), 15);
    EXPECT_STREQ(path, "[   ab|c   |xy]");
    EXPECT_EQ(wsprintfA(path, "%I64d", (long long)-5000000000), 11);
    EXPECT_STREQ(path, "-5000000000");

    std::string longText(1500, 'k');
    EXPECT_EQ(wsprintfA(path, "%s", longText.c_str()), 1024);
    EXPECT_EQ(strlen(path), 1024u);
}

} // namespace
