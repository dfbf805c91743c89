// Loading and unloading the library: device names, support decision, firmware port.
#include <string.h>

#include "base/device_state.h"
#include "tests/support/machine.h"

namespace {

using EntryTest = MachineTest;

struct OpenCase {
    host::OsFamily family;
    const char *path;
    DWORD access;
    DWORD flags;
};

TEST_F(EntryTest, OpensTheDriverByOsFamily)
{
    const OpenCase cases[] = {
        {host::OsFamily::Nt, "\\\\.\\qorix", 0xC0000000u, 0},
        {host::OsFamily::Win9x, "\\\\.\\qorix.vxd", 0, 0x04000000u},
    };
    for (const OpenCase &c : cases) {
        SCOPED_TRACE(c.path);
        host::ResetMachine();
        host::SetOsFamily(c.family);
        ASSERT_TRUE(Attach());
        auto calls = host::CreateFileCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].path, c.path);
        EXPECT_EQ(calls[0].access, c.access);
        EXPECT_EQ(calls[0].share, 0u);
        EXPECT_FALSE(calls[0].securityAttributes);
        EXPECT_EQ(calls[0].disposition, 3u);
        EXPECT_EQ(calls[0].flags, c.flags);
        EXPECT_FALSE(calls[0].templateFile);
        EXPECT_STREQ(g_deviceState.devicePath, c.path);
        EXPECT_EQ(host::OpenHandleCount(), 1);
        Detach();
        EXPECT_EQ(host::OpenHandleCount(), 0);
    }
}

struct RefusalCase {
    const char *name;
    host::OsFamily family;
    const char *missingDevice; // nullptr: the driver is installed
    size_t opens;              // CreateFileA calls expected
};

TEST_F(EntryTest, RefusesToLoadWithoutADevice)
{
    const RefusalCase cases[] = {
        {"NT without driver", host::OsFamily::Nt, "\\\\.\\qorix", 1},
        {"9x without driver", host::OsFamily::Win9x, "\\\\.\\qorix.vxd", 1},
        {"unknown platform", host::OsFamily::Other, nullptr, 0},
        {"version query fails", host::OsFamily::QueryFails, nullptr, 0},
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        host::SetOsFamily(c.family);
        if (c.missingDevice)
            host::SetDeviceAvailable(c.missingDevice, false);
        EXPECT_FALSE(Attach());
        EXPECT_EQ(host::CreateFileCalls().size(), c.opens);
        EXPECT_EQ(host::OpenHandleCount(), 0);
        EXPECT_EQ(host::OpenKeyCount(), 0);
        EXPECT_TRUE(host::RequestLog().empty());
        // The loader follows a refused attach with a detach, which must find nothing to close.
        Detach();
        EXPECT_EQ(host::CallCount(host::FN_CLOSE_HANDLE), 0u);
    }
}

struct SupportCase {
    const char *name;
    bool thermalKey;
    bool probeSucceeds;
    int supported;
    size_t probes;
};

TEST_F(EntryTest, DecidesThermalSupport)
{
    const SupportCase cases[] = {
        {"cache present, probe fails", true, false, 1, 0},
        {"cache present, probe succeeds", true, true, 1, 0},
        {"no cache, probe succeeds", false, true, 1, 1},
        {"no cache, probe fails", false, false, 0, 1},
    };
    for (const SupportCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        if (c.thermalKey)
            host::Registry().CreateKey(kThermalPath);
        Scenario([&](SimConfig &config) { config.probeSucceeds = c.probeSucceeds; });
        ASSERT_TRUE(Attach());
        EXPECT_EQ(g_deviceState.thermalSupported, c.supported);
        EXPECT_EQ(RequestsWithCode(0x80012000).size(), c.probes);
        EXPECT_EQ(host::OpenKeyCount(), 0);
        Detach();
    }
}

struct PortCase {
    const char *name;
    uint8_t low, high;
    uint32_t failedReads; // configuration-byte reads that fail
    bool supported;
    WORD port;
};

TEST_F(EntryTest, ReadsTheFirmwarePortWhenSupported)
{
    const PortCase cases[] = {
        {"0x7E low, 0x7F high", 0x34, 0x12, 0, true, 0x1234},
        {"default machine", 0xB2, 0x00, 0, true, 0x00B2},
        {"failed reads yield their indices", 0x34, 0x12, 2, true, 0x7F7E},
        {"only the low read fails", 0x34, 0x12, 1, true, 0x127E},
        {"unsupported machine", 0x34, 0x12, 0, false, 0},
    };
    for (const PortCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        Scenario([&](SimConfig &config) {
            config.configBytes[0x7E] = c.low;
            config.configBytes[0x7F] = c.high;
            config.failCount[SIM_REQ_READ_CONFIG_BYTE] = c.failedReads;
            config.probeSucceeds = c.supported;
        });
        ASSERT_TRUE(Attach());
        EXPECT_EQ(g_deviceState.firmwarePort, c.port);
        auto reads = RequestsWithCode(0x9C80);
        if (c.supported) {
            ASSERT_EQ(reads.size(), 2u);
            EXPECT_EQ(reads[0].input[0], 0x7E);
            EXPECT_EQ(reads[1].input[0], 0x7F);
        } else {
            EXPECT_TRUE(reads.empty());
        }
        Detach();
    }
}

TEST_F(EntryTest, ThreadNotificationsAndUnknownReasonsDoNothing)
{
    ASSERT_TRUE(Attach());
    DeviceState before = g_deviceState;
    size_t requests = host::RequestLog().size();
    for (DWORD reason : {2u, 3u, 4u, 0xFFu}) {
        EXPECT_TRUE(DllMain(nullptr, reason, nullptr));
    }
    EXPECT_EQ(memcmp(&before, &g_deviceState, sizeof before), 0);
    EXPECT_EQ(host::RequestLog().size(), requests);
    EXPECT_EQ(host::OpenHandleCount(), 1);
}

TEST_F(EntryTest, ShutdownLibraryChangesNothing)
{
    ASSERT_TRUE(Attach());
    DeviceState before = g_deviceState;
    size_t requests = host::RequestLog().size();
    ShutdownLibrary();
    ShutdownLibrary();
    EXPECT_EQ(memcmp(&before, &g_deviceState, sizeof before), 0);
    EXPECT_EQ(host::RequestLog().size(), requests);
    EXPECT_EQ(host::OpenHandleCount(), 1);
}

TEST_F(EntryTest, EveryLoadStartsFromAZeroedState)
{
    ASSERT_TRUE(Attach());
    EXPECT_EQ(g_deviceState.firmwarePort, 0x00B2);
    Detach();
    EXPECT_EQ(g_deviceState.deviceHandle, nullptr);
    // A second load on an unsupported machine keeps nothing from the first.
    host::Registry().DeleteKey("SOFTWARE");
    Scenario([](SimConfig &config) { config.probeSucceeds = 0; });
    ASSERT_TRUE(Attach());
    EXPECT_EQ(g_deviceState.thermalSupported, 0);
    EXPECT_EQ(g_deviceState.firmwarePort, 0);
}

} // namespace
