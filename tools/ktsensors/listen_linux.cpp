// ktsensors --listen on Linux: one thread owns the sockets (epoll), reads each request's
// head whole within bounds, and writes the answers; a second thread hands each head to
// cpp-httplib's request handling (parsing, routing, the response) and takes the readings.
// The connection handling is our own so that no client can hold a thread or grow memory: a
// head must arrive within kHeadTimeout and fit in kMaxHeadBytes, an answer must be taken
// within kSendTimeout, and at most kMaxConnections are open. Every answer closes its
// connection, and is the whole page: the headers that would split, compress or wait for more
// (Range, Accept-Encoding, Expect, a body) are dropped before cpp-httplib sees the head.
#include "listen.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <strings.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <httplib.h>

namespace ktsensors {

namespace {

using Clock = ReadingSource::Clock;

const size_t kMaxHeadBytes = 8192;
const Clock::duration kSendTimeout = std::chrono::seconds(3);
// How long an answered connection waits for the client to close its side, so that closing
// ours does not reset the connection before the client has read the answer.
const Clock::duration kLingerTimeout = std::chrono::seconds(2);
// How often deadlines and the stop flag are looked at.
const int kTickMs = 100;
// What an answered connection reads and drops per wake-up, so that a client that keeps
// sending shares the socket thread with the others, and in all before it is closed at once.
const size_t kDiscardPerWake = 64 * 1024;
const size_t kMaxDiscard = 1024 * 1024;

// Request headers dropped before cpp-httplib sees the head: the answer is always the whole
// page, uncompressed (one page per request, however the client asks), and a request's body
// is never read. Lower case.
const char *const kDroppedHeaders[] = {"range", "if-range", "accept-encoding", "content-length", "transfer-encoding",
                                       "expect"};

const char kUnavailable[] = "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";

// Whether a header line (without its line end) names one of kDroppedHeaders.
bool IsDropped(const char *line, size_t length)
{
    const char *colon = (const char *)memchr(line, ':', length);
    if (!colon)
        return false;
    size_t name = (size_t)(colon - line);
    while (name > 0 && (line[name - 1] == ' ' || line[name - 1] == '\t'))
        --name;
    for (const char *dropped : kDroppedHeaders)
        if (strlen(dropped) == name && strncasecmp(line, dropped, name) == 0)
            return true;
    return false;
}

// The head without the header lines of kDroppedHeaders (and their continuation lines); the
// request line, the other lines and the line ends are kept as they came.
std::string WithoutDroppedHeaders(const std::string &head)
{
    std::string kept;
    kept.reserve(head.size());
    bool dropping = false;
    for (size_t at = 0; at < head.size();) {
        size_t newline = head.find('\n', at);
        size_t next = newline == std::string::npos ? head.size() : newline + 1;
        size_t length = (newline == std::string::npos ? head.size() : newline) - at;
        if (length > 0 && head[at + length - 1] == '\r')
            --length;
        bool continuation = at > 0 && length > 0 && (head[at] == ' ' || head[at] == '\t');
        if (!continuation)
            dropping = at > 0 && IsDropped(head.data() + at, length);
        if (!dropping)
            kept.append(head, at, next - at);
        at = next;
    }
    return kept;
}

// A request head read whole, as the stream cpp-httplib reads a request from; what it writes
// is gathered as the answer.
class HeadStream : public httplib::Stream {
public:
    HeadStream(const std::string &head, const std::string &peer) : head_(head), peer_(peer) {}
    bool is_readable() const override { return true; }
    bool is_writable() const override { return true; }
    ssize_t read(char *ptr, size_t size) override
    {
        size_t n = std::min(size, head_.size() - at_);
        memcpy(ptr, head_.data() + at_, n);
        at_ += n;
        return (ssize_t)n;
    }
    ssize_t write(const char *ptr, size_t size) override
    {
        answer.append(ptr, size);
        return (ssize_t)size;
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override
    {
        ip = peer_;
        port = 0;
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        ip.clear();
        port = 0;
    }
    socket_t socket() const override { return -1; }

    std::string answer;

private:
    const std::string &head_;
    std::string peer_;
    size_t at_ = 0;
};

// cpp-httplib's request handling with the formats' pages as its routes; the other methods it
// knows get 405 on a page's path.
class Router : public httplib::Server {
public:
    explicit Router(ReadingSource &source) : source_(source)
    {
        auto refuse = [](const httplib::Request &, httplib::Response &response) {
            response.status = 405;
            response.set_header("Allow", kPageMethods);
        };
        for (size_t i = 0; i < kFormatCount; ++i) {
            const Format &format = kFormats[i];
            if (!*format.path)
                continue;
            Get(format.path, [this, &format](const httplib::Request &, httplib::Response &response) {
                response.set_content(source_.Get(format, arrival_), format.contentType);
            });
            Post(format.path, refuse);
            Put(format.path, refuse);
            Patch(format.path, refuse);
            Delete(format.path, refuse);
            Options(format.path, refuse);
        }
    }

