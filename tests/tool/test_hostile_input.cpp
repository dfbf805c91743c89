// ktsensors against hostile input: malformed and oversized scenarios, bad option values, output
// that cannot be written, a stale sensor cache. Each case must end with one line on stderr and
// exit 2 (usage or scenario) or 1 (run time), never a crash or a hang, and leave alone every
// file it refused.
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/cache_layout.h"
#include "platform/host/sqlite_registry.h"
#include "prometheus_parser.h"
#include "tool_runner.h"

namespace {

using namespace tooltest;

// A hash of a file's bytes ("absent" when there is none), to compare before and after; the
// standard library's, which is compiled optimised, as the files run to megabytes.
std::string Checksum(const std::string &path)
{
    if (!Exists(path))
        return "absent";
    return std::to_string(std::hash<std::string>{}(ReadFile(path)));
}

class HostileTest : public ToolTest {
protected:
    // A registry with the cache of the known scenario, and files a refused run must not touch.
    void SetUp() override
    {
        ToolTest::SetUp();
        ASSERT_EQ(RunWith("--scenario " + Scenario("known")).code, 0);
        WriteFile(Path("deep.json"), std::string(100000, '[') + std::string(100000, ']'));
        WriteFile(Path("big.json"), "{\"sensors\": [], \"description\": \"" + std::string(2 << 20, 'x') + "\"}");
        WriteFile(Path("duplicate.json"), R"({"sensors": [], "sensors": [{"index": 0, "temperature": 50}]})");
        WriteFile(Path("token.json"), "{\"sensors\": " + std::string(1 << 19, 'x') + "}");
        WriteFile(Path("key.json"), "{\"sensors\": [], \"" + std::string(1 << 19, 'k') + "\": 1}");
        WriteFile(Path("plot.png"), "an image");
        WriteFile(Path("metrics.prom"), "# TYPE old gauge\nold 1\n");
        ASSERT_EQ(mkfifo(Path("fifo.json").c_str(), 0600), 0);
        ASSERT_EQ(mkdir(Path("folder.prom").c_str(), 0700), 0);
    }

