// ktsensors as a user runs it: the built binary with scenario files, its output, exit codes and
// the registry file it leaves. The stand-in runs on its virtual clock (KOVALTHERM_CLOCK) so that
// readings are reproducible and waits take no time, except where processes must overlap.
#include <algorithm>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>

#include "frame/entry.h"
#include "kovaltherm.h"
#include "platform/host/host.h"
#include "platform/host/sqlite_registry.h"

#include "tool_runner.h"

namespace {

using namespace tooltest;

// ---- Output for a known scenario -----------------------------------------------------------

TEST_F(ToolTest, PrintsEverySensorOfAKnownScenarioAsText)
{
    Result r = RunWith("--scenario " + Scenario("known"));
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // Physical sensors 0, 1 and 3 have location codes 2, 4 and 1; sensor 1 at 70 C is above
    // its warning limit less 2, and from the state a new cache starts with that is critical.
    EXPECT_EQ(r.out,
              "kovaltherm-qorix\n"
              "Adapter: Kovaltherm.dll\n"
              "sensor 0 (location 2):    +52.0 C  (warn = +90.0 C, crit = +98.0 C)  normal\n"
              "sensor 1 (location 4):    +70.0 C  (warn = +65.0 C, crit = +75.0 C)  critical\n"
              "sensor 2 (location 1):    +47.0 C  (warn = +75.0 C, crit = +90.0 C)  normal\n");
}

TEST_F(ToolTest, PrintsOneJsonDocumentPerReadingWithStableFields)
{
    Result r = RunWith("--scenario " + Scenario("known") + " --json --watch 2 --count 3");
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u);
    struct Expected {
        int location, temperature, warning, critical;
        const char *status;
        int code;
    };
    const Expected expected[] = {{2, 52, 90, 98, "normal", 1}, {4, 70, 65, 75, "critical", 3}, {1, 47, 75, 90, "normal", 1}};
    uint64_t previousTime = 0;
    for (size_t n = 0; n < lines.size(); ++n) {
        nlohmann::json doc = nlohmann::json::parse(lines[n]);
        EXPECT_EQ(doc["reading"], n + 1);
        EXPECT_EQ(doc["sensor_count"], 3);
        if (n > 0) {
            EXPECT_GE(doc["time_ms"].get<uint64_t>(), previousTime + 2000);
        }
        previousTime = doc["time_ms"].get<uint64_t>();
        ASSERT_EQ(doc["sensors"].size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const nlohmann::json &s = doc["sensors"][i];
            EXPECT_EQ(s["ordinal"], i);
            EXPECT_EQ(s["location"], expected[i].location);
            EXPECT_EQ(s["temperature"], expected[i].temperature);
            EXPECT_EQ(s["warning_limit"], expected[i].warning);
            EXPECT_EQ(s["critical_limit"], expected[i].critical);
            EXPECT_EQ(s["status"], expected[i].status);
            EXPECT_EQ(s["status_code"], expected[i].code);
            EXPECT_EQ(s["failed"], nlohmann::json::array());
        }
    }
}

TEST_F(ToolTest, ShowsAFailedCallAsFailedNeverAsANumber)
{
    Result text = RunWith("--scenario " + kExamples + "/stuck-controller.json");
    EXPECT_EQ(text.code, 1);
    std::vector<std::string> lines = Lines(text.out);
    ASSERT_EQ(lines.size(), 4u) << text.out;
    EXPECT_EQ(lines[2], "sensor 0 (location 2):     FAILED  (warn = +90.0 C, crit = +98.0 C)  no status");
    EXPECT_EQ(lines[3], "sensor 1 (location 5):     FAILED  (warn = +65.0 C, crit = +75.0 C)  no status");
    EXPECT_EQ(text.err, "ktsensors: 2 calls failed: LMReadTemperature(0) LMReadTemperature(1)\n");

    Result json = RunWith("--scenario " + kExamples + "/stuck-controller.json --json");
    EXPECT_EQ(json.code, 1);
    nlohmann::json sensor = nlohmann::json::parse(json.out)["sensors"][0];
    EXPECT_TRUE(sensor["temperature"].is_null());
    EXPECT_EQ(sensor["status"], "no status");
    EXPECT_EQ(sensor["status_code"], 0);
    EXPECT_EQ(sensor["failed"], nlohmann::json::array({"temperature"}));
}