    // The whole answer to a request head that arrived at `arrival`, closing the connection.
    std::string Answer(const std::string &head, Clock::time_point arrival)
    {
        arrival_ = arrival;
        std::string kept = WithoutDroppedHeaders(head);
        HeadStream stream(kept, "");
        bool closed = false;
        process_request(stream, true, closed, nullptr);
        return stream.answer;
    }

private:
    ReadingSource &source_;
    Clock::time_point arrival_;
};

// Heads waiting for an answer, and answers waiting to be sent; the answering thread wakes
// the socket thread through an eventfd, and says when it has ended.
struct Exchange {
    struct Job {
        uint64_t id;
        std::string head;
        Clock::time_point arrival;
    };
    std::mutex mutex;
    std::condition_variable wake, ended;
    std::deque<Job> jobs;
    std::deque<std::pair<uint64_t, std::string>> answers;
    bool stopping = false, answeringEnded = false;
    int doorbell = -1;
};

// The answering thread: answers each head in turn until stopped; an answer made after the
// stop (perhaps from a reading the stop cut short) is dropped.
void AnswerRequests(Exchange &exchange, Router &router)
{
    for (;;) {
        Exchange::Job job;
        {
            std::unique_lock<std::mutex> lock(exchange.mutex);
            exchange.wake.wait(lock, [&] { return exchange.stopping || !exchange.jobs.empty(); });
            if (exchange.stopping)
                break;
            job = std::move(exchange.jobs.front());
            exchange.jobs.pop_front();
        }
        std::string answer = router.Answer(job.head, job.arrival);
        {
            std::lock_guard<std::mutex> lock(exchange.mutex);
            if (exchange.stopping)
                break;
            exchange.answers.emplace_back(job.id, std::move(answer));
        }
        uint64_t one = 1;
        (void)!write(exchange.doorbell, &one, sizeof one);
    }
    std::lock_guard<std::mutex> lock(exchange.mutex);
    exchange.answeringEnded = true;
    exchange.ended.notify_all();
}

struct Connection {
    int fd = -1;
    // Head: reading the request's head; Answering: the head is whole and waits for its answer
    // (nothing is watched); Sending: the answer goes out; Closing: answered, our side shut,
    // waiting for the client to close its own.
    enum class State { Head, Answering, Sending, Closing } state = State::Head;
    std::string data;          // the head so far, then the answer
    size_t sent = 0;
    size_t discarded = 0;      // bytes received after the answer
    Clock::time_point opened, deadline;
};

// Where a request head ends ("\r\n\r\n", or "\n\n" from a sloppy client) from `from` on, or npos.
size_t HeadEnd(const std::string &data, size_t from)
{
    for (size_t i = from; i + 1 < data.size(); ++i) {
        if (data[i] == '\n' && data[i + 1] == '\n')
            return i + 2;
        if (data[i] == '\n' && data[i + 1] == '\r' && i + 2 < data.size() && data[i + 2] == '\n')
            return i + 3;
    }
    return std::string::npos;
}

class SocketLoop {
public:
    SocketLoop(int listener, Exchange &exchange, volatile sig_atomic_t *stop)
        : listener_(listener), exchange_(exchange), stop_(stop)
    {
    }

