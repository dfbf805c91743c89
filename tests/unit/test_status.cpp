// Temperature status: every cell of the state table, and the state kept in the registry.
#include <climits>
#include <vector>

#include "tests/support/machine.h"
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

struct LimitCase {
    const char *name;
    std::vector<std::pair<const char *, int>> damage; // limits set, or deleted when kMissing
    int previous;
    int t;
    int reported; // 0: no status
    bool rebuilt; // only some limits unreadable: the cache is rebuilt, states reset to 0
};

const int kMissing = 1000;

TEST_F(StatusTest, UnreadableOrNegativeLimitsGiveNoStatus)
{
    const LimitCase cases[] = {
        // No limits at all, as for a sensor the firmware gives none: no status, state kept.
        {"all three missing", {{"Warning High", kMissing}, {"Warning Normal", kMissing},
                               {"Critical High", kMissing}}, 1, 20, 0, false},
        {"all three negative", {{"Warning High", -1}, {"Warning Normal", INT_MIN},
                                {"Critical High", -2}}, 2, 86, 0, false},
        // Some unreadable: no status, and the half-written cache is rebuilt.
        {"warning high missing", {{"Warning High", kMissing}}, 1, 20, 0, true},
        {"warning normal missing", {{"Warning Normal", kMissing}}, 2, 86, 0, true},
        {"critical high missing", {{"Critical High", kMissing}}, 1, 89, 0, true},
        {"warning high -1", {{"Warning High", -1}}, 3, 52, 0, true},
        {"warning normal INT_MIN", {{"Warning Normal", INT_MIN}}, 1, 50, 0, true},
        {"critical high INT_MIN", {{"Critical High", INT_MIN}}, 0, 89, 0, true},
        // An implausible reading holds the state before any limit is read.
        {"all missing, t 150", {{"Warning High", kMissing}, {"Warning Normal", kMissing},
                                {"Critical High", kMissing}}, 2, 150, 2, false},
        {"critical high -1, t 101", {{"Critical High", -1}}, 3, 101, 3, false},
        // Zero and the largest values are readable limits and classify as usual.
        {"warning high 0", {{"Warning High", 0}}, 3, 5, 3, false},
        {"critical high INT_MAX", {{"Critical High", INT_MAX}}, 1, 89, 2, false},
        {"warning normal 0", {{"Warning Normal", 0}}, 2, 1, 2, false},
    };
    for (const LimitCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::SetDword(SensorPath(0), "Warning Normal", 85);
        host::SetDword(SensorPath(0), "Warning High", 90);
        host::SetDword(SensorPath(0), "Critical High", 95);
        for (auto &[value, stored] : c.damage) {
            if (stored == kMissing)
                host::Registry().DeleteValue(SensorPath(0), value);
            else
                host::SetDword(SensorPath(0), value, stored);
        }
        host::SetDword(SensorPath(0), "Previous State", c.previous);
        SetTemperature(c.t);
        host::ClearRequestLog();
        int status = 777;
        EXPECT_EQ(LMReadTempStatus(0, &status), 1);
        EXPECT_EQ(status, c.reported);
        EXPECT_EQ(RequestsWithCode(0x9CC0).empty(), !c.rebuilt) << "firmware calls";
        if (c.rebuilt) {
            EXPECT_EQ(Dword(SensorPath(0), "Previous State"), 0);
            EXPECT_EQ(Dword(SensorPath(0), "Warning Normal"), 85);
            EXPECT_EQ(Dword(SensorPath(0), "Warning High"), 90);
            EXPECT_EQ(Dword(SensorPath(0), "Critical High"), 95);
        } else if (c.reported == 0) {
            EXPECT_EQ(Dword(SensorPath(0), "Previous State"), c.previous);
            EXPECT_EQ(HasValue(SensorPath(0), "Warning High"), c.damage[0].second != kMissing);
        }
    }
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
