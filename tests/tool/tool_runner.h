// Runs the built ktsensors as a user would, in a directory of its own, and collects its
// output, exit code and files. Shared by the tool's end-to-end tests.
#ifndef KTSENSORS_TESTS_TOOL_RUNNER_H
#define KTSENSORS_TESTS_TOOL_RUNNER_H

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

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
    std::ostringstream bytes;
    if (in)
        bytes << in.rdbuf();
    return bytes.str();
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

// ktsensors --listen on a port the system picks, started and stopped by its process id.
class ListenTest : public ToolTest {
protected:
    void TearDown() override
    {
        if (pid_ > 0)
            Stop(SIGKILL);
        ToolTest::TearDown();
    }

    // Starts the server with `args` and the environment of Run plus `env` ("NAME=value ...");
    // waits until it says where it listens.
    void Start(const std::string &args, const std::string &env = "KOVALTHERM_CLOCK=virtual")
    {
        std::string command = "cd '" + dir_ + "' && exec env -u XDG_STATE_HOME -u KOVALTHERM_REGISTRY -u KOVALTHERM_CLOCK "
                              "-u KOVALTHERM_TRACE LANG=C HOME='" + dir_ + "' " + env + " '" + kBinary +
                              "' --registry '" + Registry() + "' --listen 127.0.0.1:0 " + args + " 2>listen.err";
        port_ = 0;
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && port_ == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::string err = ReadFile(Path("listen.err"));
            size_t at = err.find("serving http://127.0.0.1:");
            if (at != std::string::npos)
                port_ = atoi(err.c_str() + at + 25);
        }
        ASSERT_NE(port_, 0) << ReadFile(Path("listen.err"));
    }

    // Sends `signal` and returns the exit status (-1 when killed by a signal).
    int Stop(int signal = SIGTERM)
    {
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A socket connected to the server, with reads that give up after 20 s.
    int Connect() const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons((uint16_t)port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    // Everything the server sends on `fd` until it closes the connection; `*seconds` how long that took.
    static std::string ReadToClose(int fd, double *seconds = nullptr)
    {
        auto start = std::chrono::steady_clock::now();
        std::string got;
        char buffer[4096];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            got.append(buffer, (size_t)n);
        if (seconds)
            *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        close(fd);
        return got;
    }

    // The whole answer to `request`.
    std::string Ask(const std::string &request) const
    {
        int fd = Connect();
        if (fd < 0 || send(fd, request.data(), request.size(), MSG_NOSIGNAL) != (ssize_t)request.size())
            return "not sent";
        return ReadToClose(fd);
    }

    // The server's open descriptors and resident memory in KiB.
    int Descriptors() const
    {
        int count = 0;
        if (DIR *dir = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
            while (readdir(dir))
                ++count;
            closedir(dir);
        }
        return count;
    }
    long RssKiB() const
    {
        std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
        size_t at = status.find("VmRSS:");
        return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
    }

    pid_t pid_ = 0;
    int port_ = 0;
};

} // namespace tooltest

#endif