    ~SocketLoop()
    {
        for (auto &entry : connections_)
            close(entry.second.fd);
        if (epoll_ >= 0)
            close(epoll_);
    }

    bool Start(std::string *error)
    {
        epoll_ = epoll_create1(EPOLL_CLOEXEC);
        if (epoll_ < 0 || !Watch(listener_, EPOLLIN, kListenerId) || !Watch(exchange_.doorbell, EPOLLIN, kDoorbellId)) {
            *error = std::string("cannot wait for connections: ") + strerror(errno);
            return false;
        }
        return true;
    }

    // Serves until `*stop` is set.
    void Run()
    {
        epoll_event events[64];
        while (!*stop_) {
            int n = epoll_wait(epoll_, events, 64, kTickMs);
            for (int i = 0; i < n && !*stop_; ++i) {
                uint64_t id = events[i].data.u64;
                if (id == kListenerId)
                    Accept();
                else if (id == kDoorbellId)
                    TakeAnswers();
                else
                    Service(id);
            }
            Expire();
        }
    }

    // After a stop: takes no new connection, answers 503 to every request that has arrived
    // whole and has no answer yet, and sends until those answers are out or `deadline`.
    void Finish(Clock::time_point deadline)
    {
        epoll_ctl(epoll_, EPOLL_CTL_DEL, listener_, nullptr);
        epoll_ctl(epoll_, EPOLL_CTL_DEL, exchange_.doorbell, nullptr);
        for (auto it = connections_.begin(); it != connections_.end();) {
            uint64_t id = it->first;
            Connection &c = (it++)->second;
            if (c.state == Connection::State::Head)
                ReadHead(id, c);
        }
        for (auto it = connections_.begin(); it != connections_.end();) {
            uint64_t id = it->first;
            Connection &c = (it++)->second;
            if (c.state == Connection::State::Answering)
                StartSending(id, c, kUnavailable, deadline);
            else if (c.state != Connection::State::Sending)
                Close(id);
        }
        epoll_event events[64];
        while (Sending() && Clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            int n = epoll_wait(epoll_, events, 64, (int)std::min<long long>(left + 1, kTickMs));
            for (int i = 0; i < n; ++i)
                Service(events[i].data.u64);
        }
    }

private:
    static const uint64_t kListenerId = 0, kDoorbellId = 1;

    bool Watch(int fd, uint32_t events, uint64_t id, int op = EPOLL_CTL_ADD)
    {
        epoll_event event{};
        event.events = events;
        event.data.u64 = id;
        return epoll_ctl(epoll_, op, fd, &event) == 0;
    }

    void Accept()
    {
        if (listenerPaused_)
            return;
        for (;;) {
            if (connections_.size() >= kMaxConnections && !MakeRoom())
                return PauseListener();
            int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    if (MakeRoom())
                        continue;
                    return PauseListener();
                }
                return; // EAGAIN, or a connection that went away before it was taken
            }
            uint64_t id = nextId_++;
            Connection &c = connections_[id];
            c.fd = fd;
            c.opened = Clock::now();
            c.deadline = c.opened + kHeadTimeout;
            if (!Watch(fd, EPOLLIN | EPOLLRDHUP, id))
                Close(id);
        }
    }

    // Stops taking connections until the next tick: descriptors or room ran out.
    void PauseListener()
    {
        if (!listenerPaused_ && Watch(listener_, 0, kListenerId, EPOLL_CTL_MOD))
            listenerPaused_ = true;
    }

    // How readily a connection gives way to a new one: 0 answered and closing, 1 nothing
    // received yet, 2 part of a head; kKeep for a request that has arrived whole.
    static const int kKeep = 3;
    static int Rank(const Connection &c)
    {
        if (c.state == Connection::State::Closing)
            return 0;
        if (c.state == Connection::State::Head)
            return c.data.empty() ? 1 : 2;
        return kKeep;
    }