TEST_F(ToolTest, TraceExplainsEachFailedCallOnStderr)
{
    const std::string stuck = "--scenario " + kExamples + "/stuck-controller.json";
    const std::string busy = ": no temperature: 2 block reads failed, 40 attempts: 40 busy, 0 "
                             "wrong echo, 0 unreadable; rebuild ran to the end\n";
    Result traced = RunWith(stuck + " --trace");
    EXPECT_EQ(traced.code, 1);
    EXPECT_EQ(traced.err,
              "kovaltherm: LMGetNumSensors(#1): cache absent; rebuild ran to the end\n"
              "kovaltherm: LMReadTemperature(#5) sensor 0" + busy +
              "kovaltherm: LMReadTempStatus(#4) sensor 0" + busy +
              "kovaltherm: LMReadTemperature(#5) sensor 1" + busy +
              "kovaltherm: LMReadTempStatus(#4) sensor 1" + busy +
              "ktsensors: 2 calls failed: LMReadTemperature(0) LMReadTemperature(1)\n");
    // The variable alone does the same; without either, nothing but the summary.
    EXPECT_NE(RunWith(stuck, "KOVALTHERM_CLOCK=virtual KOVALTHERM_TRACE=stderr")
                  .err.find("kovaltherm: LMReadTemperature(#5) sensor 0" + busy),
              std::string::npos);
    EXPECT_EQ(RunWith(stuck).err,
              "ktsensors: 2 calls failed: LMReadTemperature(0) LMReadTemperature(1)\n");
}

TEST_F(ToolTest, ShowsNoStatusForASensorWithoutLimits)
{
    // Sensor 2 of this example has no limits from the firmware: its limit reads fail, and
    // its status cannot be told, at any temperature and on every reading.
    Result text = RunWith("--scenario " + kExamples + "/firmware-faults.json --count 2");
    EXPECT_EQ(text.code, 1);
    std::vector<std::string> lines = Lines(text.out);
    const std::string noStatus =
        "sensor 2 (location 5):    +39.0 C  (warn = FAILED, crit = FAILED)    no status";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), noStatus), 2) << text.out;
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "sensor 0 (location 2):    +61.0 C  (warn = +90.0 C, crit = +98.0 C)  normal");
}

TEST_F(ToolTest, DumpsTheCacheAsRegedit4Text)
{
    ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
    Result r = RunWith("--dump-registry");
    EXPECT_EQ(r.code, 0) << r.err;
    std::string k = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvane\\QuenlarFeatures\\Thermal";
    std::string expected = "REGEDIT4\n\n" + k + "]\n\"Number of sensors\"=dword:00000003\n\n" +
                           k + "\\Sensor 0]\n\"Critical High\"=dword:00000062\n\"Critical Normal\"=dword:0000005f\n"
                               "\"Is present\"=dword:00000001\n\"Previous State\"=dword:00000001\n"
                               "\"Warning High\"=dword:0000005a\n\"Warning Normal\"=dword:00000055\n\n" +
                           k + "\\Sensor 1]\n\"Critical High\"=dword:0000004b\n\"Critical Normal\"=dword:00000046\n"
                               "\"Is present\"=dword:00000001\n\"Previous State\"=dword:00000003\n"
                               "\"Warning High\"=dword:00000041\n\"Warning Normal\"=dword:0000003c\n\n" +
                           k + "\\Sensor 2]\n\"Is present\"=dword:00000000\n\n" +
                           k + "\\Sensor 3]\n\"Critical High\"=dword:0000005a\n\"Critical Normal\"=dword:00000055\n"
                               "\"Is present\"=dword:00000001\n\"Previous State\"=dword:00000001\n"
                               "\"Warning High\"=dword:0000004b\n\"Warning Normal\"=dword:00000046\n\n";
    for (int i = 4; i < 8; ++i)
        expected += k + "\\Sensor " + std::to_string(i) + "]\n\"Is present\"=dword:00000000\n\n";
    EXPECT_EQ(r.out, expected);
}

TEST_F(ToolTest, PlotsTheTraceWithItsStatusBands)
{
    Result r = RunWith("--scenario " + kExamples + "/heat-cycle.json --plot plot.svg");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("wrote plot.svg: 240 readings over 60.0 s", 0), 0u) << r.out;
    std::string svg = ReadFile(Path("plot.svg"));
    EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
    EXPECT_NE(svg.find("</svg>"), std::string::npos);
    // Both sensors get a panel; sensor 0 passes through every status band the trace promises.
    EXPECT_NE(svg.find(">sensor 0 (location 2)<"), std::string::npos);
    EXPECT_NE(svg.find(">sensor 1 (location 4)<"), std::string::npos);
    std::string panel0 = svg.substr(svg.find(">sensor 0"), svg.find(">sensor 1") - svg.find(">sensor 0"));
    for (const char *band : {"fill=\"#66bb6a\" fill-opacity", "fill=\"#ffca28\" fill-opacity", "fill=\"#ef5350\" fill-opacity"})
        EXPECT_NE(panel0.find(band), std::string::npos) << band;
}

