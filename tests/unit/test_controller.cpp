// The controller exchange, read off the notebook's request log and the virtual clock.
#include "hw/controller.h"
#include "tests/support/machine.h"
#include "sensors/sensor_reads.h"
#include "tests/contract/exchange.h"

namespace {

using Step = contract::ExchangeStep;

// The exchange as the request log shows it.
std::vector<Step> Exchange()
{
    std::vector<Step> steps;
    for (const SimLogEntry &e : host::RequestLog()) {
        char kind = contract::ExchangeKind(e.code);
        if (kind == 'W')
            steps.push_back({kind, e.input[0], e.input[1]});
        else if (kind == 'R')
            steps.push_back({kind, e.input[0], 0});
        else if (kind == 'B')
            steps.push_back({kind, 0, 0});
    }
    return steps;
}

std::vector<DWORD> WaitLengths()
{
    std::vector<DWORD> lengths;
    for (const host::Wait &w : host::Waits())
        lengths.push_back(w.ms);
    return lengths;
}

std::vector<Step> Command(int byte0)
{
    return {{'W', 0x30, byte0}, {'W', 0x31, 0}, {'W', 0x32, 0}, {'W', 0x33, 0}, {'W', 0x34, 0}};
}

std::vector<Step> BlockRead()
{
    std::vector<Step> steps;
    for (int i = 0; i < 8; ++i)
        steps.push_back({'R', i, 0});
    return steps;
}

template <class... Parts> std::vector<Step> Join(Parts... parts)
{
    std::vector<Step> all;
    for (const std::vector<Step> &part : {parts...})
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

const std::vector<Step> kBusy = {{'B', 0, 0}};

void ExpectSteps(const std::vector<Step> &actual, const std::vector<Step> &expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].kind, expected[i].kind) << "step " << i;
        EXPECT_EQ(actual[i].index, expected[i].index) << "step " << i;
        EXPECT_EQ(actual[i].value, expected[i].value) << "step " << i;
    }
}

class ControllerTest : public MachineTest {
protected:
    void Start(std::function<void(SimConfig &)> edit)
    {
        Scenario([&](SimConfig &config) {
            SimSetTemperature(&config, 0, 40);
            SimSetTemperature(&config, 1, 41);
            SimSetTemperature(&config, 2, 42);
            SimSetTemperature(&config, 6, 46);
            edit(config);
        });
        ASSERT_TRUE(Attach());
        host::ClearRequestLog();
        host::ClearWaits();
    }

    // The block read and the temperature read, without a report of what they went through.
    static WORD ReadBlock(BYTE block[8])
    {
        BlockReads reads = {};
        return ReadControllerBlock(5, block, &reads);
    }

    static int ReadTemperature(int ordinal)
    {
        BlockReads reads = {};
        return ReadSensorTemperature(ordinal, nullptr, &reads, nullptr);
    }
};

TEST_F(ControllerTest, AnsweredExchangeWritesReadsAndReleases)
{
    Start([](SimConfig &) {});
    BYTE block[8];
    EXPECT_EQ(ReadBlock(block), 0);
    ExpectSteps(Exchange(), std::vector<Step>(contract::kAnsweredExchange,
                                              contract::kAnsweredExchange +
                                                  contract::kAnsweredExchangeSteps));
    EXPECT_EQ(WaitLengths(), std::vector<DWORD>(8, contract::kAnswerReadPauseMs));
    EXPECT_EQ(block[0] & 0x0F, 5);
    EXPECT_EQ(block[1], 40);
    EXPECT_EQ(block[3], 42);
    EXPECT_EQ(block[7], 46);
}

TEST_F(ControllerTest, BusyIndicationsWaitFiftyAndFailTheAttempt)
{
    // Polls 0 and 1 busy (before reading), poll 3 busy (after the second reading).
    Start([](SimConfig &config) {
        config.busyPattern = 0b1011;
        config.busyPatternLength = 4;
    });
    BYTE block[8];
    EXPECT_EQ(ReadBlock(block), 0);
    ExpectSteps(Exchange(), Join(Command(0x15), kBusy, kBusy, kBusy, BlockRead(), kBusy,
                                 kBusy, BlockRead(), kBusy, Command(0x10)));
    std::vector<DWORD> expected = {50, 50, 2, 2, 2, 2, 2, 2, 2, 2, 50, 2, 2, 2, 2, 2, 2, 2, 2};
    EXPECT_EQ(WaitLengths(), expected);
}

