// The Windows service's rules in the tool, run on the host: recognising our own textfile, and the
// interval written on its command line.
#include <gtest/gtest.h>

#include "formats.h"
#include "options.h"
#include "readings.h"
#include "service_rules.h"

namespace ktsensors {
namespace {

// Our textfile is recognised by the Prometheus format's first line, in every document it writes.
TEST(ServiceRules, OurTextfileIsKnownByItsFirstLine)
{
    std::vector<Reading> readings(2);
    readings[0].loaded = false;
    readings[1].sensorCount = 1;
    readings[1].sensors.resize(1);
    for (const Reading &reading : readings) {
        std::string text = FindFormat("prometheus")->render(reading, RenderOptions{});
        EXPECT_TRUE(KtIsOurTextfile(text.data(), text.size())) << text.substr(0, 60);
    }
    for (std::string other : {"127.0.0.1 localhost\n", "# HELP kovaltherm_upx 1\n", "# HELP", ""})
        EXPECT_FALSE(KtIsOurTextfile(other.data(), other.size())) << other;
}

// The interval as the service's command line carries it: short, and read back unchanged.
TEST(ServiceRules, SecondsAreWrittenAsTheyAreRead)
{
    const std::pair<double, const char *> cases[] = {
        {30, "30"}, {0.5, "0.5"}, {0.001, "0.001"}, {86400, "86400"}, {100, "100"}, {12345.678, "12345.678"}, {0.1, "0.1"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SecondsText(c.first), c.second);
}

} // namespace
} // namespace ktsensors