// ---- Exit codes ----------------------------------------------------------------------------

TEST_F(ToolTest, ExitsZeroOneOrTwoWithAOneLineMessage)
{
    WriteFile(Path("bad.json"), "{\"sensors\": [{\"index\": 0, \"temprature\": 50}]}");
    struct Case {
        const char *args;
        int code;
        const char *message; // start of stderr; "" for none
    };
    const Case cases[] = {
        {"", 0, ""},
        {"--help", 0, ""},
        {"--version", 0, ""},
        {"--scenario SCENARIOS/unsupported.json", 1, "ktsensors: no thermal sensors"},
        {"--scenario EXAMPLES/stuck-controller.json", 1, "ktsensors: 2 calls failed"},
        {"--scenario EXAMPLES/firmware-faults.json", 1, "ktsensors: 2 calls failed: LMReadWarningLimit(2)"},
        {"--frobnicate", 2, "ktsensors: "},
        {"--count 0", 2, "ktsensors: --count"},
        {"--watch -1", 2, "ktsensors: --watch"},
        {"--watch", 2, "ktsensors: "},
        {"--dump-registry --json", 2, "ktsensors: --dump-registry cannot be combined with --json"},
        {"--plot x.svg --json", 2, "ktsensors: "},
        {"--scenario no-such-file.json", 2, "ktsensors: scenario no-such-file.json: no such file"},
        {"--scenario bad.json", 2, "ktsensors: scenario bad.json: sensors[0].temprature: unknown field"},
        {"surplus", 2, "ktsensors: "},
    };
    int run = 0;
    for (const Case &c : cases) {
        // A registry of its own per case: a cache left by one case would change the next.
        std::string args = "--registry case" + std::to_string(run++) + ".db " + c.args;
        for (auto [name, value] : {std::pair<std::string, std::string>{"SCENARIOS", kScenarios}, {"EXAMPLES", kExamples}})
            if (size_t at = args.find(name); at != std::string::npos)
                args.replace(at, name.size(), value);
        Result r = Run(args);
        EXPECT_EQ(r.code, c.code) << c.args << "\n" << r.err;
        if (*c.message) {
            EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << c.args << ": " << r.err;
            EXPECT_EQ(Lines(r.err).size(), 1u) << c.args << ": " << r.err;
        } else {
            EXPECT_EQ(r.err, "") << c.args;
        }
    }
}

// ---- Scenarios -----------------------------------------------------------------------------