    // Closes one connection to make room for a new one: the lowest Rank, the oldest first. A
    // head is read once more before it is closed, and kept if it has arrived whole meanwhile.
    // False when every connection holds a request.
    bool MakeRoom()
    {
        for (;;) {
            auto victim = connections_.end();
            for (auto it = connections_.begin(); it != connections_.end(); ++it) {
                int rank = Rank(it->second);
                if (rank < kKeep && (victim == connections_.end() || rank < Rank(victim->second) ||
                                     (rank == Rank(victim->second) && it->second.opened < victim->second.opened)))
                    victim = it;
            }
            if (victim == connections_.end())
                return false;
            uint64_t id = victim->first;
            if (victim->second.state == Connection::State::Head) {
                ReadHead(id, victim->second);
                auto again = connections_.find(id);
                if (again == connections_.end())
                    return true; // the client had gone
                if (again->second.state != Connection::State::Head)
                    continue; // its request is whole: it stays
            }
            Close(id);
            return true;
        }
    }

    void Close(uint64_t id)
    {
        auto it = connections_.find(id);
        if (it == connections_.end())
            return;
        close(it->second.fd);
        connections_.erase(it);
    }

    void Service(uint64_t id)
    {
        auto it = connections_.find(id);
        if (it == connections_.end())
            return;
        Connection &c = it->second;
        if (c.state == Connection::State::Head)
            ReadHead(id, c);
        else if (c.state == Connection::State::Sending)
            Send(id, c);
        else if (c.state == Connection::State::Closing)
            Discard(id, c);
    }

    void ReadHead(uint64_t id, Connection &c)
    {
        char buffer[4096];
        for (;;) {
            size_t room = kMaxHeadBytes + 1 - c.data.size();
            ssize_t n = recv(c.fd, buffer, std::min(room, sizeof buffer), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0)
                return Close(id);
            size_t from = c.data.size() >= 3 ? c.data.size() - 3 : 0;
            c.data.append(buffer, (size_t)n);
            size_t end = HeadEnd(c.data, from);
            if (end != std::string::npos && end <= kMaxHeadBytes) {
                c.data.resize(end);
                // Nothing is watched while the answer is made; a client gone meanwhile shows
                // when the answer is sent.
                c.state = Connection::State::Answering;
                epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
                {
                    std::lock_guard<std::mutex> lock(exchange_.mutex);
                    exchange_.jobs.push_back({id, std::move(c.data), Clock::now()});
                }
                exchange_.wake.notify_one();
                c.data.clear();
                return;
            }
            if (c.data.size() > kMaxHeadBytes)
                return Close(id);
        }
    }

    void TakeAnswers()
    {
        uint64_t count;
        (void)!read(exchange_.doorbell, &count, sizeof count);
        std::deque<std::pair<uint64_t, std::string>> answers;
        {
            std::lock_guard<std::mutex> lock(exchange_.mutex);
            answers.swap(exchange_.answers);
        }
        for (auto &answer : answers) {
            auto it = connections_.find(answer.first);
            if (it != connections_.end())
                StartSending(answer.first, it->second, std::move(answer.second), Clock::now() + kSendTimeout);
        }
    }

    // Sends `answer` on a connection that waits for one, by `deadline`.
    void StartSending(uint64_t id, Connection &c, std::string answer, Clock::time_point deadline)
    {
        c.data = std::move(answer);
        c.state = Connection::State::Sending;
        c.deadline = deadline;
        if (!Watch(c.fd, EPOLLOUT, id))
            Close(id);
        else
            Send(id, c);
    }

    void Send(uint64_t id, Connection &c)
    {
        while (c.sent < c.data.size()) {
            ssize_t n = send(c.fd, c.data.data() + c.sent, c.data.size() - c.sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0)
                return Close(id);
            c.sent += (size_t)n;
        }
        // Answered: our side is shut, and the connection closes once the client has closed
        // its own, or at kLingerTimeout.
        shutdown(c.fd, SHUT_WR);
        std::string().swap(c.data);
        c.state = Connection::State::Closing;
        c.deadline = Clock::now() + kLingerTimeout;
        if (!Watch(c.fd, EPOLLIN | EPOLLRDHUP, id, EPOLL_CTL_MOD))
            return Close(id);
        Discard(id, c);
    }

