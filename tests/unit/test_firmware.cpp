// The firmware call: register image, status mapping, the two functions, limit decoding.
#include <string.h>

#include "hw/firmware.h"
#include "tests/support/machine.h"

namespace {

class FirmwareTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(Attach()); // firmware port 0x00B2
        host::ClearRequestLog();
    }
};

TEST_F(FirmwareTest, OverwritesAxAndDxAndKeepsTheRest)
{
    RegisterImage image = {0xDEAD1234, 0x11118260, 0x22223333, 0xBEEF4444, 0x55556666, 0x77778888};
    EXPECT_EQ(FirmwareCall(&image), 0);
    auto log = RequestsWithCode(0x9CC0);
    ASSERT_EQ(log.size(), 1u);
    const BYTE expected[24] = {0x80, 0x53, 0xAD, 0xDE, 0x60, 0x82, 0x11, 0x11,
                               0x33, 0x33, 0x22, 0x22, 0xB2, 0x00, 0xEF, 0xBE,
                               0x66, 0x66, 0x55, 0x55, 0x88, 0x88, 0x77, 0x77};
    EXPECT_EQ(memcmp(log[0].input, expected, 24), 0);
}

TEST_F(FirmwareTest, MapsTheStatusByte)
{
    const struct {
        uint8_t ah;
        WORD result;
    } cases[] = {{0x00, 0}, {0x53, 3}, {0x81, 1}, {0x86, 2}, {0x90, 3}, {0x91, 3}, {0xA0, 3},
                 {0xA1, 3}, {0xA2, 3}, {0xA3, 3}, {0xA4, 4}, {0xA5, 3}, {0x42, 3}, {0xFF, 3}};
    for (auto &c : cases) {
        host::WithNotebook([&](SimNotebook &nb) { nb.config.infoStatus = c.ah; });
        RegisterImage image = {};
        EXPECT_EQ(QuerySensorInfo(&image), c.result) << "ah " << int(c.ah);
        EXPECT_EQ((image.eax >> 8) & 0xFF, c.ah);
    }
}

TEST_F(FirmwareTest, RejectedDriverCallReportsThreeWithTheRequestUnchanged)
{
    host::WithNotebook([](SimNotebook &nb) { nb.state.failLeft[SIM_REQ_FIRMWARE] = 1; });
    RegisterImage image = {0, 0, 0, 0, 0x1234, 0};
    EXPECT_EQ(QuerySensorInfo(&image), 3);
    EXPECT_EQ(image.eax & 0xFFFF, 0x5380u);
    EXPECT_EQ(image.ebx & 0xFFFF, 0x8260u);
    EXPECT_EQ(image.edx & 0xFFFF, 0x00B2u);
    EXPECT_EQ(image.esi, 0x1234u);
}

TEST_F(FirmwareTest, SensorLettersSelectChOrFailWithoutACall)
{
    const struct {
        char letter;
        int ch; // -1: no call
        WORD result;
    } cases[] = {{'A', 0, 0}, {'B', 2, 0}, {'D', 6, 0}, {'G', 12, 0},
                 {'H', -1, 1}, {'@', -1, 1}, {'a', -1, 1}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.letter);
        host::ClearRequestLog();
        RegisterImage image = {1, 2, 0xABCD, 4, 5, 6};
        EXPECT_EQ(QuerySensorLimits(c.letter, &image), c.result);
        auto log = RequestsWithCode(0x9CC0);
        if (c.ch < 0) {
            EXPECT_TRUE(log.empty());
            RegisterImage expected = {1, 0x8262, 0xABCD, 4, 5, 6};
            EXPECT_EQ(memcmp(&image, &expected, sizeof image), 0);
        } else {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].input[4] | log[0].input[5] << 8, 0x8262);
            EXPECT_EQ(log[0].input[9], c.ch);
        }
    }
}

TEST(DecodeLimits, TakesPairsFromTheFirstFlaggedSlot)
{
    // esi bytes 16..19 = 0x10 0x11 0x12 0x13, edi bytes 20..23 = 0x20 0x21 0x22 0x23.
    const DWORD esi = 0x13121110, edi = 0x23222120;
    const struct {
        const char *name;
        DWORD cx;
        LimitSet expected; // warning normal, warning high, critical normal, critical high
    } cases[] = {
        {"bits 6 and 7: slot 1 for both", 0x00C0, {0x12, 0x13, 0x12, 0x13}},
        {"bits 2 and 3: slot 0 is never read", 0x000C, {128, 128, 128, 128}},
        {"bits 10 and 15: slots 2 and 3", 0x8400, {0x20, 0x21, 0x22, 0x23}},
        {"bits 2 and 10: the search stops at nibble 0", 0x0404, {128, 128, 128, 128}},
        {"no flag", 0x0000, {128, 128, 128, 128}},
        {"flags above bit 15 are not looked at", 0x10000, {128, 128, 128, 128}},
        {"warning slot 3, critical slot 1", 0x4000 | 0x0080, {0x22, 0x23, 0x12, 0x13}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        RegisterImage image = {0, 0, c.cx, 0, esi, edi};
        LimitSet limits = DecodeLimits(&image);
        EXPECT_EQ(limits.warningNormal, c.expected.warningNormal);
        EXPECT_EQ(limits.warningHigh, c.expected.warningHigh);
        EXPECT_EQ(limits.criticalNormal, c.expected.criticalNormal);
        EXPECT_EQ(limits.criticalHigh, c.expected.criticalHigh);
    }
}

} // namespace