TEST_F(ToolTest, RejectsAMalformedScenarioNamingTheFieldAndLeavesTheRegistryAlone)
{
    ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
    const std::string before = ReadFile(Registry());
    const std::string limits = "\"limits\": {\"warning_normal\": 85, \"warning_high\": 90, \"critical_normal\": 95, \"critical_high\": 98}";
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"{\"sensors\": [{\"index\": 0, " + limits + ", \"temprature\": 50}]}", "sensors[0].temprature: unknown field"},
        {"{\"sensors\": [{\"index\": 0, \"limits\": {\"warning_normal\": 85, \"warning_high\": \"hot\", \"critical_normal\": 95, \"critical_high\": 98}, \"temperature\": 50}]}",
         "sensors[0].limits.warning_high: expected an integer from 0 to 255, got \"hot\""},
        {"{\"sensors\": [{\"index\": 0, \"limits\": {\"warning_normal\": 85, \"critical_normal\": 95, \"critical_high\": 98}, \"temperature\": 50}]}",
         "sensors[0].limits.warning_high: missing"},
        {"{\"sensors\": [{\"index\": 8, \"temperature\": 50}]}", "sensors[0].index: expected an integer from 0 to 7, got 8"},
        {"{\"sensors\": [{\"index\": 1, \"temperature\": 50}, {\"index\": 1, \"temperature\": 50}]}", "sensors[1].index: sensor 1 is listed twice"},
        {"{\"sensors\": [{\"index\": 0}]}", "sensors[0].temperature: missing"},
        {"{\"sensors\": [{\"index\": 0, \"temperature\": 256}]}", "sensors[0].temperature: expected an integer from 0 to 255"},
        {"{\"sensors\": [{\"index\": 0, \"temperature\": [{\"ms\": 500, \"celsius\": 50}, {\"ms\": 100, \"celsius\": 60}]}]}",
         "sensors[0].temperature[1].ms: points must be in time order"},
        {"{\"sensors\": [{\"index\": 0, \"temperature\": [{\"ms\": 0}]}]}", "sensors[0].temperature[0].celsius: missing"},
        {"{\"sensors\": [{\"index\": 7, \"temperature\": 50}]}", "sensors[0].temperature: the controller reports no temperature for physical sensor 7"},
        {"{\"sensors\": [], \"controller\": {\"busy_polls\": 65}}", "controller.busy_polls: expected an integer from 0 to 64"},
        {"{\"sensors\": [], \"driver\": {\"failures\": {\"firmware\": \"sometimes\"}}}", "driver.failures.firmware: expected a count of failed requests or \"always\""},
        {"{\"sensors\": [], \"firmware\": {\"prot\": 178}}", "firmware.prot: unknown field"},
        {"{\"sensor\": []}", "not a scenario: a field at its top level other than description, sensors, firmware, controller and driver"},
        {"{}", "sensors: missing"},
        {"[1, 2]", "not a scenario: expected a JSON object"},
        {"{\"sensors\": [", "not valid JSON: "},
    };
    for (const Case &c : cases) {
        WriteFile(Path("bad.json"), c.text);
        Result r = RunWith("--scenario bad.json");
        EXPECT_EQ(r.code, 2) << c.text;
        EXPECT_EQ(r.err.rfind("ktsensors: scenario bad.json: " + c.message, 0), 0u) << c.text << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.text;
    }
    EXPECT_EQ(ReadFile(Registry()), before);

    // Against a registry that does not exist yet, no file is created; nor by a dump.
    WriteFile(Path("bad.json"), cases[0].text);
    Result r = Run("--registry never.db --scenario bad.json");
    EXPECT_EQ(r.code, 2);
    r = Run("--registry never.db --dump-registry");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "ktsensors: no registry file never.db yet: run ktsensors once to build the sensor cache\n");
    EXPECT_FALSE(Exists(Path("never.db")));
}

TEST_F(ToolTest, EveryExampleScenarioLoads)
{
    const std::pair<const char *, int> examples[] = {
        {"steady", 0}, {"heat-cycle", 0}, {"stuck-controller", 1}, {"firmware-faults", 1}, {"warning", 0}, {"critical", 0}};
    for (const auto &[name, code] : examples) {
        Result r = Run(std::string("--registry ") + name + ".db --scenario " + kExamples + "/" + name + ".json");
        EXPECT_EQ(r.code, code) << name << ": " << r.err;
        EXPECT_EQ(r.err.find("scenario"), std::string::npos) << name << ": " << r.err;
    }
}

TEST_F(ToolTest, WarningAndCriticalExamplesHoldTheirStatus)
{
    // Read once a second on one registry: warning.json climbs from normal and holds warning;
    // critical.json, the same notebook, is critical from its first reading, after a warning too.
    const std::pair<const char *, std::vector<std::string>> runs[] = {
        {"warning", {"normal", "warning", "warning", "warning"}},
        {"critical", {"critical", "critical", "critical", "critical"}},
        {"warning", {"normal", "warning", "warning", "warning"}}};
    for (const auto &[name, statuses] : runs) {
        Result r = RunWith(std::string("--json --count 4 --watch 1 --scenario ") + kExamples + "/" + name + ".json");
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), statuses.size()) << name;
        for (size_t i = 0; i < lines.size(); ++i) {
            nlohmann::json reading = nlohmann::json::parse(lines[i]);
            EXPECT_EQ(reading["sensors"][0]["status"], statuses[i]) << name << ", reading " << i + 1;
            EXPECT_EQ(reading["sensors"][1]["status"], "normal") << name << ", reading " << i + 1;
        }
    }
}

// ---- The registry file ---------------------------------------------------------------------

