// ktsensors --listen: readings served over HTTP. The pages and the rule for when a request
// gets a new reading are shared; each build has its own server (listen_posix.cpp on the host,
// listen_windows.cpp on Windows).
#ifndef KTSENSORS_LISTEN_H
#define KTSENSORS_LISTEN_H

#include <signal.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>

#include "backend.h"

namespace ktsensors {

// The pages served, each to GET (and HEAD); anything else is 404.
enum class Page { Metrics, Json };

// The path of a page and its content type.
extern const char kMetricsPath[];        // "/metrics"
extern const char kJsonPath[];           // "/json"
extern const char kMetricsContentType[]; // Prometheus' text exposition format 0.0.4
extern const char kJsonContentType[];

// Readings for requests, taken one at a time from a single thread. A request is answered
// from the last reading when that reading began at most `maxAge` before the request arrived,
// or was still being taken when it arrived; otherwise a new reading is taken. So the
// controller is read once per reading however many clients ask at once.
class ReadingSource {
public:
    using Clock = std::chrono::steady_clock;

    ReadingSource(Library &library, MachineClock &clock, uint64_t maxAgeMs)
        : library_(library), clock_(clock), maxAge_(std::chrono::milliseconds(maxAgeMs))
    {
    }

    // The page's body for a request that arrived at `arrival`.
    const std::string &Get(Page page, Clock::time_point arrival);
    // Readings taken so far.
    uint64_t Readings() const { return number_; }

private:
    Library &library_;
    MachineClock &clock_;
    Clock::duration maxAge_;
    uint64_t number_ = 0;
    Clock::time_point started_, ended_;
    std::string metrics_, json_;
};

// Serves the pages from `source` on `host`:`port` until `*stop` is set, calling `ready` with
// the base URL ("http://127.0.0.1:9101/") once it listens. False with a one-line message when
// it cannot listen.
bool Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
           const std::function<void(const std::string &)> &ready, std::string *error);

} // namespace ktsensors

#endif
