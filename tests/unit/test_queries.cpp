// The exported sensor queries over machine states.
#include "tests/support/machine.h"
#include "tests/contract/exchange.h"
#include "tests/contract/locations.h"

namespace {

const int kUntouched = 777;

class QueriesTest : public MachineTest {
protected:
    // The default notebook has sensors 0, 1 and 3 with temperatures 52, 41 and 47.
    void Start(std::function<void(SimConfig &)> edit = [](SimConfig &) {})
    {
        Scenario(edit);
        ASSERT_TRUE(Attach());
    }

    size_t FirmwareCalls() { return RequestsWithCode(0x9CC0).size(); }

    void TearDown() override
    {
        EXPECT_EQ(host::OpenKeyCount(), 0) << "a registry key was left open";
        MachineTest::TearDown();
    }
};

using Export = int (*)(int, int *);

struct ExportCase {
    const char *name;
    Export call;
};

const ExportCase kExports[] = {
    {"LMGetSensorLocation", LMGetSensorLocation}, {"LMReadTemperature", LMReadTemperature},
    {"LMReadWarningLimit", LMReadWarningLimit},   {"LMReadCriticalLimit", LMReadCriticalLimit},
    {"LMReadTempStatus", LMReadTempStatus},
};

TEST_F(QueriesTest, TypicalRequestReadsTheFirstPresentSensor)
{
    Start([](SimConfig &c) {
        c.presence = contract::kTypicalPresence; // sensors 1, 2 and 3
        SimSetTemperature(&c, contract::kTypicalPhysicalSensor, contract::kTypicalTemperature);
    });
    WriteCache({{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}, {3, 0, 0, 0, 0}}, 3);
    host::ClearRequestLog();
    int t = kUntouched;
    EXPECT_EQ(LMReadTemperature(0, &t), 1);
    EXPECT_EQ(t, contract::kTypicalTemperature);
    EXPECT_EQ(FirmwareCalls(), 0u);
}

TEST_F(QueriesTest, UnsupportedMachineAnswersZeroAndTouchesNothing)
{
    Start([](SimConfig &c) { c.probeSucceeds = 0; });
    EXPECT_EQ(LMGetNumSensors(), 0);
    for (const ExportCase &e : kExports) {
        int out = kUntouched;
        EXPECT_EQ(e.call(0, &out), 0) << e.name;
        EXPECT_EQ(out, kUntouched) << e.name;
    }
    EXPECT_EQ(RegistrySnapshot(), "[]\n");
    EXPECT_EQ(FirmwareCalls(), 0u);
}

TEST_F(QueriesTest, FirstCountBuildsTheCache)
{
    Start();
    EXPECT_EQ(LMGetNumSensors(), 3);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);
    EXPECT_EQ(FirmwareCalls(), 4u); // information, then limits of sensors 0, 1 and 3
    EXPECT_EQ(LMGetNumSensors(), 3);
    EXPECT_EQ(FirmwareCalls(), 4u);
}

TEST_F(QueriesTest, OrdinalsOutsideTheCountFailWithoutRebuild)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    host::ClearRequestLog();
    for (const ExportCase &e : kExports) {
        for (int ordinal : {3, -1, 1 << 30, -2147483647 - 1}) {
            int out = kUntouched;
            EXPECT_EQ(e.call(ordinal, &out), 0) << e.name << " " << ordinal;
            EXPECT_EQ(out, kUntouched) << e.name << " " << ordinal;
        }
    }
    EXPECT_TRUE(host::RequestLog().empty());
}

TEST_F(QueriesTest, MissingCountFailsOnceAndRebuilds)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    for (const ExportCase &e : kExports) {
        SCOPED_TRACE(e.name);
        host::Registry().DeleteValue(kThermalPath, "Number of sensors");
        int out = kUntouched;
        EXPECT_EQ(e.call(0, &out), 0);
        EXPECT_EQ(out, kUntouched);
        EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);
        EXPECT_EQ(e.call(0, &out), 1);
    }
    host::Registry().DeleteValue(kThermalPath, "Number of sensors");
    EXPECT_EQ(LMGetNumSensors(), 0);
    EXPECT_EQ(LMGetNumSensors(), 3);
}

TEST_F(QueriesTest, NegativeStoredCountIsRepairedLikeAMissingOne)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    for (int damaged : {-2, -7, -2147483647 - 1}) {
        host::SetDword(kThermalPath, "Number of sensors", damaged);
        EXPECT_EQ(LMGetNumSensors(), 0) << damaged;
        EXPECT_EQ(LMGetNumSensors(), 3) << damaged;
        host::SetDword(kThermalPath, "Number of sensors", damaged);
        int t = kUntouched;
        EXPECT_EQ(LMReadTemperature(0, &t), 0);
        EXPECT_EQ(t, kUntouched);
        EXPECT_EQ(LMReadTemperature(0, &t), 1);
        EXPECT_EQ(t, 52);
    }
}

