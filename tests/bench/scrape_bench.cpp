// Scrape benchmark of `ktsensors --listen` on the host: a child process serves the default
// simulated notebook on the real clock (--max-age 1 s), and 50 scrapers GET /metrics back to
// back for 10 s, then on until 10,000 scrapes are done, then for 3 s more beside 8 clients
// that send without end. Reports the controller's block reads per reading against one
// reading's (they must be equal: requests during a reading wait for it), the median and 99th
// percentile scrape latency (both phases) as a ratio to one reading's duration measured in
// the same run, and the server's resident memory and open descriptors after the scrapes
// against the start. Writes the figures as JSON; exits 0 when everything ran, whether or not
// the target held.
#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend.h"
#include "hw/controller.h"
#include "listen.h"
#include "platform/host/host.h"
#include "readings.h"
#include "tests/support/bench_targets.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kScrapers = 50;
const int kSeconds = 10;
const int kMinScrapes = 10000;
// Then, for kSendersSeconds, kSenders clients each send a request and then bytes without end
// (reconnecting whenever the server closes them) beside the scrapers.
const int kSenders = 8;
const int kSendersSeconds = 3;
const uint64_t kMaxAgeMs = 1000;
// Readings timed on their own before serving; the first builds the cache and is left out.
const int kBaselineReadings = 6;

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

// Controller block reads so far: each writes a command and then a release to the controller.
uint64_t BlockReads()
{
    uint64_t writes = 0;
    host::WithNotebook([&](SimNotebook &n) { writes = n.state.requests[SIM_REQ_WRITE_CONTROLLER_BYTE]; });
    return writes / (2 * CONTROLLER_COMMAND_LENGTH);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The server: one reading's duration and block reads first, then --listen until SIGTERM, then
// its readings and block reads. Lines on `out`: "PORT MS BLOCKS", then "READINGS BLOCKS".
int RunServer(int out, const std::string &registry)
{
    signal(SIGTERM, OnStop);
    std::unique_ptr<ktsensors::Backend> backend = ktsensors::MakeBackend();
    std::string error;
    if (backend->registry->Open(registry, true, &error) != ktsensors::Outcome::Ok ||
        backend->library->Start(nullptr, false, &error) != ktsensors::Outcome::Ok) {
        fprintf(stderr, "scrape bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> ms;
    uint64_t blocks = 0;
    for (int i = 0; i < kBaselineReadings; ++i) {
        uint64_t before = BlockReads();
        Clock::time_point start = Clock::now();
        ktsensors::TakeReading(backend->library->Functions(), *backend->clock, 1);
        if (i > 0)
            ms.push_back(Ms(Clock::now() - start));
        blocks = BlockReads() - before;
    }
    ktsensors::ReadingSource source(*backend->library, *backend->clock, kMaxAgeMs);
    uint64_t before = BlockReads();
    bool ok = ktsensors::Serve("127.0.0.1", 0, source, &g_stop,
                               [&](const std::string &url) {
                                   dprintf(out, "%d %.3f %llu\n", atoi(url.c_str() + url.rfind(':') + 1),
                                           Median(ms), (unsigned long long)blocks);
                               },
                               [](const std::string &) {}, &error) == ktsensors::Served::Stopped;
    dprintf(out, "%llu %llu\n", (unsigned long long)source.Readings(), (unsigned long long)(BlockReads() - before));
    backend->library->Stop();
    if (!ok)
        fprintf(stderr, "scrape bench: %s\n", error.c_str());
    return ok ? 0 : 1;
}

// A connection to the server; -1 when it failed.
int Connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One GET /metrics; its latency in ms, or -1 when it failed.
double Scrape(int port)
{
    Clock::time_point start = Clock::now();
    int fd = Connect(port);
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string answer;
    if (fd >= 0 && send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == (ssize_t)(sizeof request - 1)) {
        char buffer[8192];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, (size_t)n);
    }
    if (fd >= 0)
        close(fd);
    return answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0 ? Ms(Clock::now() - start) : -1;
}

// A client that sends a request and then a megabyte at a time until the server closes it,
// again and again while `going`.
void Send(int port, std::atomic<bool> &going)
{
    const std::string request = "GET /metrics HTTP/1.1\r\n\r\n", bytes(1 << 20, 'x');
    while (going) {
        int fd = Connect(port);
        timeval limit{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        for (ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL); n > 0 && going;)
            n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (fd >= 0)
            close(fd);
    }
}

// Latencies of kScrapers scrapers scraping back to back for `seconds`, then on until
// `minScrapes` are done.
struct Scrapes {
    std::vector<double> latencies;
    int failed = 0, done = 0;
};
Scrapes RunScrapers(int port, int seconds, int minScrapes)
{
    std::mutex lock;
    Scrapes all;
    std::atomic<int> done{0};
    Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> scrapers;
    for (int i = 0; i < kScrapers; ++i)
        scrapers.emplace_back([&] {
            std::vector<double> mine;
            int failed = 0;
            while (Clock::now() < end || done < minScrapes) {
                double ms = Scrape(port);
                ++done;
                if (ms < 0)
                    ++failed;
                else
                    mine.push_back(ms);
            }
            std::lock_guard<std::mutex> guard(lock);
            all.latencies.insert(all.latencies.end(), mine.begin(), mine.end());
            all.failed += failed;
        });
    for (std::thread &t : scrapers)
        t.join();
    all.done = done;
    return all;
}

long RssKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

int Descriptors(pid_t pid)
{
    int count = -2; // "." and ".."
    if (DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

double Percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, (size_t)(share * (double)values.size()))];
}

} // namespace

