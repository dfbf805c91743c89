// Rebuilding the cache from the firmware.
#include "cache/rebuild.h"
#include "tests/support/machine.h"

namespace {

class RebuildTest : public MachineTest {
protected:
    void Start(std::function<void(SimConfig &)> edit)
    {
        Scenario(edit);
        ASSERT_TRUE(Attach());
        host::ClearRequestLog();
    }

    void TearDown() override
    {
        EXPECT_EQ(host::OpenKeyCount(), 0) << "a registry key was left open";
        MachineTest::TearDown();
    }

    static void Presence(SimConfig &config, uint32_t si)
    {
        config.presence = si;
        for (int i = 0; i < 8; ++i)
            SimSetLimits(&config, i, 60 + i, 70 + i, 80 + i, 90 + i);
    }
};

TEST_F(RebuildTest, PresentCacheIsLeftAloneWithoutForce)
{
    Start([](SimConfig &) {});
    host::Registry().CreateKey(SensorPath(0));
    std::string before = RegistrySnapshot();
    RefreshSensorCache(0);
    EXPECT_TRUE(RequestsWithCode(0x9CC0).empty());
    EXPECT_EQ(RegistrySnapshot(), before);
    RefreshSensorCache(1);
    EXPECT_FALSE(RequestsWithCode(0x9CC0).empty());
}

TEST_F(RebuildTest, WritesEverySensorKeyAndTheCount)
{
    Start([](SimConfig &c) { Presence(c, 0x0005); });
    RefreshSensorCache(0);
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        bool present = i == 0 || i == 2;
        EXPECT_EQ(Dword(SensorPath(i), "Is present"), present ? 1 : 0);
        EXPECT_EQ(Dword(SensorPath(i), "Warning Normal", -1), present ? 60 + i : -1);
        EXPECT_EQ(Dword(SensorPath(i), "Warning High", -1), present ? 70 + i : -1);
        EXPECT_EQ(Dword(SensorPath(i), "Critical Normal", -1), present ? 80 + i : -1);
        EXPECT_EQ(Dword(SensorPath(i), "Critical High", -1), present ? 90 + i : -1);
        EXPECT_EQ(Dword(SensorPath(i), "Previous State", -1), present ? 0 : -1);
    }
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 2);
    // Limits were asked for the present sensors only, by selector 2 x index.
    auto calls = RequestsWithCode(0x9CC0);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].input[4] | calls[0].input[5] << 8, 0x8260);
    EXPECT_EQ(calls[1].input[9], 0);
    EXPECT_EQ(calls[2].input[9], 4);
}

TEST_F(RebuildTest, WritesTheCountLast)
{
    // With si = 0x0005 a full rebuild sets 19 values: 6 for each present sensor, 1 for each
    // absent one, then the count. Failing the 19th set and every one after leaves all but
    // the count.
    Start([](SimConfig &c) { Presence(c, 0x0005); });
    host::InjectFault(19, host::FaultMode::Persistent, 1u << host::FN_REG_SET_VALUE);
    RefreshSensorCache(1);
    EXPECT_TRUE(host::FaultFired());
    EXPECT_EQ(Dword(SensorPath(7), "Is present"), 0);
    EXPECT_EQ(Dword(SensorPath(2), "Previous State"), 0);
    EXPECT_FALSE(HasValue(kThermalPath, "Number of sensors"));
}

TEST_F(RebuildTest, StopsWhenAPresenceFlagCannotBeWritten)
{
    Start([](SimConfig &c) { Presence(c, 0x0005); });
    // Set 8 is sensor 2's "Is present" (after sensor 0's six values and sensor 1's flag).
    host::InjectFault(8, host::FaultMode::Once, 1u << host::FN_REG_SET_VALUE);
    RefreshSensorCache(1);
    EXPECT_EQ(Dword(SensorPath(1), "Is present"), 0);
    EXPECT_FALSE(HasValue(SensorPath(2), "Is present"));
    EXPECT_FALSE(host::Registry().KeyExists(SensorPath(3)));
    EXPECT_FALSE(HasValue(kThermalPath, "Number of sensors"));
}

TEST_F(RebuildTest, NoSensorInformationLeavesOnlyAnEmptyThermalKey)
{
    const struct {
        const char *name;
        std::function<void(SimConfig &)> edit;
    } cases[] = {
        {"cl bit 0x20 clear", [](SimConfig &c) { c.infoCl = 0xDF; }},
        {"firmware status 0x86", [](SimConfig &c) { c.infoStatus = 0x86; }},
        {"driver call fails", [](SimConfig &c) { c.failCount[SIM_REQ_FIRMWARE] = 1; }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        Start(c.edit);
        RefreshSensorCache(1);
        EXPECT_EQ(RegistrySnapshot(kThermalPath), "[" + kThermalPath + "]\n");
        EXPECT_EQ(RequestsWithCode(0x9CC0).size(), 1u);
        Detach();
        EXPECT_EQ(host::OpenKeyCount(), 0);
    }
}

TEST_F(RebuildTest, FailedLimitsLeaveThatSensorsLimitsAlone)
{
    Start([](SimConfig &c) {
        Presence(c, 0x0007);
        c.limits[1].status = 0xA4;
    });
    host::SetDword(SensorPath(1), "Warning High", 55);
    RefreshSensorCache(1);
    EXPECT_EQ(Dword(SensorPath(1), "Warning High"), 55);
    EXPECT_FALSE(HasValue(SensorPath(1), "Critical High"));
    EXPECT_EQ(Dword(SensorPath(1), "Previous State"), 0);
    EXPECT_EQ(Dword(SensorPath(2), "Warning High"), 72);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);
}

TEST_F(RebuildTest, SensorSevenNeverGetsLimits)
{
    Start([](SimConfig &c) { Presence(c, 0x0080); });
    RefreshSensorCache(1);
    EXPECT_EQ(Dword(SensorPath(7), "Is present"), 1);
    EXPECT_FALSE(HasValue(SensorPath(7), "Warning High"));
    EXPECT_EQ(Dword(SensorPath(7), "Previous State"), 0);
    EXPECT_EQ(RequestsWithCode(0x9CC0).size(), 1u); // the information query only
}

TEST_F(RebuildTest, DisappearedSensorKeepsItsValues)
{
    Start([](SimConfig &c) { Presence(c, 0x0003); });
    RefreshSensorCache(1);
    host::SetDword(SensorPath(1), "Previous State", 2);
    host::WithNotebook([](SimNotebook &nb) { nb.config.presence = 0x0001; });
    RefreshSensorCache(1);
    EXPECT_EQ(Dword(SensorPath(1), "Is present"), 0);
    EXPECT_EQ(Dword(SensorPath(1), "Warning High"), 71);
    EXPECT_EQ(Dword(SensorPath(1), "Previous State"), 2);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 1);
}

TEST_F(RebuildTest, ResetsEveryPresentSensorsState)
{
    Start([](SimConfig &c) { Presence(c, 0x0012); });
    WriteCache({{1, 1, 1, 1, 1}, {4, 1, 1, 1, 1}}, 2);
    host::SetDword(SensorPath(1), "Previous State", 3);
    host::SetDword(SensorPath(4), "Previous State", 2);
    RefreshSensorCache(1);
    EXPECT_EQ(Dword(SensorPath(1), "Previous State"), 0);
    EXPECT_EQ(Dword(SensorPath(4), "Previous State"), 0);
    EXPECT_EQ(Dword(SensorPath(4), "Critical High"), 94);
}

} // namespace