    // Checksums of every file in the test's folder that a run could touch.
    std::map<std::string, std::string> Files()
    {
        std::map<std::string, std::string> sums;
        for (const char *name : {"registry.db", "deep.json", "big.json", "duplicate.json", "token.json", "key.json",
                                 "plot.png", "metrics.prom", "plot.svg"})
            sums[name] = Checksum(Path(name));
        return sums;
    }
};

TEST_F(HostileTest, EachCaseExitsWithOneLineAndLeavesRefusedFilesAlone)
{
    struct Case {
        std::string args;
        std::string output; // where standard output goes; "" = closed
        int code;
        std::string message; // start of the one line on stderr
        bool registryKept;   // the registry must stay as it was (else only the other files)
    };
    const std::string full = "/dev/full";
    const std::string known = "--scenario " + Scenario("known");
    const Case cases[] = {
        // Scenarios.
        {"--scenario deep.json", "out.txt", 2, "ktsensors: scenario deep.json: nested deeper than 16 levels", true},
        {"--scenario big.json", "out.txt", 2, "ktsensors: scenario big.json: larger than 1024 KiB, too large for a scenario", true},
        {"--scenario duplicate.json", "out.txt", 2, "ktsensors: scenario duplicate.json: the name \"sensors\" appears twice in one object", true},
        {"--scenario token.json", "out.txt", 2, "ktsensors: scenario token.json: not valid JSON: parse error at line 1, column 13", true},
        {"--scenario key.json", "out.txt", 2, "ktsensors: scenario key.json: not a scenario: a field at its top level other than description, sensors, firmware, controller and driver", true},
        {"--scenario fifo.json", "out.txt", 2, "ktsensors: scenario fifo.json: not a regular file", true},
        {"--scenario /dev/zero", "out.txt", 2, "ktsensors: scenario /dev/zero: not a regular file", true},
        {"--scenario .", "out.txt", 2, "ktsensors: scenario .: not a regular file", true},
        // --watch and --count.
        {"--watch nan", "out.txt", 2, "ktsensors: --watch: expected a number of seconds, got 'nan'", true},
        {"--watch inf", "out.txt", 2, "ktsensors: --watch: the interval must be at most a day (86400 seconds), got 'inf'", true},
        {"--watch -inf", "out.txt", 2, "ktsensors: --watch: the interval must be more than 0 seconds, got '-inf'", true},
        {"--watch 1e17", "out.txt", 2, "ktsensors: --watch: the interval must be at most a day (86400 seconds), got '1e17'", true},
        {"--watch 86401", "out.txt", 2, "ktsensors: --watch: the interval must be at most a day (86400 seconds), got '86401'", true},
        {"--watch 0", "out.txt", 2, "ktsensors: --watch: the interval must be more than 0 seconds, got '0'", true},
        {"--watch -1", "out.txt", 2, "ktsensors: --watch: the interval must be more than 0 seconds, got '-1'", true},
        {"--watch 0.0001", "out.txt", 2, "ktsensors: --watch: the interval must be at least a millisecond (0.001 seconds), got '0.0001'", true},
        {"--watch abc", "out.txt", 2, "ktsensors: --watch: expected a number of seconds, got 'abc'", true},
        {"--watch 0x10", "out.txt", 2, "ktsensors: --watch: expected a number of seconds, got '0x10'", true},
        {"--watch ''", "out.txt", 2, "ktsensors: --watch: expected a number of seconds, got ''", true},
        {"--watch", "out.txt", 2, "ktsensors: --watch needs a value: --watch SECONDS", true},
        {"--count 0", "out.txt", 2, "ktsensors: --count: expected a whole number of readings from 1 to 1099511627776, got '0'", true},
        {"--count -3", "out.txt", 2, "ktsensors: --count: expected a whole number of readings from 1 to 1099511627776, got '-3'", true},
        {"--count 1.5", "out.txt", 2, "ktsensors: --count: expected a whole number of readings from 1 to 1099511627776, got '1.5'", true},
        {"--count " + std::string(300, '9'), "out.txt", 2, "ktsensors: --count: expected a whole number of readings from 1 to 1099511627776, got '" + std::string(37, '9') + "...'", true},
        {"--format xml", "out.txt", 2, "ktsensors: --format: expected text, json, sensors-json, prometheus, zabbix or zabbix-discovery, got 'xml'", true},
        {"--json --format text", "out.txt", 2, "ktsensors: --json cannot be combined with --format text", true},
        {"--plot plot.png", "out.txt", 2, "ktsensors: --plot writes SVG: the file name must end in .svg, got 'plot.png'", true},
        {"--plot plot.svg --output metrics.prom", "out.txt", 2, "ktsensors: --plot cannot be combined with --output", true},
        {"--listen 9101 --json", "out.txt", 2, "ktsensors: --listen cannot be combined with --json", true},
        {"--listen 9101 --count 2", "out.txt", 2, "ktsensors: --listen cannot be combined with --count", true},
        {"--max-age 5", "out.txt", 2, "ktsensors: --max-age applies to --listen only", true},
        {"--listen 9101 --max-age -1", "out.txt", 2, "ktsensors: --max-age: expected seconds from 0 to 3600, got '-1'", true},
        {"--listen 9101 --max-age nan", "out.txt", 2, "ktsensors: --max-age: expected seconds from 0 to 3600, got 'nan'", true},
        {"--listen 65536", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen localhost:9101", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen ::1:9101", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen 127.0.0.1:", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen 300.0.0.1:9101", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen []:0", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen [::1", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen [1::2::3]:0", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen 1.2.3.4.5:80", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen 010.0.0.1:80", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--listen :80", "out.txt", 2, "ktsensors: --listen: expected [ADDR:]PORT with a numeric address", true},
        {"--" + std::string(500, 'x'), "out.txt", 2, "ktsensors: unknown option '--" + std::string(35, 'x') + "...' (see --help)", true},
        // Output that does not arrive.
        {known, full, 1, "ktsensors: cannot write to standard output: No space left on device", false},
        {known + " --json", full, 1, "ktsensors: cannot write to standard output: No space left on device", false},
        {known + " --format sensors-json", full, 1, "ktsensors: cannot write to standard output: No space left on device", false},
        {known + " --format prometheus", full, 1, "ktsensors: cannot write to standard output: No space left on device", false},
        {"--dump-registry", full, 1, "ktsensors: cannot write to standard output: No space left on device", true},
        {"--help", full, 1, "ktsensors: cannot write to standard output: No space left on device", true},
        {known, "", 1, "ktsensors: cannot write to standard output: Bad file descriptor", false},
        {"--dump-registry", "", 1, "ktsensors: cannot write to standard output: Bad file descriptor", true},
        {known + " --format prometheus --output no-folder/metrics.prom", "out.txt", 1,
         "ktsensors: cannot write no-folder/metrics.prom: No such file or directory", false},
        {known + " --format prometheus --output folder.prom", "out.txt", 1, "ktsensors: cannot write folder.prom: Is a directory", false},
        {known + " --plot no-folder/plot.svg", "out.txt", 1, "ktsensors: cannot write no-folder/plot.svg: No such file or directory", false},
    };
    for (const Case &c : cases) {
        std::map<std::string, std::string> before = Files();
        // The time limit turns a hang into a failure of this case.
        Result r = RunWith(c.args, "KOVALTHERM_CLOCK=virtual timeout 30", c.output);
        SCOPED_TRACE(c.args.substr(0, 80));
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_LE(r.err.size(), 320u);
        std::map<std::string, std::string> after = Files();
        if (!c.registryKept) {
            before.erase("registry.db");
            after.erase("registry.db");
        }
        EXPECT_EQ(after, before);
        if (c.code == 2) {
            EXPECT_EQ(r.out, "");
        }
    }
    // Nothing is left beside a file that could not be replaced.
    EXPECT_EQ(system(("test -z \"$(ls -A '" + Path("folder.prom") + "')\"").c_str()), 0);
    EXPECT_EQ(system(("ls -a '" + dir_ + "' | grep -q '^\\.metrics'").c_str()) == 0, false);
}

// Readings never replace the registry file or the files kept beside it, by whatever name
// they are given; the cache still reads afterwards.
TEST_F(HostileTest, OutputRefusesTheRegistryAndItsFiles)
{
    const std::string known = "--scenario " + Scenario("known") + " --format prometheus";
    ASSERT_EQ(RunWith(known).code, 0);
    // The lock files are named for the registry file's device and inode.
    struct stat info;
    ASSERT_EQ(stat(Registry().c_str(), &info), 0);
    const std::string lock = "kovaltherm-" + std::to_string(info.st_dev) + "-" + std::to_string(info.st_ino) + ".mutex.";
    ASSERT_EQ(system(("cd '" + dir_ + "' && mkdir sub && ln -s ../registry.db sub/link.db && ln -s registry.db-wal wal-link && "
                      "ln '" + lock + "Global%5CAccess%5FEC' lock-hard-link").c_str()), 0);
    const std::string names[] = {"registry.db", "./registry.db", "../" + dir_.substr(dir_.rfind('/') + 1) + "/registry.db",
                                 "registry.db-wal", "registry.db-journal", lock + "Global%5CKovaltherm.Thermal",
                                 lock + "Access_EC", "sub/link.db", "wal-link", "lock-hard-link"};
    for (const std::string &registry : {Registry(), Path("sub/link.db")})
        for (const std::string &name : names) {
            SCOPED_TRACE(registry + " " + name);
            Result r = Run("--registry '" + registry + "' " + known + " --output '" + name + "'");
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err.rfind("ktsensors: cannot write " + name + ": it is the registry file ", 0), 0u) << r.err;
            EXPECT_EQ(ReadFile(Registry()).rfind(std::string("SQLite format 3\0", 16), 0), 0u);
            EXPECT_EQ(ReadFile(Path(lock + "Global%5CAccess%5FEC")).size(), 1u);
        }
    EXPECT_EQ(RunWith("--dump-registry").code, 0);
    // A name that only starts like the registry's is an ordinary file.
    EXPECT_EQ(RunWith(known + " --output registry.db.prom").code, 0);
    EXPECT_NE(ReadFile(Path("registry.db.prom")).find("# TYPE"), std::string::npos);
}

