// The simulated notebook: firmware answers, controller scripting, request checks, traces.
#include <gtest/gtest.h>
#include <string.h>

#include "sim/notebook.h"

namespace {

struct SimTest : ::testing::Test {
    SimNotebook nb;
    void SetUp() override
    {
        SimConfig config;
        SimDefaultConfig(&config);
        SimLoad(&nb, &config);
    }

    uint32_t Send(uint32_t code, uint8_t *buffer, uint32_t size = 24)
    {
        uint32_t returned;
        return SimDeviceControl(&nb, code, buffer, size, buffer, size, &returned, 0);
    }

    uint8_t Busy()
    {
        uint8_t b[24] = {};
        Send(SIM_IOCTL_CONTROLLER_BUSY, b);
        return b[0];
    }

    uint8_t ReadByte(uint8_t index)
    {
        uint8_t b[24] = {index};
        Send(SIM_IOCTL_READ_CONTROLLER_BYTE, b);
        return b[0];
    }

    void Command(uint8_t byte)
    {
        uint8_t b[24] = {0x30, byte};
        Send(SIM_IOCTL_WRITE_CONTROLLER_BYTE, b);
    }
};

TEST_F(SimTest, FirmwareAnswersOnlyOnItsPortWithTheCallAx)
{
    struct Case {
        const char *name;
        uint8_t al, ah, dxLow;
        uint8_t expectedAh;
    } cases[] = {
        {"right ax and port", 0x80, 0x53, 0xB2, 0x00},
        {"wrong port", 0x80, 0x53, 0xB3, 0x53},
        {"wrong ax", 0x81, 0x53, 0xB2, 0x53},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t image[24] = {c.al, c.ah, 0, 0, 0x60, 0x82};
        image[12] = c.dxLow;
        EXPECT_EQ(Send(SIM_IOCTL_FIRMWARE_REQUEST, image), 0u);
        EXPECT_EQ(image[1], c.expectedAh);
    }
}

TEST_F(SimTest, LimitSelectorsAreEvenSensorNumbersBelowSixteen)
{
    struct Case {
        uint8_t ch;
        uint8_t expectedAh;
    } cases[] = {{0, 0x00}, {6, 0x00}, {14, 0x00}, {1, 0x86}, {16, 0x86}};
    for (const Case &c : cases) {
        uint8_t image[24] = {0x80, 0x53, 0, 0, 0x62, 0x82, 0, 0, 0, c.ch, 0, 0, 0xB2};
        Send(SIM_IOCTL_FIRMWARE_REQUEST, image);
        EXPECT_EQ(image[1], c.expectedAh) << "ch " << int(c.ch);
    }
    // Sensor 0's limits as SimSetLimits lays them out: cx bits 6 and 11, pairs in slots 1 and 2.
    uint8_t image[24] = {0x80, 0x53, 0, 0, 0x62, 0x82, 0, 0, 0, 0, 0, 0, 0xB2};
    Send(SIM_IOCTL_FIRMWARE_REQUEST, image);
    EXPECT_EQ(image[8] | image[9] << 8, 0x0840);
    EXPECT_EQ(image[18], 85);
    EXPECT_EQ(image[19], 90);
    EXPECT_EQ(image[20], 95);
    EXPECT_EQ(image[21], 98);
}

TEST_F(SimTest, ControllerFollowsItsBusyScriptAndWrongEchoes)
{
    nb.config.busyPattern = 0b101;
    nb.config.busyPatternLength = 3;
    nb.config.wrongEchoReads = 2;
    Command(0x15);
    EXPECT_EQ(Busy(), 1);
    EXPECT_EQ(Busy(), 0);
    EXPECT_EQ(Busy(), 1);
    EXPECT_EQ(Busy(), 0);
    EXPECT_EQ(ReadByte(0), 0x24);
    EXPECT_EQ(ReadByte(0), 0x24);
    EXPECT_EQ(ReadByte(0), 0x25);
    EXPECT_EQ(ReadByte(1), 52); // physical sensor 0
    EXPECT_EQ(ReadByte(4), 47); // physical sensor 3
    Command(0x15);              // a new command restarts both scripts
    EXPECT_EQ(Busy(), 1);
    EXPECT_EQ(ReadByte(0), 0x24);
    nb.config.busyAfterPattern = 1;
    nb.config.wrongEchoForever = 1;
    for (int i = 0; i < 100; ++i) {
        Busy();
        ASSERT_EQ(ReadByte(0), 0x24);
    }
    EXPECT_EQ(Busy(), 1);
}

TEST_F(SimTest, RejectsUnknownCodesShortBuffersAndScriptedFailures)
{
    uint8_t buffer[478] = {};
    EXPECT_EQ(Send(0x9C84, buffer), 1u);
    EXPECT_EQ(Send(SIM_IOCTL_READ_CONFIG_BYTE, buffer, 23), 87u);
    EXPECT_EQ(Send(SIM_IOCTL_PROBE_THERMAL, buffer, 24), 87u);
    EXPECT_EQ(Send(SIM_IOCTL_PROBE_THERMAL, buffer, 478), 0u);
    nb.state.failLeft[SIM_REQ_CONTROLLER_BUSY] = 2;
    EXPECT_EQ(Send(SIM_IOCTL_CONTROLLER_BUSY, buffer), 31u);
    EXPECT_EQ(Send(SIM_IOCTL_CONTROLLER_BUSY, buffer), 31u);
    EXPECT_EQ(Send(SIM_IOCTL_CONTROLLER_BUSY, buffer), 0u);
    EXPECT_EQ(nb.log.total, 7u);
    EXPECT_EQ(nb.log.entries[0].error, 1u);
    EXPECT_EQ(nb.log.entries[4].error, 31u);
}

// Another temperature is the same notebook, with the same number; any other answer makes
// another one.
TEST(SimNotebook, OnlyTheTemperaturesMayDifferOnTheSameNotebook)
{
    void (*const changes[])(SimConfig *) = {
        [](SimConfig *c) { SimSetTemperature(c, 0, 90); }, // the same notebook
        [](SimConfig *c) { c->presence = 0x03; }, [](SimConfig *c) { SimSetLimits(c, 1, 60, 66, 70, 75); },
        [](SimConfig *c) { c->busyAfterPattern = 1; }, [](SimConfig *c) { c->failCount[SIM_REQ_FIRMWARE] = 2; }};
    for (size_t i = 0; i < sizeof changes / sizeof changes[0]; ++i) {
        SimConfig before, after;
        SimDefaultConfig(&before);
        SimDefaultConfig(&after);
        changes[i](&after);
        EXPECT_EQ(SimSameNotebook(&before, &after), i == 0) << "change " << i;
        EXPECT_EQ(SimNotebookId(&before) == SimNotebookId(&after), i == 0) << "change " << i;
    }
}

TEST(SimTrace, InterpolatesHoldsAndRepeats)
{
    SimTrace trace = {};
    trace.length = 3;
    trace.points[0] = {1000, 40};
    trace.points[1] = {3000, 80};
    trace.points[2] = {4000, 60};
    struct Case {
        uint32_t t;
        uint8_t expected;
    } cases[] = {{0, 40}, {1000, 40}, {2000, 60}, {2999, 79}, {3000, 80}, {3500, 70}, {9000, 60}};
    for (const Case &c : cases)
        EXPECT_EQ(SimTraceAt(&trace, c.t), c.expected) << "t " << c.t;
    trace.repeat = 1;
    EXPECT_EQ(SimTraceAt(&trace, 4000 + 2000), 60);
    trace.points[2].temperature = 400;
    EXPECT_EQ(SimTraceAt(&trace, 3999), 255);
    trace.points[0].temperature = -30;
    EXPECT_EQ(SimTraceAt(&trace, 0), 0);
}

} // namespace