TEST_F(ToolTest, CarriesThePreviousStateOverBetweenRuns)
{
    // With warning high 90 and warning normal 85: 87 is normal; 90 after normal is warning but
    // on a fresh cache critical; 86 after warning holds warning but on a fresh cache is normal.
    struct Step {
        const char *scenario;
        const char *afterPrevious;
        const char *onFreshRegistry;
    };
    const Step steps[] = {{"hold-87", "normal", "normal"}, {"hold-90", "warning", "critical"}, {"hold-86", "warning", "normal"}};
    for (const Step &step : steps) {
        Result shared = RunWith("--json --scenario " + Scenario(step.scenario));
        ASSERT_EQ(shared.code, 0) << shared.err;
        EXPECT_EQ(nlohmann::json::parse(shared.out)["sensors"][0]["status"], step.afterPrevious) << step.scenario;
        Result fresh = Run(std::string("--json --registry fresh-") + step.scenario + ".db --scenario " + Scenario(step.scenario));
        ASSERT_EQ(fresh.code, 0) << fresh.err;
        EXPECT_EQ(nlohmann::json::parse(fresh.out)["sensors"][0]["status"], step.onFreshRegistry) << step.scenario;
    }
    Result dump = RunWith("--dump-registry");
    EXPECT_NE(dump.out.find("\"Previous State\"=dword:00000002\n"), std::string::npos) << dump.out;
}

TEST_F(ToolTest, ChoosesTheRegistryFileByOptionVariableOrStateDirectory)
{
    struct Case {
        std::string args, env, file;
    };
    const Case cases[] = {
        {"", "", ".local/state/kovaltherm/registry.db"},
        {"", "XDG_STATE_HOME='" + dir_ + "/xdg'", "xdg/kovaltherm/registry.db"},
        {"", "XDG_STATE_HOME=relative", ".local/state/kovaltherm/registry.db"},
        {"", "KOVALTHERM_REGISTRY=variable.db", "variable.db"},
        {"--registry option.db", "KOVALTHERM_REGISTRY=variable.db", "option.db"},
    };
    for (const Case &c : cases) {
        (void)!system(("rm -rf '" + dir_ + "/.local' '" + dir_ + "/xdg' '" + dir_ + "'/*.db").c_str());
        Result r = Run(c.args, "KOVALTHERM_CLOCK=virtual " + c.env);
        EXPECT_EQ(r.code, 0) << c.env << ": " << r.err;
        EXPECT_TRUE(Exists(Path(c.file))) << c.args << " " << c.env;
        Result dump = Run(c.args + " --dump-registry", c.env);
        EXPECT_EQ(dump.code, 0) << c.args << " " << c.env << ": " << dump.err;
    }
}

// Without --registry each notebook has a registry file of its own: critical.json's two sensors
// never meet the cache the default notebook's three built, and --dump-registry --scenario
// shows that notebook's cache.
TEST_F(ToolTest, EachNotebookKeepsItsOwnDefaultRegistry)
{
    const std::string critical = "--scenario " + kExamples + "/critical.json";
    const struct {
        std::string args;
        size_t sensors;
    } steps[] = {{"", 3}, {critical, 2}, {"--scenario " + kExamples + "/steady.json", 3}, {critical, 2}, {"", 3}};
    for (const auto &step : steps) {
        Result r = Run(step.args + " --json");
        ASSERT_EQ(r.code, 0) << step.args << ": " << r.err;
        EXPECT_EQ(nlohmann::json::parse(r.out)["sensors"].size(), step.sensors) << step.args;
    }
    EXPECT_TRUE(Exists(Path(".local/state/kovaltherm/registry.db")));
    EXPECT_NE(Run(critical + " --dump-registry").out.find("\"Number of sensors\"=dword:00000002"), std::string::npos);
}

TEST_F(ToolTest, TwoProcessesShareOneRegistryFileAtOnce)
{
    ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
    // Real time, so that both run their 25 readings over the same second.
    std::string one = "'" + kBinary + "' --registry '" + Registry() + "' --scenario " + Scenario("known") +
                      " --json --watch 0.04 --count 25";
    WriteFile(Path("both.sh"), "cd '" + dir_ + "'\n(" + one + " >a.txt 2>a.err; echo $? >a.code) &\n(" + one +
                                   " >b.txt 2>b.err; echo $? >b.code) &\nwait\n");
    ASSERT_EQ(system(("sh '" + Path("both.sh") + "'").c_str()), 0);
    for (const char *run : {"a", "b"}) {
        EXPECT_EQ(ReadFile(Path(std::string(run) + ".code")), "0\n") << ReadFile(Path(std::string(run) + ".err"));
        EXPECT_EQ(ReadFile(Path(std::string(run) + ".err")), "");
        std::vector<std::string> lines = Lines(ReadFile(Path(std::string(run) + ".txt")));
        ASSERT_EQ(lines.size(), 25u);
        for (const std::string &line : lines) {
            nlohmann::json doc = nlohmann::json::parse(line);
            EXPECT_EQ(doc["sensors"][1]["status"], "critical");
            EXPECT_EQ(doc["sensors"][0]["status"], "normal");
        }
    }
    std::string error;
    EXPECT_TRUE(host::MakeSqliteRegistry(Registry(), &error)) << error;
}