int main(int argc, char **argv)
{
    std::string jsonPath = "scrape-results.json";
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--json=", 7) == 0)
            jsonPath = argv[i] + 7;
    std::string registry = jsonPath + ".registry.db";
    for (const char *suffix : {"", "-wal", "-shm"})
        remove((registry + suffix).c_str());
    int pipeline[2];
    if (pipe(pipeline) != 0)
        return 1;
    pid_t server = fork();
    if (server == 0) {
        close(pipeline[0]);
        _exit(RunServer(pipeline[1], registry));
    }
    close(pipeline[1]);
    FILE *from = fdopen(pipeline[0], "r");
    int port = 0;
    double readingMs = 0;
    unsigned long long readingBlocks = 0;
    if (fscanf(from, "%d %lf %llu", &port, &readingMs, &readingBlocks) != 3) {
        fprintf(stderr, "scrape bench: the server did not start\n");
        waitpid(server, nullptr, 0);
        return 1;
    }
    Scrape(port);
    // The server closes that connection just after the client has read all of it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long rssStart = RssKiB(server);
    int fdsStart = Descriptors(server);

    Scrapes plain = RunScrapers(port, kSeconds, kMinScrapes);
    long rssEnd = RssKiB(server);
    int fdsEnd = Descriptors(server);
    // Then with clients that send a request and bytes without end beside the scrapers.
    std::atomic<bool> flooding{true};
    std::vector<std::thread> senders;
    for (int i = 0; i < kSenders; ++i)
        senders.emplace_back(Send, port, std::ref(flooding));
    Scrapes flooded = RunScrapers(port, kSendersSeconds, 0);
    flooding = false;
    for (std::thread &t : senders)
        t.join();
    kill(server, SIGTERM);
    unsigned long long readings = 0, blocks = 0;
    bool counted = fscanf(from, "%llu %llu", &readings, &blocks) == 2;
    int status = 0;
    waitpid(server, &status, 0);
    fclose(from);
    for (const char *suffix : {"", "-wal", "-shm"})
        remove((registry + suffix).c_str());

    double median = Median(plain.latencies), p99 = Percentile(plain.latencies, 0.99), longest = Largest(plain.latencies);
    double floodedP99 = Percentile(flooded.latencies, 0.99), floodedLongest = Largest(flooded.latencies);
    double perReading = readings ? (double)blocks / (double)readings : 0;
    bool met = p99 / readingMs <= kMaxScrapeP99Ratio && floodedP99 / readingMs <= kMaxScrapeP99Ratio &&
               perReading == (double)readingBlocks;
    printf("\nScrapes of ktsensors --listen: %d scrapers, %d s, GET /metrics, --max-age %.0f s\n", kScrapers,
           kSeconds, kMaxAgeMs / 1000.0);
    printf("  scrapes %d (%d failed), readings %llu\n", plain.done, plain.failed, readings);
    printf("  block reads per reading %.2f, one reading's %llu\n", perReading, readingBlocks);
    printf("  one reading %.2f ms; latency median %.2f ms (%.3f x), p99 %.2f ms (%.3f x), target p99 <= %.1f x: %s\n",
           readingMs, median, median / readingMs, p99, p99 / readingMs, kMaxScrapeP99Ratio, met ? "met" : "MISSED");
    printf("  longest %.2f ms (%.3f x): a scrape that arrived as a reading began\n", longest, longest / readingMs);
    printf("  server RSS %ld -> %ld KiB, open descriptors %d -> %d\n", rssStart, rssEnd, fdsStart, fdsEnd);
    printf("  then %d s beside %d clients sending without end: scrapes %d (%d failed), median %.2f ms, p99 %.2f ms "
           "(%.3f x), longest %.2f ms\n",
           kSendersSeconds, kSenders, flooded.done, flooded.failed, Median(flooded.latencies), floodedP99,
           floodedP99 / readingMs, floodedLongest);

    nlohmann::json out = {
        {"scrapers", kScrapers},          {"seconds", kSeconds},
        {"scrapes", plain.done},          {"failed_scrapes", plain.failed},
        {"readings", readings},           {"block_reads_per_reading", perReading},
        {"one_reading_block_reads", readingBlocks},
        {"one_reading_ms", readingMs},    {"median_ms", median},
        {"p99_ms", p99},                  {"median_ratio", median / readingMs},
        {"p99_ratio", p99 / readingMs},   {"max_ms", longest}, {"max_ratio", longest / readingMs},
        {"target", "p99 <= 1.2 x one reading, also beside clients sending without end; block reads per reading = one reading's"},
        {"met", met},                     {"rss_kib_start", rssStart},
        {"rss_kib_end", rssEnd},          {"descriptors_start", fdsStart},
        {"descriptors_end", fdsEnd},      {"senders", kSenders},
        {"senders_seconds", kSendersSeconds}, {"senders_scrapes", flooded.done},
        {"senders_failed_scrapes", flooded.failed}, {"senders_median_ms", Median(flooded.latencies)},
        {"senders_p99_ms", floodedP99},   {"senders_p99_ratio", floodedP99 / readingMs},
        {"senders_max_ms", floodedLongest},
    };
    std::ofstream(jsonPath) << out.dump(2) << "\n";
    bool ran = counted && WIFEXITED(status) && WEXITSTATUS(status) == 0 && plain.failed == 0 && flooded.failed == 0;
    printf("Written to %s%s\n", jsonPath.c_str(), ran ? "" : " (the run had failures)");
    return ran ? 0 : 1;
}
