// How long each export can block, measured on the virtual clock against the figures worked
// out from the exchange's timing: 20 attempts per block read, 50 ms after a busy poll, 2 ms
// after each of the eight answer bytes, 1357 ms before the one repeated block read.
#include "tests/support/machine.h"

namespace {

enum Controller { ANSWERS, ALWAYS_BUSY, BUSY_AFTER_EACH_ANSWER, NEVER_ECHOES };

struct WorstCase {
    const char *name;
    Controller controller;
    uint64_t exchangeMs; // one LMReadTemperature or LMReadTempStatus
    int temperatureResult;
};

void Configure(SimConfig &config, Controller controller)
{
    switch (controller) {
    case ANSWERS:
        break;
    case ALWAYS_BUSY:
        config.busyPatternLength = 0;
        config.busyAfterPattern = 1;
        break;
    case BUSY_AFTER_EACH_ANSWER:
        // Polls alternate per attempt: free before the answer, busy after it.
        config.busyPattern = 0xAAAAAAAAAAAAAAAAull;
        config.busyPatternLength = 64;
        config.busyAfterPattern = 0;
        break;
    case NEVER_ECHOES:
        config.wrongEchoForever = 1;
        break;
    }
}

using WorstCaseTest = MachineTest;

TEST_F(WorstCaseTest, ExportsBlockNoLongerThanTheExchangeAllows)
{
    const WorstCase cases[] = {
        {"answers at once: 8 x 2", ANSWERS, 16, 1},
        {"always busy: 2 x 20 x 50 + 1357", ALWAYS_BUSY, 3357, 0},
        {"busy after each answer: 2 x 20 x (8 x 2 + 50) + 1357", BUSY_AFTER_EACH_ANSWER, 3997, 0},
        {"never echoes: 2 x 20 x 8 x 2 + 1357", NEVER_ECHOES, 1997, 0},
    };
    for (const WorstCase &c : cases) {
        SCOPED_TRACE(c.name);
        host::ResetMachine();
        Scenario([&](SimConfig &config) { Configure(config, c.controller); });
        ASSERT_TRUE(Attach());
        ASSERT_EQ(LMGetNumSensors(), 3);
        int value = 0;
        // Exports without a controller exchange never wait, whatever the controller does.
        uint64_t start = host::NowMs();
        EXPECT_EQ(LMGetNumSensors(), 3);
        EXPECT_EQ(LMGetSensorLocation(2, &value), 1);
        EXPECT_EQ(LMReadWarningLimit(2, &value), 1);
        EXPECT_EQ(LMReadCriticalLimit(2, &value), 1);
        ShutdownLibrary();
        EXPECT_EQ(host::NowMs() - start, 0u);

        start = host::NowMs();
        EXPECT_EQ(LMReadTemperature(2, &value), c.temperatureResult);
        EXPECT_EQ(host::NowMs() - start, c.exchangeMs);
        start = host::NowMs();
        EXPECT_EQ(LMReadTempStatus(2, &value), 1);
        EXPECT_EQ(host::NowMs() - start, c.exchangeMs);
        Detach();
    }
}

} // namespace