// The output of one run of the known scenario, as a lone process prints it.
const char kKnownOutput[] =
    "kovaltherm-qorix\n"
    "Adapter: Kovaltherm.dll\n"
    "sensor 0 (location 2):    +52.0 C  (warn = +90.0 C, crit = +98.0 C)  normal\n"
    "sensor 1 (location 4):    +70.0 C  (warn = +65.0 C, crit = +75.0 C)  critical\n"
    "sensor 2 (location 1):    +47.0 C  (warn = +75.0 C, crit = +90.0 C)  normal\n";

TEST_F(ToolTest, EightProcessesStartedAtOnceOnANewRegistryFileAllSucceed)
{
    const int kProcesses = 8;
    const int kRounds = 50;
    std::string script = "cd '" + dir_ + "'\nrm -f registry.db*\n";
    for (int p = 0; p < kProcesses; ++p)
        script += "(env -u LC_ALL -u LC_CTYPE LANG=C KOVALTHERM_CLOCK=virtual '" + kBinary + "' --registry registry.db --scenario " +
                  Scenario("known") + " >" + std::to_string(p) + ".out 2>" + std::to_string(p) +
                  ".err; echo $? >" + std::to_string(p) + ".code) &\n";
    script += "wait\n";
    WriteFile(Path("round.sh"), script);
    int failures = 0;
    std::map<std::string, int> messages;
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_EQ(system(("sh '" + Path("round.sh") + "'").c_str()), 0);
        for (int p = 0; p < kProcesses; ++p) {
            std::string n = std::to_string(p);
            std::string code = ReadFile(Path(n + ".code")), out = ReadFile(Path(n + ".out"));
            if (code != "0\n" || out != kKnownOutput) {
                ++failures;
                ++messages["exit " + code.substr(0, code.size() - 1) + ": " + ReadFile(Path(n + ".err"))];
            }
        }
    }
    for (const auto &message : messages)
        ADD_FAILURE() << message.second << " x " << message.first;
    std::printf("cold start: %d rounds x %d processes, %d failures\n", kRounds, kProcesses, failures);
    EXPECT_EQ(failures, 0);
}

// A process killed while it holds the library's mutex mid-exchange (a stuck controller keeps
// it there for seconds) leaves the mutex abandoned: another process waiting for it goes on at
// once, and answers right.
TEST_F(ToolTest, AHolderKilledMidExchangeDoesNotBlockTheOthers)
{
    ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
    std::string stuck = "'" + kBinary + "' --registry '" + Registry() + "' --scenario " + kExamples +
                        "/stuck-controller.json";
    std::string waiter = "env -u LC_ALL -u LC_CTYPE LANG=C KOVALTHERM_CLOCK=virtual '" + kBinary + "' --registry '" + Registry() +
                         "' --scenario " + Scenario("known");
    WriteFile(Path("kill.sh"),
              "cd '" + dir_ + "'\n" + stuck + " >stuck.out 2>&1 &\nholder=$!\nsleep 0.5\n"
              "start=$(date +%s%N)\n(" + waiter + " >waiter.out 2>waiter.err; echo $? >waiter.code; "
              "echo $(( ($(date +%s%N) - start) / 1000000 )) >waiter.ms) &\n"
              "sleep 0.3\nkill -KILL $holder\nwait\n");
    ASSERT_EQ(system(("sh '" + Path("kill.sh") + "'").c_str()), 0);
    EXPECT_EQ(ReadFile(Path("waiter.code")), "0\n") << ReadFile(Path("waiter.err"));
    EXPECT_EQ(ReadFile(Path("waiter.out")), kKnownOutput);
    int ms = std::atoi(ReadFile(Path("waiter.ms")).c_str());
    std::printf("waiter finished %d ms after it started; the holder was killed after 300 ms\n", ms);
    EXPECT_LT(ms, 5000);
}

