// ktsensors --listen: readings served over HTTP. The pages (each format of the formats' table
// that has a path) and the rule for when a request gets a new reading are shared; each build
// has its own server (listen_linux.cpp, listen_windows.cpp), which routes a GET or HEAD of a
// page's path to Get and answers anything else with 404.
#ifndef KTSENSORS_LISTEN_H
#define KTSENSORS_LISTEN_H

#include <signal.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <string>

#include "backend.h"
#include "formats.h"

namespace ktsensors {

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

    // The body of the page in `format` for a request that arrived at `arrival`.
    const std::string &Get(const Format &format, Clock::time_point arrival);
    // Readings taken so far.
    uint64_t Readings() const { return number_; }

private:
    Library &library_;
    MachineClock &clock_;
    Clock::duration maxAge_;
    uint64_t number_ = 0;
    Clock::time_point started_, ended_;
    Reading reading_;
    // Each format's page of the last reading, rendered when first asked for; by table row.
    std::vector<std::string> pages_ = std::vector<std::string>(kFormatCount);
    std::vector<bool> rendered_ = std::vector<bool>(kFormatCount);
};

// Serves the pages from `source` on `host`:`port` until `*stop` is set, calling `ready` with
// the base URL ("http://127.0.0.1:9101/") once it listens. False with a one-line message when
// it cannot listen.
bool Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
           const std::function<void(const std::string &)> &ready, std::string *error);

} // namespace ktsensors

#endif