TEST_F(ControllerTest, WrongEchoRetriesAtOnce)
{
    Start([](SimConfig &config) { config.wrongEchoReads = 1; }); // echoes 0x24 once
    BYTE block[8];
    EXPECT_EQ(ReadBlock(block), 0);
    ExpectSteps(Exchange(), Join(Command(0x15), kBusy, BlockRead(), kBusy, kBusy, BlockRead(),
                                 kBusy, Command(0x10)));
    EXPECT_EQ(WaitLengths(), std::vector<DWORD>(16, 2));
}

struct FailureCase {
    const char *name;
    std::function<void(SimConfig &)> edit;
    size_t blockReads;   // per exchange
    size_t busyWaits;    // 50 ms waits per exchange
};

TEST_F(ControllerTest, GivesUpAfterTwentyAttemptsAndStillReleases)
{
    const FailureCase cases[] = {
        {"always busy", [](SimConfig &c) { c.busyAfterPattern = 1; }, 0, 20},
        {"wrong echo forever", [](SimConfig &c) { c.wrongEchoForever = 1; }, 20, 0},
        {"answer reads fail (byte 0 reads as 0)",
         [](SimConfig &c) { c.failCount[SIM_REQ_READ_CONTROLLER_BYTE] = SIM_FAIL_ALWAYS; }, 20, 0},
    };
    for (const FailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        Start(c.edit);
        BYTE block[8];
        EXPECT_EQ(ReadBlock(block), 3);
        auto steps = Exchange();
        size_t reads = 0, polls = 0;
        for (const Step &s : steps) {
            reads += s.kind == 'R';
            polls += s.kind == 'B';
        }
        EXPECT_EQ(reads, 8 * c.blockReads);
        EXPECT_EQ(polls, c.busyWaits ? 20u : 40u);
        std::vector<Step> release(steps.end() - 5, steps.end());
        ExpectSteps(release, Command(0x10));
        size_t fifty = 0, two = 0;
        for (DWORD ms : WaitLengths()) {
            fifty += ms == 50;
            two += ms == 2;
        }
        EXPECT_EQ(fifty, c.busyWaits);
        EXPECT_EQ(two, 8 * c.blockReads);
        Detach();
    }
}

TEST_F(ControllerTest, TemperatureReadRetriesOnceAfter1357Ms)
{
    Start([](SimConfig &config) { config.busyAfterPattern = 1; });
    WriteCache({{0, 85, 90, 95, 98}}, 1);
    EXPECT_EQ(ReadTemperature(0), -100);
    auto waits = WaitLengths();
    ASSERT_EQ(waits.size(), 41u);
    EXPECT_EQ(waits[20], 1357u);
    EXPECT_EQ(host::NowMs(), 20 * 50 + 1357 + 20 * 50u);
    size_t commands = 0;
    for (const Step &s : Exchange())
        commands += s.kind == 'W' && s.index == 0x30;
    EXPECT_EQ(commands, 4u); // two block reads, each with its release
}

TEST_F(ControllerTest, TemperatureComesFromTheMappedSensorsByte)
{
    Start([](SimConfig &) {});
    const struct {
        const char *name;
        std::vector<CachedSensor> present;
        int count;
        int ordinal;
        int expected;
    } cases[] = {
        {"ordinal 0 on physical 2 is block byte 3", {{2, 0, 0, 0, 0}}, 1, 0, 42},
        {"ordinal 1 on physical 6", {{0, 0, 0, 0, 0}, {6, 0, 0, 0, 0}}, 2, 1, 46},
        {"physical 7 has no byte", {{7, 0, 0, 0, 0}}, 1, 0, -100},
        {"ordinal without a sensor", {{1, 0, 0, 0, 0}}, 2, 1, -100},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        host::Registry().DeleteKey("SOFTWARE");
        WriteCache(c.present, c.count);
        host::ClearRequestLog();
        EXPECT_EQ(ReadTemperature(c.ordinal), c.expected);
        // The block is read in every case, and never past its eighth byte.
        size_t reads = 0;
        for (const Step &s : Exchange()) {
            EXPECT_LT(s.index, s.kind == 'R' ? 8 : 0x35);
            reads += s.kind == 'R';
        }
        EXPECT_EQ(reads, 8u);
    }
    // Index 8, marked present by hand, has no byte either.
    host::Registry().DeleteKey("SOFTWARE");
    WriteCache({}, 1);
    host::SetDword(SensorPath(8), "Is present", 1);
    EXPECT_EQ(ReadTemperature(0), -100);
}

} // namespace