// The peak resident set, in KiB, of a child taking `count` readings a millisecond apart on the
// virtual clock: `ktsensors --watch 0.001` on the registry file, or without one the same calls
// through the library on the stand-in's in-memory registry; -1 if the child failed.
long PeakResidentKib(const std::string &registry, long count)
{
    pid_t pid = fork();
    if (pid == 0 && !registry.empty()) {
        dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
        setenv("KOVALTHERM_CLOCK", "virtual", 1);
        execl(kBinary.c_str(), kBinary.c_str(), "--registry", registry.c_str(), "--watch", "0.001",
              "--count", std::to_string(count).c_str(), (char *)nullptr);
        _exit(127);
    }
    if (pid == 0) {
        host::ResetMachine();
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr))
            _exit(1);
        for (long n = 0; n < count; ++n, host::AdvanceClock(1))
            for (int o = 0, sensors = LMGetNumSensors(); o < sensors; ++o)
                for (auto query : {LMGetSensorLocation, LMReadTemperature, LMReadWarningLimit,
                                   LMReadCriticalLimit, LMReadTempStatus}) {
                    int out;
                    if (query(o, &out) != 1)
                        _exit(1);
                }
        _exit(0);
    }
    int status = -1;
    struct rusage usage;
    return wait4(pid, &status, 0, &usage) == pid && status == 0 ? usage.ru_maxrss : -1;
}

// Over 200,000 readings the resident set grows by less than 1 MiB on either registry store:
// nothing the stand-in records grows with the run. Its records have fixed sizes, all reached
// within 1,000 readings (the notebook's log of 32,768 requests within 300), so the run is
// measured from there. AddressSanitizer holds freed memory back on purpose.
TEST_F(ToolTest, ResidentMemoryStaysFlatOverTwoHundredThousandReadings)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
    for (const std::string &registry : {std::string(), Registry()}) {
        long warm = PeakResidentKib(registry, 1000), run = PeakResidentKib(registry, 200000);
        std::printf("%s store: peak resident set %ld KiB after 1,000 readings, %ld KiB after "
                    "200,000\n", registry.empty() ? "memory" : "SQLite", warm, run);
        EXPECT_GT(warm, 0);
        EXPECT_LT(run - warm, 1024) << registry;
    }
}

TEST_F(ToolTest, ReportsADamagedRegistryAndLeavesItAsItWas)
{
    ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
    const std::string good = ReadFile(Registry());
    struct Case {
        const char *name;
        std::string bytes;
        const char *message;
    };
    std::string garbled = good;
    for (size_t i = 100; i < garbled.size(); i += 3)
        garbled[i] = (char)0x5A;
    const Case cases[] = {
        {"text", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "is not a registry file"},
        {"garbled", garbled, "is damaged"},
        {"truncated", good.substr(0, 200), "is damaged"},
    };
    // The named mutexes' lock files go beside a registry file, named for its device and
    // inode, only once it has opened.
    struct stat info;
    ASSERT_EQ(stat(Registry().c_str(), &info), 0);
    const std::string lockFile = Path("kovaltherm-" + std::to_string(info.st_dev) + "-" + std::to_string(info.st_ino) +
                                      ".mutex.Global%5CKovaltherm.Thermal");
    EXPECT_TRUE(Exists(lockFile));
    (void)!system(("rm -f '" + Path("kovaltherm-") + "'*").c_str());
    for (const Case &c : cases) {
        WriteFile(Registry(), c.bytes);
        for (const char *args : {"", "--dump-registry"}) {
            Result r = RunWith(args);
            EXPECT_EQ(r.code, 1) << c.name << " " << args;
            EXPECT_EQ(r.err.rfind("ktsensors: registry file " + Registry() + " ", 0), 0u) << c.name << ": " << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
            EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(ReadFile(Registry()), c.bytes) << c.name << " " << args;
            EXPECT_FALSE(Exists(lockFile)) << c.name << " " << args;
        }
    }
}

} // namespace

// ---- --listen ------------------------------------------------------------------------------

namespace {

using namespace tooltest;

TEST_F(ToolTest, DocumentsWrittenMoreThanOnceToStandardOutputAreOnePerLine)
{
    for (const char *format : {"json", "sensors-json"}) {
        Result r = RunWith("--scenario " + Scenario("known") + " --count 2 --format " + format);
        EXPECT_EQ(r.code, 0) << r.err;
        std::vector<std::string> lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 2u) << format << ":\n" << r.out;
        for (const std::string &line : lines)
            EXPECT_TRUE(nlohmann::json::accept(line)) << format << ": " << line;
    }
}

