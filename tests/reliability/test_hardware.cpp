// Misbehaving hardware: a controller that never answers or answers inconsistently, firmware
// answering with every status code, driver requests that fail now and then. Every export
// must return within the stated bound on the virtual clock with its documented value.
#include <stdio.h>

#include "tests/support/exports.h"
#include "tests/support/machine.h"

namespace {

using namespace reliability;

// The longest an export may take: two block reads of 20 attempts, each at worst eight 2 ms
// pauses and a 50 ms busy wait, with the 1357 ms pause between them.
const uint64_t kCallBoundMs = 2 * 20 * (8 * 2 + 50) + 1357;

const ExportId kQueries[] = {GET_NUM_SENSORS,    GET_SENSOR_LOCATION, READ_TEMPERATURE,
                             READ_WARNING_LIMIT, READ_CRITICAL_LIMIT, READ_TEMP_STATUS};

class HardwareTest : public MachineTest {
protected:
    // Calls an export and checks the time bound and that nothing was left open.
    Answer TimedCall(ExportId id, int ordinal, uint64_t *elapsed = nullptr)
    {
        uint64_t start = host::NowMs();
        Answer a = Invoke(id, ordinal);
        uint64_t took = host::NowMs() - start;
        EXPECT_LE(took, kCallBoundMs) << ExportName(id);
        EXPECT_EQ(host::OpenKeyCount(), 0) << ExportName(id);
        if (elapsed)
            *elapsed = took;
        return a;
    }
};

struct ControllerCase {
    const char *name;
    std::function<void(SimConfig &)> edit;
    bool answers;         // a temperature is eventually read
    uint64_t readTimeMs;  // virtual time one LMReadTemperature takes
};

TEST_F(HardwareTest, ControllerThatNeverAnswersFailsWithinTheBound)
{
    const ControllerCase cases[] = {
        // 20 attempts of one 50 ms wait, twice, and the pause between.
        {"busy forever", [](SimConfig &c) { c.busyAfterPattern = 1; }, false,
         2 * 20 * 50 + 1357},
        // 20 attempts of eight 2 ms pauses each, twice, and the pause between.
        {"wrong echo forever", [](SimConfig &c) { c.wrongEchoForever = 1; }, false,
         2 * 20 * 16 + 1357},
        {"echo of another command", [](SimConfig &c) {
             c.wrongEchoForever = 1;
             c.wrongEchoByte = 0x26;
         }, false, 2 * 20 * 16 + 1357},
        // Busy, ready, busy, ready...: every attempt sees busy after its read.
        {"busy flips on every poll", [](SimConfig &c) {
             c.busyPattern = 0x5555555555555555ull;
             c.busyPatternLength = 64;
             c.busyAfterPattern = 1;
         }, false, 2 * (50 + 19 * (16 + 50)) + 1357},
        // Ready, busy, ready, busy...: the same, starting ready.
        {"busy flips, starting ready", [](SimConfig &c) {
             c.busyPattern = 0xAAAAAAAAAAAAAAAAull;
             c.busyPatternLength = 64;
             c.busyAfterPattern = 1;
         }, false, 2 * 20 * (16 + 50) + 1357},
        // 19 wrong echoes: the 20th attempt of the first block read answers.
        {"wrong echo 19 times", [](SimConfig &c) { c.wrongEchoReads = 19; }, true, 20 * 16},
        // 20 wrong echoes after every command: both block reads give up.
        {"wrong echo 20 times", [](SimConfig &c) { c.wrongEchoReads = 20; }, false,
         2 * 20 * 16 + 1357},
        // Busy for 19 polls: the 20th attempt answers.
        {"busy for 19 polls", [](SimConfig &c) { SimSetBusyPolls(&c, 19); }, true, 19 * 50 + 16},
        {"busy for 20 polls", [](SimConfig &c) { SimSetBusyPolls(&c, 20); }, false,
         2 * 20 * 50 + 1357},
        {"temperature reads fail", [](SimConfig &c) {
             c.failCount[SIM_REQ_READ_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS;
         }, false, 2 * 20 * 16 + 1357},
        // A failed busy poll counts as busy.
        {"busy polls fail", [](SimConfig &c) {
             c.failCount[SIM_REQ_CONTROLLER_BUSY] = SIM_FAIL_ALWAYS;
         }, false, 2 * 20 * 50 + 1357},
        {"command writes fail", [](SimConfig &c) {
             c.failCount[SIM_REQ_WRITE_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS;
         }, false, 2 * 20 * 16 + 1357},
    };
    for (const ControllerCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), kDefaultCount);
        host::WithNotebook([&](SimNotebook &n) {
            c.edit(n.config);
            SimLoad(&n, &n.config);
        });
        uint64_t took;
        Answer t = TimedCall(READ_TEMPERATURE, 2, &took);
        EXPECT_EQ(took, c.readTimeMs);
        Answer expected = c.answers ? Answer{1, 47} : Answer{0, -100};
        EXPECT_EQ(t, expected);
        // The status reports no status rather than a guess; limits and locations come from
        // the cache and are unaffected.
        Answer s = TimedCall(READ_TEMP_STATUS, 2);
        EXPECT_EQ(s, (c.answers ? DefaultAnswer(READ_TEMP_STATUS, 2) : Answer{1, 0}));
        for (ExportId id : {GET_NUM_SENSORS, GET_SENSOR_LOCATION, READ_WARNING_LIMIT,
                            READ_CRITICAL_LIMIT})
            EXPECT_EQ(TimedCall(id, 2), DefaultAnswer(id, 2)) << ExportName(id);
        Detach();
    }
}

TEST_F(HardwareTest, TemperaturesThatChangeBetweenReadsStayInRange)
{
    // Each sensor swings between 0 and 255 every few milliseconds.
    host::ResetMachine();
    Scenario([](SimConfig &c) {
        for (int i = 0; i < 7; ++i) {
            SimTrace &trace = c.temperatures[i];
            trace = SimTrace{};
            trace.length = 3;
            trace.repeat = 1;
            trace.points[0] = {0, 0};
            trace.points[1] = {(uint32_t)(3 + i), 255};
            trace.points[2] = {(uint32_t)(7 + 2 * i), 0};
        }
    });
    ASSERT_TRUE(Attach());
    for (int round = 0; round < 200; ++round) {
        for (ExportId id : kQueries) {
            int ordinal = round % 4;
            Answer a = TimedCall(id, ordinal);
            ASSERT_TRUE(IsInRange(id, a)) << ExportName(id) << " " << ToString(a);
            if (id == READ_TEMPERATURE && ordinal < kDefaultCount) {
                ASSERT_EQ(a.result, 1);
            }
        }
    }
}

TEST_F(HardwareTest, FirmwareAnsweringEveryStatusCode)
{
    size_t cases = 0;
    for (int status = 0; status < 256; ++status) {
        SCOPED_TRACE("sensor information status " + std::to_string(status));
        host::ResetMachine();
        Scenario([&](SimConfig &c) { c.infoStatus = (uint32_t)status; });
        ASSERT_TRUE(Attach());
        // Only status 0 builds a cache; any other leaves nothing to count.
        EXPECT_EQ(TimedCall(GET_NUM_SENSORS, 0).result, status == 0 ? kDefaultCount : 0);
        for (ExportId id : kQueries) {
            Answer expected = status == 0 ? DefaultAnswer(id, 0) : Answer{0, kUntouched};
            EXPECT_EQ(TimedCall(id, 0), expected) << ExportName(id);
        }
        Detach();
        ++cases;
    }
    for (int status = 0; status < 256; ++status) {
        SCOPED_TRACE("limits status " + std::to_string(status));
        host::ResetMachine();
        Scenario([&](SimConfig &c) { c.limits[0].status = (uint32_t)status; });
        ASSERT_TRUE(Attach());
        EXPECT_EQ(TimedCall(GET_NUM_SENSORS, 0).result, kDefaultCount);
        // Without limits from the firmware the limit queries fail with -1 and rebuild.
        Answer unreadable = status == 0 ? DefaultAnswer(READ_WARNING_LIMIT, 0) : Answer{0, -1};
        EXPECT_EQ(TimedCall(READ_WARNING_LIMIT, 0), unreadable);
        unreadable = status == 0 ? DefaultAnswer(READ_CRITICAL_LIMIT, 0) : Answer{0, -1};
        EXPECT_EQ(TimedCall(READ_CRITICAL_LIMIT, 0), unreadable);
        EXPECT_EQ(TimedCall(READ_TEMPERATURE, 0), DefaultAnswer(READ_TEMPERATURE, 0));
        EXPECT_EQ(TimedCall(READ_WARNING_LIMIT, 1), DefaultAnswer(READ_WARNING_LIMIT, 1));
        Detach();
        ++cases;
    }
    printf("firmware status codes: %zu cases\n", cases);
}

struct IntermittentCase {
    const char *name;
    std::vector<uint8_t> pattern; // bit k: the k-th driver request fails
};

TEST_F(HardwareTest, DriverRequestsFailingIntermittently)
{
    const IntermittentCase cases[] = {
        {"every second request", {0xAA}},
        {"every third request", {0x24, 0x49, 0x92}},
        {"every seventh request", {0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01}},
        {"two in a row, every sixteenth", {0x00, 0xC0}},
        {"one in a hundred", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10}},
        {"all but every eighth", {0x7F}},
    };
    const uint32_t driver = 1u << host::FN_DEVICE_IO_CONTROL;
    for (const IntermittentCase &c : cases) {
        for (bool cached : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (cached ? ", cache present" : ", no cache"));
            host::ResetMachine();
            ASSERT_TRUE(Attach());
            if (cached) {
                ASSERT_EQ(LMGetNumSensors(), kDefaultCount);
            }
            host::InjectFaultPattern(c.pattern, driver);
            for (int round = 0; round < 20; ++round)
                for (ExportId id : kQueries)
                    for (int ordinal = 0; ordinal < 4; ++ordinal) {
                        Answer a = TimedCall(id, ordinal);
                        ASSERT_TRUE(a == DefaultAnswer(id, ordinal) || IsFailureAnswer(id, a))
                            << ExportName(id) << "(" << ordinal << ") " << ToString(a);
                    }
            // Once the driver behaves, each export is right by its second call.
            host::ClearFault();
            for (ExportId id : kQueries)
                for (int ordinal = 0; ordinal < 4; ++ordinal) {
                    Answer a = Invoke(id, ordinal);
                    if (!(a == DefaultAnswer(id, ordinal))) {
                        a = Invoke(id, ordinal);
                    }
                    EXPECT_EQ(a, DefaultAnswer(id, ordinal)) << ExportName(id) << ordinal;
                }
            Detach();
            EXPECT_EQ(host::OpenHandleCount(), 0);
        }
    }
}

} // namespace
