// Temperature status: every cell of the state table, and the state kept in the registry.
#include <climits>

#include "machine.h"
#include "status/status.h"
#include "tests/contract/hysteresis.h"

namespace {

class StatusTest : public MachineTest {
protected:
    // Sensor 0 alone with the shared hysteresis limits: warnHigh 90, warnNormal 85, critHigh 95.
    void SetUp() override
    {
        MachineTest::SetUp();
        Scenario([](SimConfig &c) {
            c.presence = 0x01;
            const contract::HysteresisLimits &l = contract::kHysteresisLimits;
            SimSetLimits(&c, 0, l.warnNormal, l.warnHigh, l.critNormal, l.critHigh);
        });
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 1);
    }

    void SetTemperature(int t)
    {
        host::WithNotebook([&](SimNotebook &nb) { SimSetTemperature(&nb.config, 0, t); });
    }
};

struct Cell {
    int previous;
    int t;
    int next;     // stored afterwards
    int reported;
};

TEST_F(StatusTest, StateTable)
{
    const Cell cells[] = {
        // from normal
        {1, 50, 1, 1}, {1, 88, 1, 1}, {1, 89, 2, 2}, {1, 93, 2, 2},
        {1, 94, 3, 3}, {1, 96, 3, 3}, {1, 100, 3, 3},
        // from warning: held above warnNormal, left one call late
        {2, 89, 3, 3}, {2, 94, 3, 3}, {2, 88, 2, 2}, {2, 86, 2, 2}, {2, 85, 1, 2}, {2, 40, 1, 2},
        // from critical: no way back to warning
        {3, 70, 1, 1}, {3, 88, 1, 1}, {3, 89, 3, 3}, {3, 95, 3, 3},
        // just rebuilt, and a state no call writes
        {0, 89, 3, 3}, {0, 88, 1, 1}, {0, 0, 1, 1}, {7, 89, 3, 3}, {7, 60, 1, 1},
        // implausible readings keep the state
        {2, 150, 2, 2}, {1, 101, 1, 1}, {3, 255, 3, 3}, {0, 150, 0, 0}, {7, 150, 7, 0},
    };
    for (const Cell &c : cells) {
        SCOPED_TRACE("previous " + std::to_string(c.previous) + ", t " + std::to_string(c.t));
        host::SetDword(SensorPath(0), "Previous State", c.previous);
        SetTemperature(c.t);
        int status = 777;
        EXPECT_EQ(LMReadTempStatus(0, &status), 1);
        EXPECT_EQ(status, c.reported);
        EXPECT_EQ(Dword(SensorPath(0), "Previous State"), c.next);
    }
}

TEST_F(StatusTest, NormalToCriticalStaysCritical)
{
    const struct {
        int t;
        int reported;
    } trace[] = {{50, 1}, {94, 3}, {96, 3}, {96, 3}, {89, 3}, {88, 1}, {89, 2}, {86, 2},
                 {85, 2}, {85, 1}};
    for (auto &step : trace) {
        SetTemperature(step.t);
        int status = 0;
        ASSERT_EQ(LMReadTempStatus(0, &status), 1);
        EXPECT_EQ(status, step.reported) << "t " << step.t;
    }
}

TEST_F(StatusTest, UnreadableTemperatureReportsNoStatusAndRebuilds)
{
    host::SetDword(SensorPath(0), "Previous State", 2);
    host::WithNotebook([](SimNotebook &nb) { nb.config.busyAfterPattern = 1; });
    host::ClearRequestLog();
    int status = 777;
    EXPECT_EQ(LMReadTempStatus(0, &status), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(RequestsWithCode(0x9CC0).size(), 2u);
    EXPECT_EQ(Dword(SensorPath(0), "Previous State"), 0); // reset by the rebuild
}

TEST_F(StatusTest, UnreadableLimitsCompareAsMinusOne)
{
    host::Registry().DeleteValue(SensorPath(0), "Warning High");
    host::Registry().DeleteValue(SensorPath(0), "Critical High");
    SetTemperature(20);
    host::SetDword(SensorPath(0), "Previous State", 1);
    int status = 0;
    EXPECT_EQ(LMReadTempStatus(0, &status), 1);
    EXPECT_EQ(status, 3); // 20 > -3 and 20 >= -2
    EXPECT_FALSE(HasValue(SensorPath(0), "Warning High")); // no rebuild was forced
}

TEST_F(StatusTest, LimitsNearIntMinCompareWithoutWrapping)
{
    host::SetDword(SensorPath(0), "Warning High", INT_MIN);
    host::SetDword(SensorPath(0), "Critical High", INT_MIN + 1);
    host::SetDword(SensorPath(0), "Previous State", 1);
    SetTemperature(50);
    EXPECT_EQ(ComputeTempState(0, 50), 3);
    host::SetDword(SensorPath(0), "Critical High", INT_MAX);
    EXPECT_EQ(ComputeTempState(0, 50), 2);
}

TEST_F(StatusTest, StateCarriesOverToANewProcess)
{
    for (const contract::HysteresisStep &step : contract::kWarningCarriedOver) {
        SCOPED_TRACE("t " + std::to_string(step.temperature));
        if (step.newProcess) {
            Detach();
            ASSERT_TRUE(Attach());
        }
        SetTemperature(step.temperature);
        int status = 0;
        ASSERT_EQ(LMReadTempStatus(0, &status), 1);
        EXPECT_EQ(status, step.reported);
        EXPECT_EQ(Dword(SensorPath(0), "Previous State"), step.stored);
    }
}

} // namespace