// Status line, content type and what the body starts with, for each kind of request.
TEST_F(ListenTest, ServesMetricsAndJsonToGetAndNothingElse)
{
    Start("--scenario " + Scenario("known"));
    struct Case {
        const char *request;
        const char *status;
        const char *type;  // "" when none is expected
        const char *body;  // start of the body
    };
    const char *metrics = "text/plain; version=0.0.4; charset=utf-8";
    const Case cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK", metrics, "# HELP kovaltherm_up "},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", metrics, "# HELP kovaltherm_up "},
        {"GET /json HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK", "application/json", "{\"reading\":1,"},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", metrics, ""},
        {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "", ""},
        {"GET /metrics/x HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found", "", ""},
        // Another method on a page's path: 405 naming GET and HEAD; a body is never waited for.
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"POST /metrics HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"PUT /json HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"DELETE /json HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"OPTIONS /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed", "", ""},
        {"POST /other HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 404 Not Found", "", ""},
        // Whatever would split, compress or repeat the page is ignored: one whole page, once.
        {"GET /metrics HTTP/1.1\r\nRange: bytes=100-200\r\n\r\n", "HTTP/1.1 200 OK", metrics, "# HELP kovaltherm_up "},
        {"GET /metrics HTTP/1.1\r\nrange: bytes=0-1,0-1,0-1\r\nIf-Range: \"x\"\r\n\r\n", "HTTP/1.1 200 OK", metrics, "# HELP kovaltherm_up "},
        {"GET /metrics HTTP/1.1\r\nRange: bytes=0-1,\r\n 5-9\r\n\r\n", "HTTP/1.1 200 OK", metrics, "# HELP kovaltherm_up "},
        {"GET /json HTTP/1.1\r\nAccept-Encoding: br, gzip, deflate\r\n\r\n", "HTTP/1.1 200 OK", "application/json", "{\"reading\":1,"},
        {"GET /json HTTP/1.1\r\n\r\nGET /json HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK", "application/json", "{\"reading\":1,"},
        {"BREW /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", "", ""},
        {"GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", "", ""},
        {"GET /metrics HTTP/1.1\n\n", "HTTP/1.1 400 Bad Request", "", ""},
    };
    for (const Case &c : cases) {
        std::string answer = Ask(c.request);
        SCOPED_TRACE(c.request);
        EXPECT_EQ(answer.rfind(std::string(c.status) + "\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("Content-Encoding"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("Allow: GET, HEAD\r\n") != std::string::npos, strstr(c.status, " 405 ") != nullptr) << answer;
        if (*c.type) {
            EXPECT_NE(answer.find(std::string("Content-Type: ") + c.type + "\r\n"), std::string::npos) << answer;
        }
        size_t body = answer.find("\r\n\r\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(answer.compare(body + 4, strlen(c.body), c.body), 0) << answer;
        if (!*c.body) {
            EXPECT_EQ(answer.size(), body + 4) << answer;
        } else {
            EXPECT_EQ(answer.substr(body + 4).size(), (size_t)atol(answer.c_str() + answer.find("Content-Length: ") + 16)) << answer;
        }
    }
    // The pages hold the scenario's values, from the one reading all of them shared.
    std::string page = Ask("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_NE(page.find("\nkovaltherm_temperature_celsius{sensor=\"1\",location=\"4\"} 70\n"), std::string::npos) << page;
    EXPECT_NE(page.find("\nkovaltherm_status{sensor=\"1\",location=\"4\"} 3\n"), std::string::npos) << page;
    EXPECT_EQ(Stop(SIGINT), 0);
}

// Requests that arrive while a reading is taken wait for it and get it; later ones get a new
// reading once the last is older than --max-age. Each block read of this notebook's
// controller waits 0.4 s for it on the real clock, so a reading takes most of a second.
TEST_F(ListenTest, RequestsDuringAReadingShareItAndMaxAgeBoundsItsAge)
{
    WriteFile(Path("slow.json"), R"({"sensors": [{"index": 0, "limits": {"warning_normal": 85, "warning_high": 90,
        "critical_normal": 95, "critical_high": 98}, "temperature": 50}], "controller": {"busy_polls": 8}})");
    Start("--scenario slow.json --max-age 0", "");
    auto reading = [this] {
        std::string answer = Ask("GET /json HTTP/1.1\r\n\r\n");
        size_t body = answer.find("\r\n\r\n");
        return body == std::string::npos ? -1 : nlohmann::json::parse(answer.substr(body + 4))["reading"].get<int>();
    };
    std::vector<int> got(9, 0);
    std::vector<std::thread> clients;
    for (size_t i = 0; i < got.size(); ++i) {
        clients.emplace_back([&, i] { got[i] = reading(); });
        if (i == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    for (std::thread &t : clients)
        t.join();
    EXPECT_EQ(got, std::vector<int>(9, 1));
    EXPECT_EQ(reading(), 2);
    EXPECT_EQ(reading(), 3);
    EXPECT_EQ(Stop(), 0);
    // With a minute's --max-age, one reading serves every later request.
    Start("--scenario " + Scenario("known") + " --max-age 60");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(reading(), 1);
}

} // namespace
