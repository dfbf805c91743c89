// ktsensors --listen: readings served over HTTP. The pages (each format of the formats' table
// that has a path) and the rule for when a request gets a new reading are shared; each build
// has its own server (listen_linux.cpp, listen_windows.cpp), which routes a GET or HEAD of a
// page's path to Get, answers another method on a page's path with 405 and any other path with
// 404, and once stopped answers every request still waiting with 503.
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
// controller is read once per reading however many clients ask at once. Once `*stop` is set,
// a reading under way is abandoned at its next check (see TakeReading).
class ReadingSource {
public:
    using Clock = std::chrono::steady_clock;

    ReadingSource(Library &library, MachineClock &clock, uint64_t maxAgeMs,
                  const volatile sig_atomic_t *stop = nullptr, OwnerSettings *owner = nullptr)
        : library_(library), clock_(clock), maxAge_(std::chrono::milliseconds(maxAgeMs)), stop_(stop), owner_(owner)
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
    const volatile sig_atomic_t *stop_;
    OwnerSettings *owner_;
    uint64_t number_ = 0;
    Clock::time_point started_, ended_;
    Reading reading_;
    // Each format's page of the last reading, rendered when first asked for; by table row.
    std::vector<std::string> pages_ = std::vector<std::string>(kFormatCount);
    std::vector<bool> rendered_ = std::vector<bool>(kFormatCount);
};

// "127.0.0.1:9101" or "[::1]:9101", as --listen takes it.
std::string ListenAddress(const std::string &host, int port);

// The methods a page answers, as the Allow header of a 405 names them.
extern const char kPageMethods[];
// The limits both servers hold clients to: a request's head must arrive within kHeadTimeout
// (and an idle connection closes after it), and at most kMaxConnections are open.
const std::chrono::seconds kHeadTimeout(3);
const size_t kMaxConnections = 512;
// How long a stop waits, once seen, for the answers to requests still waiting (503) to go out
// and for a reading under way to end, before the server gives up on that reading.
const std::chrono::milliseconds kStopGrace(500);

// How Serve ended.
enum class Served {
    Stopped,           // `*stop` was set; the source is idle
    StoppedInReading,  // `*stop` was set (or the server failed, with a message in `error`)
                       // during a reading that did not end within kStopGrace: it goes on in a
                       // thread of its own, so the process must end at once (std::_Exit)
                       // without touching `source` or the library again
    Failed,            // it could not listen, or the server failed: the message in `error`
};

// Serves the pages from `source` on `host`:`port` until `*stop` is set, calling `ready` with
// the base URL ("http://127.0.0.1:9101/") once it listens, and `note` with a line for each
// limit the platform's HTTP server did not take. A request that has arrived whole is always
// answered: with its page, or with 503 once stopped.
Served Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
             const std::function<void(const std::string &)> &ready,
             const std::function<void(const std::string &)> &note, std::string *error);

#ifdef _WIN32
// The page in `format` for a request that arrived at `arrival`, called from the server's
// answering thread.
using Pages = std::function<std::string(const Format &format, ReadingSource::Clock::time_point arrival)>;

// Serve with the pages `pages` gives, such as the service's latest reading's; `stopEvent`, if
// given, is an event set with `*stop`, so that nothing polls the flag between requests.
Served ServePages(const std::string &host, int port, const Pages &pages, volatile sig_atomic_t *stop, void *stopEvent,
                  const std::function<void(const std::string &)> &ready,
                  const std::function<void(const std::string &)> &note, std::string *error);

// The URL http.sys registers for `host`:`port`: "http://+:9183/" for every address.
std::string HttpSysUrl(const std::string &host, int port);
#endif

} // namespace ktsensors

#endif
