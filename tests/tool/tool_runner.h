// Runs the built ktsensors as a user would, in a directory of its own, and collects its
// output, exit code and files. Shared by the tool's end-to-end tests.
#ifndef KTSENSORS_TESTS_TOOL_RUNNER_H
#define KTSENSORS_TESTS_TOOL_RUNNER_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tooltest {

const std::string kBinary = KTSENSORS_BINARY;
const std::string kScenarios = KTSENSORS_SCENARIOS;
const std::string kExamples = KTSENSORS_EXAMPLES;

struct Result {
    int code = -1;
    std::string out, err;
};

inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline bool Exists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

inline std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/ktsensors-XXXXXX";
        ASSERT_TRUE(mkdtemp(&pattern[0]));
        dir_ = pattern;
    }
    void TearDown() override { (void)!system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }
    std::string Registry() const { return Path("registry.db"); }
    static std::string Scenario(const std::string &name) { return kScenarios + "/" + name + ".json"; }

    // Runs ktsensors in the test's directory with HOME there, no registry variables, the C
    // locale, the virtual clock, `env` added; output and exit code come back.
    // `output` redirects standard output ("" leaves it closed).
    Result Run(const std::string &args, const std::string &env = "KOVALTHERM_CLOCK=virtual",
               const std::string &output = "out.txt")
    {
        std::string command = "cd '" + dir_ + "' && env -u XDG_STATE_HOME -u KOVALTHERM_REGISTRY -u KOVALTHERM_CLOCK -u KOVALTHERM_TRACE "
                              "-u LC_ALL -u LC_CTYPE LANG=C HOME='" +
                              dir_ + "' " + env + " '" + kBinary + "' " + args + " >" +
                              (output.empty() ? "&-" : "'" + output + "'") + " 2>err.txt";
        std::remove(Path("out.txt").c_str());
        int status = system(command.c_str());
        Result result;
        result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = ReadFile(Path("out.txt"));
        result.err = ReadFile(Path("err.txt"));
        return result;
    }

    // Runs against the test's registry file.
    Result RunWith(const std::string &args, const std::string &env = "KOVALTHERM_CLOCK=virtual",
                   const std::string &output = "out.txt")
    {
        return Run("--registry '" + Registry() + "' " + args, env, output);
    }

    std::string dir_;
};

} // namespace tooltest

#endif