    // Reads and drops what a closing connection's client sent, at most kDiscardPerWake at a
    // time; closes once the client has closed its side, or has sent more than kMaxDiscard.
    void Discard(uint64_t id, Connection &c)
    {
        char buffer[4096];
        for (size_t taken = 0; taken < kDiscardPerWake;) {
            ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0 || (c.discarded += (size_t)n) > kMaxDiscard)
                return Close(id);
            taken += (size_t)n;
        }
    }

    // Whether an answer is still going out.
    bool Sending() const
    {
        for (const auto &entry : connections_)
            if (entry.second.state == Connection::State::Sending)
                return true;
        return false;
    }

    // Closes connections past their deadline, and takes connections again after a pause.
    void Expire()
    {
        Clock::time_point now = Clock::now();
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->second.state != Connection::State::Answering && now >= it->second.deadline)
                Close(it->first);
            it = next;
        }
        if (listenerPaused_ && Watch(listener_, EPOLLIN, kListenerId, EPOLL_CTL_MOD))
            listenerPaused_ = false;
    }

    int listener_;
    Exchange &exchange_;
    volatile sig_atomic_t *stop_;
    int epoll_ = -1;
    bool listenerPaused_ = false;
    uint64_t nextId_ = 2;
    std::map<uint64_t, Connection> connections_;
};
// A listening socket on `host`:`port`; -1 with a message.
int OpenListener(const std::string &host, int port, std::string *url, std::string *error)
{
    std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = "cannot listen on " + where + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
              bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0;
    int saved = errno;
    freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    char name[NI_MAXHOST], service[NI_MAXSERV];
    if (ok && getsockname(fd, (sockaddr *)&bound, &length) == 0 &&
        getnameinfo((sockaddr *)&bound, length, name, sizeof name, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        std::string address = name;
        *url = "http://" + (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" + service + "/";
        return fd;
    }
    saved = ok ? errno : saved;
    if (fd >= 0)
        close(fd);
    *error = "cannot listen on " + where + ": " + strerror(saved);
    return -1;
}

} // namespace

Served Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
             const std::function<void(const std::string &)> &ready, const std::function<void(const std::string &)> &,
             std::string *error)
{
    std::string url;
    int listener = OpenListener(host, port, &url, error);
    if (listener < 0)
        return Served::Failed;
    // Kept on the heap: a reading that outlasts the stop keeps its thread, which still
    // reaches them until the process ends.
    std::unique_ptr<Exchange> exchange(new Exchange);
    std::unique_ptr<Router> router(new Router(source));
    exchange->doorbell = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    Served served = exchange->doorbell >= 0 ? Served::Stopped : Served::Failed;
    if (served == Served::Failed)
        *error = std::string("cannot serve: ") + strerror(errno);
    SocketLoop loop(listener, *exchange, stop);
    if (served == Served::Stopped && !loop.Start(error))
        served = Served::Failed;
    if (served == Served::Stopped) {
        // The stop signals go to the socket thread, which waits in epoll_wait, and never cut
        // short a wait of the library's on the answering thread.
        sigset_t signals, previous;
        sigemptyset(&signals);
        for (int number : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&signals, number);
        pthread_sigmask(SIG_BLOCK, &signals, &previous);
        std::thread answering(AnswerRequests, std::ref(*exchange), std::ref(*router));
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ready(url);
        loop.Run();
        Clock::time_point deadline = Clock::now() + kStopGrace;
        {
            std::lock_guard<std::mutex> lock(exchange->mutex);
            exchange->stopping = true;
        }
        exchange->wake.notify_one();
        loop.Finish(deadline);
        bool ended;
        {
            std::unique_lock<std::mutex> lock(exchange->mutex);
            ended = exchange->ended.wait_until(lock, deadline, [&] { return exchange->answeringEnded; });
        }
        if (ended)
            answering.join();
        else {
            answering.detach();
            (void)exchange.release();
            (void)router.release();
            served = Served::StoppedInReading;
        }
    }
    if (exchange && exchange->doorbell >= 0)
        close(exchange->doorbell);
    close(listener);
    return served;
}

} // namespace ktsensors