// --output onto a link writes the file it leads to, replaced in that file's folder; a link
// in a loop or to nothing is refused; a FIFO or device is written as it is, never replaced.
TEST_F(HostileTest, OutputFollowsLinksAndWritesFifosInPlace)
{
    ASSERT_EQ(system(("cd '" + dir_ + "' && mkdir sub && echo old >sub/target.prom && ln -s sub/target.prom to-target && "
                      "ln -s loop-b loop-a && ln -s loop-a loop-b && ln -s nowhere/x.prom dangling && "
                      "ln -s /dev/stdout to-stdout && mkfifo sub/fifo && (timeout 60 cat sub/fifo >fifo.txt &)").c_str()), 0);
    struct Case {
        const char *output, *message, *written; // the one line on stderr; the file read into
    };
    const Case cases[] = {
        {"to-target", "", "sub/target.prom"},
        {"to-stdout", "", "out.txt"}, // standard output goes to out.txt
        {"sub/fifo", "", "fifo.txt"},
        {"loop-a", "ktsensors: cannot write loop-a: it is a symbolic link in a loop\n", nullptr},
        {"dangling", "ktsensors: cannot write dangling: it is a symbolic link to nowhere/x.prom, which does not exist\n", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.output);
        Result r = RunWith("--format prometheus --output " + std::string(c.output));
        EXPECT_EQ(r.code, c.written ? 0 : 1);
        EXPECT_EQ(r.err, c.message);
        for (int wait = 0; c.written && wait < 100 && ReadFile(Path(c.written)).find("timestamp_seconds") == std::string::npos; ++wait)
            usleep(20 * 1000); // the reader of the FIFO writes out what it got
        EXPECT_TRUE(!c.written || ReadFile(Path(c.written)).find("\nkovaltherm_sensors 3\n") != std::string::npos);
    }
    // The links are still links, the FIFO a FIFO; no temporary file is left anywhere.
    struct stat info;
    for (const char *link : {"to-target", "to-stdout", "loop-a", "loop-b", "dangling"})
        EXPECT_TRUE(lstat(Path(link).c_str(), &info) == 0 && S_ISLNK(info.st_mode)) << link;
    EXPECT_TRUE(lstat(Path("sub/fifo").c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
    EXPECT_NE(system(("ls -a '" + dir_ + "' '" + Path("sub") + "' | grep -q '^\\.[^.]'").c_str()), 0);
    EXPECT_FALSE(Exists(Path("nowhere")));
}

// SIGTERM, SIGHUP and SIGINT end --watch: the reading under way is abandoned, the file keeps
// the last whole reading, no temporary file is left, and the status is that of the readings
// made: 0 here.
TEST_F(HostileTest, SignalsEndWatchLeavingTheOutputWholeAndNoTemporaryFile)
{
    struct Case {
        int signal, code, runs;
    };
    const Case cases[] = {{SIGTERM, 0, 30}, {SIGHUP, 0, 5}, {SIGINT, 0, 5}};
    srand(19);
    for (const Case &c : cases)
        for (int run = 0; run < c.runs; ++run) {
            SCOPED_TRACE(std::string(strsignal(c.signal)) + ", run " + std::to_string(run));
            // The real clock: a reading takes about 0.1 s, then the file is replaced. The signal
            // comes once the first file is written (the handlers are in place by then, however
            // slowly a loaded machine started the program), at a random point of a reading.
            unlink(Path("F.prom").c_str());
            pid_t child = fork();
            if (child == 0 && chdir(dir_.c_str()) == 0)
                execl(kBinary.c_str(), kBinary.c_str(), "--registry", "registry.db", "--format", "prometheus",
                      "--output", "F.prom", "--watch", "0.001", (char *)nullptr);
            if (child == 0)
                _exit(127);
            for (int wait = 0; wait < 1000 && !Exists(Path("F.prom")); ++wait)
                usleep(10 * 1000);
            usleep(rand() % (300 * 1000));
            kill(child, c.signal);
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.code) << "status " << status;
            EXPECT_NE(system(("ls -a '" + dir_ + "' | grep -q '^\\.F'").c_str()), 0) << "a temporary file is left";
            // Whole: the reading's last line is there, and nothing after it.
            std::string text = ReadFile(Path("F.prom"));
            size_t last = text.rfind("\nkovaltherm_reading_timestamp_seconds ");
            EXPECT_TRUE(text.empty() || (last != std::string::npos && text.find('\n', last + 1) == text.size() - 1)) << text;
        }
}

TEST_F(HostileTest, HelpNamesEveryOptionWithoutParserInternals)
{
    Result r = Run("--help");
    EXPECT_EQ(r.code, 0);
    for (const char *option : {"--format FORMAT", "--json", "--output FILE", "--watch SECONDS", "--count N",
                               "--registry PATH", "--scenario FILE", "--reset-cache", "--dump-registry",
                               "--plot FILE.svg", "--check", "--warning RANGE", "--critical RANGE",
                               "--ignore SENSOR", "--help", "--version"})
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    for (const char *internal : {"POSITIVE", "UINT", "FILE:FILE", "Excludes", "[1 -", ":TEXT", "REQUIRED"})
        EXPECT_EQ(r.out.find(internal), std::string::npos) << internal;
    for (const std::string &line : Lines(r.out))
        EXPECT_LE(line.size(), 80u) << line;
}

TEST_F(HostileTest, OutputReplacesTheFileAtomicallyWithEachReading)
{
    Result r = RunWith("--scenario " + Scenario("known") + " --format prometheus --output metrics.prom --watch 2 --count 3");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string text = ReadFile(Path("metrics.prom"));
    // One reading, the last: the old content is gone and no temporary file is left.
    EXPECT_EQ(text.find("old 1"), std::string::npos);
    EXPECT_NE(text.find("kovaltherm_temperature_celsius{sensor=\"1\",location=\"4\"} 70\n"), std::string::npos) << text;
    Exposition exposition;
    std::string error;
    ASSERT_TRUE(ParseExposition(text, &exposition, &error)) << error;
    EXPECT_EQ(exposition.samples.at("kovaltherm_sensors"), 3);
    EXPECT_EQ(exposition.samples.at("kovaltherm_status{sensor=\"1\",location=\"4\"}"), 3);
    struct stat info;
    ASSERT_EQ(stat(Path("metrics.prom").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    EXPECT_NE(system(("ls -a '" + dir_ + "' | grep -q '^\\.metrics'").c_str()), 0);
}

TEST_F(HostileTest, NothingReadStillReplacesThePrometheusFileWithUpZero)
{
    // A folder as the registry: the library cannot start, so no earlier reading may stand.
    WriteFile(Path("metrics.prom"), "# TYPE kovaltherm_up gauge\nkovaltherm_up 1\n");
    for (const std::string &output : {std::string(" --output metrics.prom"), std::string()}) {
        Result r = Run("--registry '" + dir_ + "' --format prometheus" + output);
        EXPECT_EQ(r.code, 1) << output;
        EXPECT_NE(r.err, "") << output;
        Exposition e;
        std::string error;
        ASSERT_TRUE(ParseExposition(output.empty() ? r.out : ReadFile(Path("metrics.prom")), &e, &error)) << error;
        EXPECT_EQ(e.samples.at("kovaltherm_up"), 0) << output;
        EXPECT_EQ(e.samples.at("kovaltherm_last_success_timestamp_seconds"), 0) << output;
        EXPECT_EQ(e.samples.count("kovaltherm_sensors"), 0u) << output;
    }
}

TEST_F(ToolTest, SensorsJsonFromTheToolParsesAsSensorsMinusJ)
{
    Result r = RunWith("--scenario " + Scenario("known") + " --format sensors-json");
    EXPECT_EQ(r.code, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    const nlohmann::json &chip = doc["kovaltherm-qorix"];
    EXPECT_EQ(chip["Adapter"], "Kovaltherm.dll");
    // The known scenario: 52/90/98 normal, 70/65/75 critical, 47/75/90 normal.
    EXPECT_EQ(chip["sensor 1 (location 4)"],
              nlohmann::json::parse(R"({"temp2_input": 70, "temp2_max": 65, "temp2_crit": 75,
                                        "temp2_max_alarm": 1, "temp2_crit_alarm": 1})"));
    EXPECT_EQ(chip["sensor 2 (location 1)"]["temp3_input"], 47);
    EXPECT_EQ(chip.size(), 4u);
}

// ---- A cache left by another notebook --------------------------------------------------------

TEST_F(ToolTest, WarnsOfACacheFromAnotherNotebookAndResetCacheRebuildsIt)
{
    const std::string heat = "--scenario " + kExamples + "/heat-cycle.json";
    // The default notebook has sensors 0, 1 and 3; heat-cycle only 0 and 1.
    ASSERT_EQ(RunWith("").code, 0);
    Result stale = RunWith(heat);
    EXPECT_EQ(stale.code, 1);
    EXPECT_EQ(stale.err, "ktsensors: the sensor cache in use has sensors 0, 1, 3 but the scenario has sensors 0, 1: "
                         "run with --reset-cache to rebuild it\n");

    Result fresh = RunWith(heat + " --reset-cache");
    EXPECT_EQ(fresh.code, 0) << fresh.err;
    EXPECT_EQ(fresh.err, "");
    EXPECT_EQ(Lines(fresh.out).size(), 4u) << fresh.out;
    EXPECT_EQ(RunWith(heat).code, 0);
    Result dump = RunWith("--dump-registry");
    EXPECT_NE(dump.out.find("\"Number of sensors\"=dword:00000002"), std::string::npos) << dump.out;

    // Back to the default notebook: the warning again names the way out.
    Result back = RunWith("");
    EXPECT_EQ(back.code, 1);
    EXPECT_EQ(back.err, "ktsensors: the sensor cache in use has sensors 0, 1 but the notebook has sensors 0, 1, 3: "
                        "run with --reset-cache to rebuild it\n");
    // A registry with no cache yet resets to the same: a cache built afresh.
    Result first = Run("--registry new.db --reset-cache");
    EXPECT_EQ(first.code, 0) << first.err;
}

// ---- A tampered sensor count ------------------------------------------------------------------

// "Number of sensors" set to 0x7FFFFFFF: once a failed call has repaired the cache, the reading
// ends where the library says the count changed; where no rebuild can repair it (the firmware
// fails), no more than the nine sensors the library can map are read. Either way the run ends
// at once with one line, and the next reading of a repaired cache is whole.
TEST_F(ToolTest, ATamperedSensorCountEndsTheReadingInsteadOfWalkingEveryOrdinal)
{
    const std::string known = ReadFile(Scenario("known"));
    WriteFile(Path("no-firmware.json"), known.substr(0, known.rfind('}')) + R"(, "driver": {"failures": {"firmware": "always"}}})");
    const struct {
        std::string scenario;
        std::string message;
        size_t sensors;
    } cases[] = {
        {Path("no-firmware.json"), "the library gave 2147483647 sensors, more than the 9 it can read: its sensor cache "
                                   "is damaged; 24 calls failed: LMGetSensorLocation(3) LMReadTemperature(3) "
                                   "LMReadWarningLimit(3) LMReadCriticalLimit(3) LMGetSensorLocation(4) LMReadTemperature(4) ...", 9},
        {Scenario("known"), "the sensor count changed from 2147483647 to 3 during the reading: the library rebuilt its sensor cache", 3},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(RunWith("--reset-cache --scenario " + Scenario("known")).code, 0);
        {
            std::string error;
            auto registry = host::MakeSqliteRegistry(Registry(), &error);
            ASSERT_TRUE(registry) << error;
            ASSERT_TRUE(registry->SetValue(THERMAL_KEY_PATH, VALUE_SENSOR_COUNT, {REG_DWORD, {0xFF, 0xFF, 0xFF, 0x7F}}));
        }
        // A bound of its own: the reading used to take 2^31 ordinals.
        Result r = RunWith("--scenario " + c.scenario + " --json --count 1", "KOVALTHERM_CLOCK=virtual timeout 60");
        EXPECT_EQ(r.code, 1) << c.scenario;
        EXPECT_EQ(r.err, "ktsensors: " + c.message + "\n") << c.scenario;
        EXPECT_EQ(nlohmann::json::parse(r.out)["sensors"].size(), c.sensors) << c.scenario;
    }
    Result repaired = RunWith("--scenario " + Scenario("known") + " --json");
    EXPECT_EQ(repaired.code, 0) << repaired.err;
}

// ---- The plot ------------------------------------------------------------------------------

TEST_F(ToolTest, PlotMarksSingleReadingsAndDrawsTheStatusThresholds)
{
    Result one = RunWith("--scenario " + kExamples + "/heat-cycle.json --plot one.svg --count 1");
    EXPECT_EQ(one.code, 0) << one.err;
    std::string svg = ReadFile(Path("one.svg"));
    // One marker per sensor: a single reading draws no line.
    size_t markers = 0;
    for (size_t at = svg.find("<circle class=\"single\""); at != std::string::npos; at = svg.find("<circle class=\"single\"", at + 1))
        ++markers;
    EXPECT_EQ(markers, 2u);

    Result full = RunWith("--scenario " + kExamples + "/heat-cycle.json --plot full.svg");
    EXPECT_EQ(full.code, 0) << full.err;
    svg = ReadFile(Path("full.svg"));
    EXPECT_EQ(svg.find("<circle class=\"single\""), std::string::npos);
    // Sensor 0: warning high 90, warning normal 85, critical high 98; sensor 1: 65, 60, 75.
    for (const char *label : {">above 88: warning<", ">warning holds above 85<", ">from 97: critical<",
                              ">above 63: warning<", ">warning holds above 60<", ">from 74: critical<"})
        EXPECT_NE(svg.find(label), std::string::npos) << label;
}

// An element's attribute as a number (`fallback` when it has none).
double Attribute(const std::string &element, const std::string &name, double fallback = 0)
{
    size_t at = element.find(" " + name + "=\"");
    return at == std::string::npos ? fallback : atof(element.c_str() + at + name.size() + 3);
}

// Each <text> of an SVG document without a transform, as the box its characters take: at
// most 0.6 of the font size wide each, from a font size above the baseline to 0.3 below.
struct TextBox {
    std::string text, fill;
    double left, right, top, bottom;
};
std::vector<TextBox> TextBoxes(const std::string &svg)
{
    std::vector<TextBox> boxes;
    for (size_t at = svg.find("<text "); at != std::string::npos; at = svg.find("<text ", at + 1)) {
        size_t close = svg.find('>', at), end = svg.find("</text>", close);
        std::string element = svg.substr(at, close - at), text = svg.substr(close + 1, end - close - 1);
        if (element.find("transform=") != std::string::npos)
            continue;
        double size = Attribute(element, "font-size", 12), width = 0.6 * size * text.size();
        double x = Attribute(element, "x"), y = Attribute(element, "y");
        double left = element.find("\"end\"") != std::string::npos      ? x - width
                      : element.find("\"middle\"") != std::string::npos ? x - width / 2
                                                                       : x;
        size_t fill = element.find(" fill=\"");
        boxes.push_back({text, fill == std::string::npos ? "" : element.substr(fill + 7, 7), left, left + width,
                         y - size, y + 0.3 * size});
    }
    return boxes;
}

TEST_F(ToolTest, PlotKeepsItsLegendInsideAndTheThresholdLabelsOffTheLimitLines)
{
    const char *const legend[] = {"normal", "warning", "critical", "no status", "call failed", "temperature",
                                  "warning limit", "critical limit", "status changes"};
    for (const char *scenario : {"heat-cycle", "steady"}) {
        SCOPED_TRACE(scenario);
        ASSERT_EQ(RunWith("--reset-cache --scenario " + kExamples + "/" + scenario + ".json --plot p.svg").code, 0);
        std::string svg = ReadFile(Path("p.svg"));
        double width = 0, height = 0;
        ASSERT_EQ(sscanf(svg.c_str() + svg.find("viewBox=\""), "viewBox=\"0 0 %lf %lf\"", &width, &height), 2);
        std::vector<TextBox> boxes = TextBoxes(svg);
        for (const char *entry : legend) {
            auto box = std::find_if(boxes.begin(), boxes.end(), [&](const TextBox &b) { return b.text == entry; });
            ASSERT_NE(box, boxes.end()) << entry;
            EXPECT_TRUE(box->left >= 0 && box->right <= width && box->top >= 0 && box->bottom <= height) << entry;
        }
        // The dashed limit lines' segments, against every threshold label (drawn in the status
        // changes' colour).
        std::vector<std::vector<double>> segments; // x1, y1, x2, y2
        for (size_t at = svg.find("<path d=\""); at != std::string::npos; at = svg.find("<path d=\"", at + 1)) {
            std::string element = svg.substr(at, svg.find("/>", at) - at);
            if (element.find("stroke-dasharray=\"6 4\"") == std::string::npos)
                continue;
            std::istringstream d(element.substr(9, element.find('"', 9) - 9));
            char command;
            double x, y, lastX = 0, lastY = 0;
            while (d >> command >> x >> std::ws && d.ignore(1) && d >> y) {
                if (command == 'L')
                    segments.push_back({lastX, lastY, x, y});
                lastX = x, lastY = y;
            }
        }
        ASSERT_FALSE(segments.empty());
        size_t labels = 0;
        for (const TextBox &box : boxes) {
            if (box.fill != "#6a1b9a")
                continue;
            ++labels;
            EXPECT_TRUE(box.left >= 0 && box.right <= width) << box.text;
            EXPECT_EQ(std::count_if(segments.begin(), segments.end(), [&](const std::vector<double> &s) {
                          return std::min(s[0], s[2]) - 1 <= box.right && std::max(s[0], s[2]) + 1 >= box.left &&
                                 std::min(s[1], s[3]) - 1 <= box.bottom && std::max(s[1], s[3]) + 1 >= box.top;
                      }), 0)
                << box.text << " crosses a limit line";
        }
        EXPECT_EQ(labels, std::string(scenario) == "steady" ? 9u : 6u);
    }
}


// Clients that send too little, too much or too slowly are closed within the bounds the
// server documents (the head whole within 3 s and 8 KiB; 512 connections at most, an idle
// one giving way), while others are still answered at once; afterwards the server holds no
// more descriptors and little more memory than before.
TEST_F(ListenTest, HostileClientsAreClosedWithinTheirBoundsAndOthersStillAnswered)
{
    Start("--scenario " + Scenario("known"));
    const std::string metrics = "GET /metrics HTTP/1.1\r\n\r\n";
    ASSERT_EQ(Ask(metrics).rfind("HTTP/1.1 200 OK", 0), 0u);
    // The server closes that answer's connection just after the client has read it: the count
    // to keep is the one once it has settled.
    int descriptors = Descriptors();
    for (int tick = 0, last = -1; tick < 60 && descriptors != last; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        last = descriptors;
        descriptors = Descriptors();
    }
    [[maybe_unused]] const long rss = RssKiB();
    struct Case {
        const char *name;
        std::string bytes;   // sent at once, or a byte a second when `trickle`
        bool trickle;
        double within;       // seconds until the server closes
    };
    const std::string big = "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(9000, 'a');
    const Case cases[] = {
        {"headers over 8 KiB", big, false, 1},
        {"headers over 8 KiB, ended", big + "\r\n\r\n", false, 1},
        {"nothing sent", "", false, 4},
        {"a head that never ends", "GET /metrics HTTP/1.1\r\nX: y\r\n", false, 4},
        {"a byte a second", metrics, true, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int fd = Connect();
        ASSERT_GE(fd, 0);
        std::thread sender([&] {
            for (size_t at = 0; at < c.bytes.size(); at += c.trickle ? 1 : c.bytes.size()) {
                if (send(fd, c.bytes.data() + at, c.trickle ? 1 : c.bytes.size(), MSG_NOSIGNAL) <= 0)
                    break;
                if (c.trickle)
                    std::this_thread::sleep_for(std::chrono::seconds(1));
            }
        });
        // Meanwhile another client is answered at once.
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(Ask(metrics).rfind("HTTP/1.1 200 OK", 0), 0u);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 1.0);
        double seconds = 0;
        EXPECT_EQ(ReadToClose(dup(fd), &seconds), "");
        EXPECT_LT(seconds, c.within);
        shutdown(fd, SHUT_RDWR);
        sender.join();
        close(fd);
    }
    // A thousand connections opened and left.
    std::vector<int> idle;
    for (int i = 0; i < 1000; ++i)
        idle.push_back(Connect());
    EXPECT_EQ(std::count(idle.begin(), idle.end(), -1), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ask(metrics).rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    for (int fd : idle)
        EXPECT_EQ(ReadToClose(fd), "");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 4.0);
    EXPECT_EQ(Ask(metrics).rfind("HTTP/1.1 200 OK", 0), 0u);
    // The server closes its side of the last answer's connection just after the client has
    // read it: give it the bound it documents for closing.
    for (int tick = 0; tick < 30 && Descriptors() != descriptors; ++tick)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Descriptors(), descriptors);
#ifndef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory in quarantine: only the plain build's memory tells.
    EXPECT_LT(RssKiB(), rss + 2048);
#endif
    EXPECT_EQ(Stop(), 0);
}

// Clients that send a request and then bytes without end, reconnecting whenever the server
// closes them, never hold up another client's scrape.
TEST_F(ListenTest, ScrapesStayPromptWhileClientsKeepSending)
{
    Start("--scenario " + Scenario("known") + " --max-age 0");
    const std::string metrics = "GET /metrics HTTP/1.1\r\n\r\n", junk(1 << 20, 'x');
    std::atomic<bool> done{false};
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&] {
            while (!done) {
                int fd = Connect();
                timeval limit{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                for (ssize_t n = send(fd, metrics.data(), metrics.size(), MSG_NOSIGNAL); n > 0 && !done;)
                    n = send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
                close(fd);
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int probe = 0; probe < 10; ++probe) {
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(Ask(metrics).rfind("HTTP/1.1 200 OK", 0), 0u);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count(), 1.0);
    }
    done = true;
    for (std::thread &sender : senders)
        sender.join();
    EXPECT_EQ(Stop(), 0);
}

// While a reading is taken, 600 scrapers whose requests have arrived whole are all answered:
// none is closed to make room (the server stops taking connections instead, until answers
// free some). Each block read of this controller waits 0.4 s for it: a reading takes about 1 s.
TEST_F(ListenTest, RequestsThatArrivedWholeAreAnsweredNeverEvicted)
{
    WriteFile(Path("slow.json"), R"({"sensors": [{"index": 0, "limits": {"warning_normal": 85, "warning_high": 90,
        "critical_normal": 95, "critical_high": 98}, "temperature": 50}], "controller": {"busy_polls": 8}})");
    Start("--scenario slow.json --max-age 60", "");
    const std::string metrics = "GET /metrics HTTP/1.1\r\n\r\n";
    std::vector<int> clients;
    for (int i = 0; i < 600; ++i) {
        clients.push_back(Connect());
        ASSERT_EQ(send(clients.back(), metrics.data(), metrics.size(), MSG_NOSIGNAL), (ssize_t)metrics.size());
    }
    int answered = 0;
    for (int fd : clients)
        answered += ReadToClose(fd).rfind("HTTP/1.1 200 OK\r\n", 0) == 0;
    EXPECT_EQ(answered, 600);
    EXPECT_EQ(Stop(), 0);
}

// SIGTERM and SIGHUP end --listen within a second even while a reading is stuck (each read of
// this controller waits about 3.4 s): the scrapers waiting for it are answered 503, status 0.
TEST_F(ListenTest, StopSignalsAnswerWaitingScrapersAndEndWithinASecond)
{
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        Start("--scenario " + kExamples + "/stuck-controller.json", "");
        std::vector<std::string> answers(3);
        std::vector<std::thread> scrapers;
        for (std::string &answer : answers)
            scrapers.emplace_back([&] { answer = Ask("GET /metrics HTTP/1.1\r\n\r\n"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Stop(signal), 0);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
        for (std::thread &scraper : scrapers)
            scraper.join();
        for (const std::string &answer : answers)
            EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
    }
}

} // namespace
