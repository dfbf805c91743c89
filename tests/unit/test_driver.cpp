// Requests to the thermal driver, as the simulated notebook receives them.
#include <string.h>

#include "base/device_state.h"
#include "hw/driver.h"
#include "tests/support/machine.h"

namespace {

class DriverTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        Scenario([](SimConfig &config) {
            config.configBytes[0x41] = 0x99;
            SimSetTemperature(&config, 2, 77);
        });
        ASSERT_TRUE(Attach());
        host::ClearRequestLog();
    }

    // Makes the next request of kind `request` fail.
    void FailNext(SimRequest request)
    {
        host::WithNotebook([&](SimNotebook &nb) { nb.state.failLeft[request] = 1; });
    }
};

struct ByteReadCase {
    const char *name;
    uint32_t code;
    SimRequest request;
    BOOL (*read)(BYTE, BYTE *);
    BYTE index;
    BYTE answer;
};

TEST_F(DriverTest, ByteReadsSendTheIndexAndReturnOutputByteZero)
{
    // Command 5 latches the temperatures: controller byte 3 is physical sensor 2.
    WriteControllerByte(0x30, 0x15);
    host::ClearRequestLog();
    const ByteReadCase cases[] = {
        {"configuration byte", 0x9C80, SIM_REQ_READ_CONFIG_BYTE, ReadConfigByte, 0x41, 0x99},
        {"controller byte", 0x9DC0, SIM_REQ_READ_CONTROLLER_BYTE, ReadControllerByte, 3, 77},
    };
    for (const ByteReadCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ClearRequestLog();
        BYTE value = 0;
        EXPECT_TRUE(c.read(c.index, &value));
        EXPECT_EQ(value, c.answer);
        auto log = host::RequestLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].code, c.code);
        EXPECT_EQ(log[0].inputLength, 24u);
        EXPECT_EQ(log[0].outputLength, 24u);
        EXPECT_EQ(log[0].input[0], c.index);
        for (int i = 1; i < 24; ++i)
            EXPECT_EQ(log[0].input[i], 0) << "input byte " << i;
        // After a failed request the output is the input copy: the index itself.
        FailNext(c.request);
        EXPECT_FALSE(c.read(c.index, &value));
        EXPECT_EQ(value, c.index);
    }
}

TEST_F(DriverTest, ControllerWriteSendsIndexAndValue)
{
    EXPECT_TRUE(WriteControllerByte(0x31, 0xA5));
    auto log = host::RequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x9DD0u);
    EXPECT_EQ(log[0].inputLength, 24u);
    EXPECT_EQ(log[0].outputLength, 24u);
    EXPECT_EQ(log[0].input[0], 0x31);
    EXPECT_EQ(log[0].input[1], 0xA5);
    // A failed write is counted with its control code and the last error.
    TakeRequestFailures();
    FailNext(SIM_REQ_WRITE_CONTROLLER_BYTE);
    EXPECT_FALSE(WriteControllerByte(0x31, 0));
    RequestFailures failures = TakeRequestFailures();
    EXPECT_EQ(failures.count, 1);
    EXPECT_EQ(failures.code, 0x9DD0u);
    EXPECT_EQ(failures.error, 31u);
}

TEST_F(DriverTest, BusyQueryReportsTheControllerAndFailsAsNotBusy)
{
    host::WithNotebook([](SimNotebook &nb) {
        nb.config.busyAfterPattern = 1;
        nb.state.pollsSinceCommand = 0;
    });
    BYTE busy = 0;
    EXPECT_TRUE(ControllerBusy(&busy));
    EXPECT_NE(busy, 0);
    auto log = host::RequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x9E40u);
    EXPECT_EQ(log[0].inputLength, 24u);
    EXPECT_EQ(log[0].outputLength, 24u);
    FailNext(SIM_REQ_CONTROLLER_BUSY);
    EXPECT_FALSE(ControllerBusy(&busy));
    EXPECT_EQ(busy, 0);
}

TEST_F(DriverTest, FirmwareRequestReturnsTheImageOrTheRequestAfterFailure)
{
    BYTE request[24] = {0x80, 0x53, 0, 0, 0x60, 0x82, 0, 0, 0, 0, 0, 0, 0xB2, 0x00};
    BYTE reply[24];
    EXPECT_TRUE(FirmwareRequest(request, reply));
    auto log = host::RequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x9CC0u);
    EXPECT_EQ(log[0].inputLength, 24u);
    EXPECT_EQ(log[0].outputLength, 24u);
    EXPECT_EQ(memcmp(log[0].input, request, 24), 0);
    EXPECT_EQ(reply[1], 0x00);                 // ah: success
    EXPECT_EQ(reply[8] & 0x20, 0x20);          // cl: information available
    EXPECT_EQ(reply[16], 0x0B);                // si: sensors 0, 1, 3
    FailNext(SIM_REQ_FIRMWARE);
    EXPECT_FALSE(FirmwareRequest(request, reply));
    EXPECT_EQ(memcmp(reply, request, 24), 0);
}

TEST_F(DriverTest, ProbeUsesTheStateBufferBothWays)
{
    memset(g_deviceState.probeBuffer, 0x5A, sizeof g_deviceState.probeBuffer);
    EXPECT_EQ(ProbeThermal(), 1);
    auto log = host::RequestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].code, 0x80012000u);
    EXPECT_EQ(log[0].inputLength, 478u);
    EXPECT_EQ(log[0].outputLength, 478u);
    EXPECT_EQ(log[0].input[0], 0x5A);
    FailNext(SIM_REQ_PROBE_THERMAL);
    EXPECT_EQ(ProbeThermal(), 0);
    host::WithNotebook([](SimNotebook &nb) { nb.config.probeSucceeds = 0; });
    EXPECT_EQ(ProbeThermal(), 0);
}

} // namespace
