// Opt-in diagnostics: each failure path of the misbehaving-hardware and fault-injection
// tables yields its documented line; with KOVALTHERM_TRACE unset nothing is written.
#include <stdlib.h>

#include <functional>

#include "tests/support/exports.h"
#include "tests/support/machine.h"

namespace {

using namespace reliability;

const char kVariable[] = "KOVALTHERM_TRACE";

// Registry faults as the stand-in reports them; driver faults as the notebook does.
const int kAccessDenied = 5;
const int kGenFailure = 31;

struct TraceCase {
    const char *name;
    std::function<void()> beforeAttach; // edits the machine before the load
    bool cached;                        // the cache is built (untraced) after the load
    std::function<void()> afterCache;   // breaks the machine after that
    ExportId id;
    int ordinal;
    const char *line;                   // nullptr: the call writes nothing
};

void Nothing() {}

// Loads a scenario built from the default notebook by `edit`.
std::function<void()> Edit(std::function<void(SimConfig &)> edit)
{
    return [edit] {
        host::WithNotebook([&](SimNotebook &n) {
            edit(n.config);
            SimLoad(&n, &n.config);
        });
    };
}

const char kRanToTheEnd[] = "; rebuild ran to the end";

std::vector<TraceCase> Cases()
{
    using S = SimConfig;
    return {
        // Misbehaving controller.
        {"busy forever", Nothing, true, Edit([](S &c) { c.busyAfterPattern = 1; }),
         READ_TEMPERATURE, 2,
         "kovaltherm: LMReadTemperature(#5) sensor 2: no temperature: 2 block reads failed, "
         "40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        {"busy forever, status", Nothing, true, Edit([](S &c) { c.busyAfterPattern = 1; }),
         READ_TEMP_STATUS, 0,
         "kovaltherm: LMReadTempStatus(#4) sensor 0: no temperature: 2 block reads failed, "
         "40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        {"wrong echo forever", Nothing, true, Edit([](S &c) { c.wrongEchoForever = 1; }),
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, "
         "40 attempts: 0 busy, 40 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        {"wrong echo 20 times", Nothing, true, Edit([](S &c) { c.wrongEchoReads = 20; }),
         READ_TEMPERATURE, 1,
         "kovaltherm: LMReadTemperature(#5) sensor 1: no temperature: 2 block reads failed, "
         "40 attempts: 0 busy, 40 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        {"wrong echo 19 times", Nothing, true, Edit([](S &c) { c.wrongEchoReads = 19; }),
         READ_TEMPERATURE, 2, nullptr},
        {"busy for 20 polls", Nothing, true, Edit([](S &c) { SimSetBusyPolls(&c, 20); }),
         READ_TEMPERATURE, 2,
         "kovaltherm: LMReadTemperature(#5) sensor 2: no temperature: 2 block reads failed, "
         "40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        {"busy for 19 polls", Nothing, true, Edit([](S &c) { SimSetBusyPolls(&c, 19); }),
         READ_TEMPERATURE, 2, nullptr},
        {"busy flips on every poll", Nothing, true, Edit([](S &c) {
             c.busyPattern = 0x5555555555555555ull;
             c.busyPatternLength = 64;
             c.busyAfterPattern = 1;
         }),
         READ_TEMPERATURE, 2,
         "kovaltherm: LMReadTemperature(#5) sensor 2: no temperature: 2 block reads failed, "
         "40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end\n"},
        // 8 answer bytes per attempt, 40 attempts.
        {"temperature reads fail", Nothing, true,
         Edit([](S &c) { c.failCount[SIM_REQ_READ_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS; }),
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, "
         "40 attempts: 0 busy, 0 wrong echo, 40 unreadable; rebuild ran to the end; "
         "driver request 0x9DC0 failed with error 31 (320 failed requests)\n"},
        {"busy polls fail", Nothing, true,
         Edit([](S &c) { c.failCount[SIM_REQ_CONTROLLER_BUSY] = SIM_FAIL_ALWAYS; }),
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, "
         "40 attempts: 40 busy, 0 wrong echo, 0 unreadable; rebuild ran to the end; "
         "driver request 0x9E40 failed with error 31 (40 failed requests)\n"},
        // Five command bytes and five release bytes per block read.
        {"command writes fail", Nothing, true,
         Edit([](S &c) { c.failCount[SIM_REQ_WRITE_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS; }),
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: no temperature: 2 block reads failed, "
         "40 attempts: 0 busy, 40 wrong echo, 0 unreadable; rebuild ran to the end; "
         "driver request 0x9DD0 failed with error 31 (20 failed requests)\n"},
        // Firmware.
        {"sensor information refused", Edit([](S &c) { c.infoStatus = 0x86; }), false, Nothing,
         GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: \"Number of sensors\" "
         "missing in \"Thermal\"; 2 rebuilds, the last stopped: firmware gave no sensor "
         "information (result 2)\n"},
        {"no thermal information", Edit([](S &c) { c.infoCl = 0; }), false, Nothing,
         GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: \"Number of sensors\" "
         "missing in \"Thermal\"; 2 rebuilds, the last stopped: firmware has no thermal "
         "information\n"},
        {"firmware gives no limits", Edit([](S &c) { c.limits[0].status = 0x86; }), true,
         Nothing, READ_WARNING_LIMIT, 0,
         "kovaltherm: LMReadWarningLimit(#6) sensor 0: limit unreadable: \"Warning High\" "
         "missing in \"Sensor 0\"; rebuild ran to the end, firmware gave no limits for "
         "Sensor 0 (result 2)\n"},
        {"firmware requests fail", Edit([](S &c) {
             c.failCount[SIM_REQ_FIRMWARE] = SIM_FAIL_ALWAYS;
         }),
         false, Nothing, GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: \"Number of sensors\" "
         "missing in \"Thermal\"; 2 rebuilds, the last stopped: firmware gave no sensor "
         "information (result 3); driver request 0x9CC0 failed with error 31 (2 failed "
         "requests)\n"},
        {"no thermal support", Edit([](S &c) { c.probeSucceeds = 0; }), false, Nothing,
         READ_TEMPERATURE, 0, "kovaltherm: LMReadTemperature(#5) sensor 0: no thermal support\n"},
        // Damaged cache.
        {"first call builds the cache", Nothing, false, Nothing, GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): cache absent; rebuild ran to the end\n"},
        {"count missing", Nothing, true,
         [] { host::Registry().DeleteValue(kThermalPath, "Number of sensors"); },
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: sensor count unreadable: \"Number of "
         "sensors\" missing in \"Thermal\"; rebuild ran to the end\n"},
        {"count of another type", Nothing, true,
         [] { SetRaw(kThermalPath, "Number of sensors", REG_SZ, {'3', 0}); }, GET_NUM_SENSORS,
         0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: \"Number of sensors\" in "
         "\"Thermal\" is of type 1, not REG_DWORD; rebuild ran to the end\n"},
        {"limit of another type", Nothing, true,
         [] { SetRaw(SensorPath(1), "Critical High", REG_BINARY, {75, 0, 0, 0}); },
         READ_CRITICAL_LIMIT, 1,
         "kovaltherm: LMReadCriticalLimit(#3) sensor 1: limit unreadable: \"Critical High\" in "
         "\"Sensor 1\" is of type 3, not REG_DWORD; rebuild ran to the end\n"},
        {"presence flag missing", Nothing, true,
         [] { host::Registry().DeleteValue(SensorPath(3), "Is present"); },
         GET_SENSOR_LOCATION, 2,
         "kovaltherm: LMGetSensorLocation(#2) sensor 2: sensor maps to no present sensor: "
         "\"Is present\" missing in \"Sensor 3\"; rebuild ran to the end\n"},
        {"ordinal out of range", Nothing, true, Nothing, READ_WARNING_LIMIT, 3,
         "kovaltherm: LMReadWarningLimit(#6) sensor 3: ordinal not among the 3 present "
         "sensors\n"},
        {"complete cache", Nothing, true, Nothing, READ_TEMP_STATUS, 2, nullptr},
        // Registry faults.
        {"presence of sensor 0 unreadable", Nothing, true,
         [] { host::InjectFault(2, host::FaultMode::Once, 1u << host::FN_REG_OPEN_KEY); },
         GET_SENSOR_LOCATION, 0,
         "kovaltherm: LMGetSensorLocation(#2) sensor 0: sensor maps to no present sensor: "
         "registry error 5 opening \"Sensor 0\"; rebuild ran to the end\n"},
        {"registry writes refused", Nothing, false,
         [] { host::InjectFault(1, host::FaultMode::Persistent, 1u << host::FN_REG_SET_VALUE); },
         GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: \"Number of sensors\" "
         "missing in \"Thermal\"; 2 rebuilds, the last stopped at Sensor 0: \"Is present\" "
         "not written (error 5)\n"},
        {"registry keys not created", Nothing, false,
         [] { host::InjectFault(1, host::FaultMode::Persistent, 1u << host::FN_REG_CREATE_KEY); },
         GET_NUM_SENSORS, 0,
         "kovaltherm: LMGetNumSensors(#1): sensor count unreadable: key \"Thermal\" missing; "
         "2 rebuilds, the last stopped: key \"Thermal\" not created (error 5)\n"},
        // A wait for the library's mutex that fails (one that times out: the machine lock tests).
        {"library mutex wait fails", Nothing, true,
         [] { host::InjectFault(1, host::FaultMode::Once, 1u << host::FN_WAIT_FOR_SINGLE_OBJECT); },
         READ_TEMPERATURE, 0,
         "kovaltherm: LMReadTemperature(#5) sensor 0: library mutex not acquired: the wait for "
         "\"Global\\Kovaltherm.Thermal\" failed with error 31\n"},
        {"limit writes refused during the rebuild", Nothing, true,
         [] {
             host::Registry().DeleteValue(SensorPath(0), "Warning High");
             host::InjectFault(1, host::FaultMode::Persistent, 1u << host::FN_REG_SET_VALUE);
         },
         READ_WARNING_LIMIT, 0,
         "kovaltherm: LMReadWarningLimit(#6) sensor 0: limit unreadable: \"Warning High\" "
         "missing in \"Sensor 0\"; rebuild stopped at Sensor 0: \"Is present\" not written "
         "(error 5)\n"},
    };
}

class TraceTest : public MachineTest {
protected:
    void TearDown() override
    {
        unsetenv(kVariable);
        MachineTest::TearDown();
    }

    // Runs a case with the variable as given (nullptr: unset) and returns what the traced
    // call wrote to the debugger, and to `*stderrText` when given; the cache is built before.
    std::vector<std::string> Run(const TraceCase &c, const char *value,
                                 std::string *stderrText = nullptr)
    {
        host::ResetMachine();
        if (value)
            setenv(kVariable, value, 1);
        else
            unsetenv(kVariable);
        c.beforeAttach();
        if (stderrText)
            testing::internal::CaptureStderr(); // the set-up's own lines are not the case's
        EXPECT_TRUE(Attach());
        if (c.cached) {
            EXPECT_EQ(LMGetNumSensors(), kDefaultCount);
        }
        c.afterCache();
        host::ClearDebugStrings();
        if (stderrText) {
            testing::internal::GetCapturedStderr();
            testing::internal::CaptureStderr();
        }
        Invoke(c.id, c.ordinal);
        if (stderrText)
            *stderrText = testing::internal::GetCapturedStderr();
        host::ClearFault();
        std::vector<std::string> lines = host::DebugStrings();
        Detach();
        return lines;
    }
};

TEST_F(TraceTest, EachCauseWritesItsLine)
{
    for (const TraceCase &c : Cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> lines = Run(c, "1");
        if (!c.line) {
            EXPECT_TRUE(lines.empty()) << lines[0];
            continue;
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], c.line);
    }
}

TEST_F(TraceTest, NothingIsWrittenUnlessTheVariableAsksForIt)
{
    for (const char *value : {(const char *)nullptr, "", "0"}) {
        for (const TraceCase &c : Cases()) {
            SCOPED_TRACE(std::string(c.name) + ", variable " + (value ? value : "unset"));
            testing::internal::CaptureStderr();
            std::vector<std::string> lines = Run(c, value);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
            EXPECT_TRUE(lines.empty());
            EXPECT_TRUE(host::DebugStrings().empty());
        }
    }
}

TEST_F(TraceTest, StderrTakesTheLinesInsteadOfTheDebugger)
{
    for (const char *value : {"stderr", "STDERR"}) {
        for (const TraceCase &c : Cases()) {
            SCOPED_TRACE(std::string(c.name) + ", variable " + value);
            std::string written;
            std::vector<std::string> lines = Run(c, value, &written);
            EXPECT_EQ(written, c.line ? c.line : "");
            EXPECT_TRUE(lines.empty());
        }
    }
}

// Under every injected fault of the fault-injection walk, a call that fails (or reports no
// status) writes exactly one line naming its export, and no call writes more. A status
// computed against an unreadable limit is an answer, not a failure, and may pass silently.
TEST_F(TraceTest, EveryInjectedFailureIsExplained)
{
    const ExportId exports[] = {GET_NUM_SENSORS,    GET_SENSOR_LOCATION, READ_TEMPERATURE,
                                READ_WARNING_LIMIT, READ_CRITICAL_LIMIT, READ_TEMP_STATUS};
    const int exportOrdinals[] = {1, 2, 5, 6, 3, 4};
    size_t failures = 0;
    for (int e = 0; e < 6; ++e) {
        ExportId id = exports[e];
        std::string prefix = std::string("kovaltherm: ") + ExportName(id) + "(#" +
                             std::to_string(exportOrdinals[e]) + ")";
        for (host::FaultMode mode : {host::FaultMode::Once, host::FaultMode::Persistent}) {
            for (uint64_t n = 1;; ++n) {
                SCOPED_TRACE(prefix + ", n = " + std::to_string(n));
                host::ResetMachine();
                setenv(kVariable, "1", 1);
                ASSERT_TRUE(Attach());
                ASSERT_EQ(LMGetNumSensors(), kDefaultCount);
                host::ClearDebugStrings();
                host::InjectFault(n, mode);
                Answer a = Invoke(id, 0);
                bool fired = host::FaultFired();
                host::ClearFault();
                std::vector<std::string> lines = host::DebugStrings();
                Detach();
                ASSERT_LE(lines.size(), 1u);
                bool statusAnswer = id == READ_TEMP_STATUS && a.result == 1 && a.out != 0;
                if (!(a == DefaultAnswer(id, 0)) && !statusAnswer) {
                    ++failures;
                    ASSERT_EQ(lines.size(), 1u) << "answer " << ToString(a);
                    EXPECT_EQ(lines[0].compare(0, prefix.size(), prefix), 0) << lines[0];
                }
                if (!fired)
                    break;
            }
        }
    }
    EXPECT_GT(failures, 0u);
}

} // namespace