TEST_F(QueriesTest, LocationCodesByPhysicalIndex)
{
    Start([](SimConfig &c) { c.presence = 0xFF; });
    ASSERT_EQ(LMGetNumSensors(), 8);
    for (int ordinal = 0; ordinal < 8; ++ordinal) {
        int location = kUntouched;
        EXPECT_EQ(LMGetSensorLocation(ordinal, &location), 1);
        EXPECT_EQ(location, contract::kLocationByPhysicalIndex[ordinal]) << "physical " << ordinal;
    }
    // A stray "Sensor 8" marked present maps, and has code 0.
    host::SetDword(SensorPath(8), "Is present", 1);
    host::SetDword(kThermalPath, "Number of sensors", 9);
    int location = kUntouched;
    EXPECT_EQ(LMGetSensorLocation(8, &location), 1);
    EXPECT_EQ(location, 0);
}

TEST_F(QueriesTest, LimitsAreTheStoredValues)
{
    Start([](SimConfig &c) {
        c.limits[1].cx = 0; // no slot flagged: 128 for every limit
    });
    ASSERT_EQ(LMGetNumSensors(), 3);
    const struct {
        int ordinal;
        int warning, critical;
    } cases[] = {{0, 90, 98}, {1, 128, 128}, {2, 75, 90}};
    for (auto &c : cases) {
        int warning = kUntouched, critical = kUntouched;
        EXPECT_EQ(LMReadWarningLimit(c.ordinal, &warning), 1);
        EXPECT_EQ(LMReadCriticalLimit(c.ordinal, &critical), 1);
        EXPECT_EQ(warning, c.warning);
        EXPECT_EQ(critical, c.critical);
    }
    // A stored negative limit is passed through, fails, and is rewritten by the rebuild.
    host::SetDword(SensorPath(0), "Warning High", -5);
    int warning = kUntouched;
    EXPECT_EQ(LMReadWarningLimit(0, &warning), 0);
    EXPECT_EQ(warning, -5);
    EXPECT_EQ(LMReadWarningLimit(0, &warning), 1);
    EXPECT_EQ(warning, 90);
}

TEST_F(QueriesTest, PhysicalSensorSevenHasNoLimitsOrTemperature)
{
    Start([](SimConfig &c) { c.presence = 0x81; });
    ASSERT_EQ(LMGetNumSensors(), 2);
    host::SetDword(SensorPath(0), "Previous State", 2);
    host::ClearRequestLog();
    int out = kUntouched;
    EXPECT_EQ(LMReadWarningLimit(1, &out), 0);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(FirmwareCalls(), 2u); // the forced rebuild: information and sensor 0's limits
    EXPECT_EQ(Dword(SensorPath(0), "Previous State"), 0);
    EXPECT_EQ(LMReadCriticalLimit(1, &out), 0);
    EXPECT_EQ(out, -1);
    EXPECT_EQ(LMReadTemperature(1, &out), 0);
    EXPECT_EQ(out, -100);
    int location = kUntouched;
    EXPECT_EQ(LMGetSensorLocation(1, &location), 1);
    EXPECT_EQ(location, 9);
}

TEST_F(QueriesTest, SurplusOrdinalPassesValidationButNotTheMapping)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    host::SetDword(kThermalPath, "Number of sensors", 5);
    host::ClearRequestLog();
    int location = kUntouched;
    EXPECT_EQ(LMGetSensorLocation(4, &location), 0);
    EXPECT_EQ(location, -1);
    EXPECT_EQ(FirmwareCalls(), 4u);
    EXPECT_EQ(Dword(kThermalPath, "Number of sensors"), 3);
    host::SetDword(kThermalPath, "Number of sensors", 5);
    host::ClearRequestLog();
    int t = kUntouched;
    EXPECT_EQ(LMReadTemperature(3, &t), 0);
    EXPECT_EQ(t, -100);
    EXPECT_EQ(FirmwareCalls(), 4u);
}

TEST_F(QueriesTest, UnreadableTemperatureFailsAndRebuilds)
{
    Start([](SimConfig &c) { c.busyAfterPattern = 1; });
    ASSERT_EQ(LMGetNumSensors(), 3);
    host::ClearRequestLog();
    int t = kUntouched;
    EXPECT_EQ(LMReadTemperature(0, &t), 0);
    EXPECT_EQ(t, -100);
    EXPECT_EQ(FirmwareCalls(), 4u);
}

TEST_F(QueriesTest, NullOutParametersDoNothing)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    host::Registry().DeleteValue(kThermalPath, "Number of sensors");
    std::string before = RegistrySnapshot();
    host::ClearRequestLog();
    host::ResetCallCounts();
    for (const ExportCase &e : kExports) {
        for (int ordinal : {0, 5, -1})
            EXPECT_EQ(e.call(ordinal, nullptr), 0) << e.name;
    }
    EXPECT_TRUE(host::RequestLog().empty());
    EXPECT_EQ(RegistrySnapshot(), before);
    EXPECT_EQ(host::CallCount(host::FN_REG_OPEN_KEY), 0u);
}

TEST_F(QueriesTest, ShutdownLibraryLeavesEveryExportWorking)
{
    Start();
    ASSERT_EQ(LMGetNumSensors(), 3);
    ShutdownLibrary();
    EXPECT_EQ(LMGetNumSensors(), 3);
    int t = kUntouched, status = kUntouched;
    EXPECT_EQ(LMReadTemperature(2, &t), 1);
    EXPECT_EQ(t, 47);
    EXPECT_EQ(LMReadTempStatus(2, &status), 1);
    EXPECT_EQ(status, 1);
}

} // namespace
