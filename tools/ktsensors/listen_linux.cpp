// ktsensors --listen on Linux: one thread owns the sockets (epoll), reads each request's
// head whole within bounds, and writes the answers; a second thread hands each head to
// cpp-httplib's request handling (parsing, routing, the response) and takes the readings.
// The connection handling is our own so that no client can hold a thread or grow memory: a
// head must arrive within kHeadTimeout and fit in kMaxHeadBytes, an answer must be taken
// within kSendTimeout, and at most kMaxConnections are open, the longest-waiting head giving
// way to a new connection. Every answer closes its connection.
#include "listen.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include <httplib.h>

namespace ktsensors {

namespace {

using Clock = ReadingSource::Clock;

const size_t kMaxHeadBytes = 8192;
const Clock::duration kHeadTimeout = std::chrono::seconds(3);
const Clock::duration kSendTimeout = std::chrono::seconds(3);
const size_t kMaxConnections = 512;
// How often deadlines and the stop flag are looked at.
const int kTickMs = 100;

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

// cpp-httplib's request handling with the formats' pages as its routes.
class Router : public httplib::Server {
public:
    explicit Router(ReadingSource &source) : source_(source)
    {
        for (size_t i = 0; i < kFormatCount; ++i) {
            const Format &format = kFormats[i];
            if (*format.path)
                Get(format.path, [this, &format](const httplib::Request &, httplib::Response &response) {
                    response.set_content(source_.Get(format, arrival_), format.contentType);
                });
        }
    }

    // The whole answer to a request head that arrived at `arrival`, closing the connection.
    std::string Answer(const std::string &head, Clock::time_point arrival)
    {
        arrival_ = arrival;
        HeadStream stream(head, "");
        bool closed = false;
        process_request(stream, true, closed, nullptr);
        return stream.answer;
    }

private:
    ReadingSource &source_;
    Clock::time_point arrival_;
};

// Heads waiting for an answer, and answers waiting to be sent; the answering thread wakes
// the socket thread through an eventfd.
struct Exchange {
    struct Job {
        uint64_t id;
        std::string head;
        Clock::time_point arrival;
    };
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    std::deque<std::pair<uint64_t, std::string>> answers;
    bool stopping = false;
    int doorbell = -1;
};

void AnswerRequests(Exchange &exchange, Router &router)
{
    for (;;) {
        Exchange::Job job;
        {
            std::unique_lock<std::mutex> lock(exchange.mutex);
            exchange.wake.wait(lock, [&] { return exchange.stopping || !exchange.jobs.empty(); });
            if (exchange.stopping)
                return;
            job = std::move(exchange.jobs.front());
            exchange.jobs.pop_front();
        }
        std::string answer = router.Answer(job.head, job.arrival);
        {
            std::lock_guard<std::mutex> lock(exchange.mutex);
            exchange.answers.emplace_back(job.id, std::move(answer));
        }
        uint64_t one = 1;
        (void)!write(exchange.doorbell, &one, sizeof one);
    }
}

struct Connection {
    int fd = -1;
    enum class State { Head, Answering, Sending } state = State::Head;
    std::string data;          // the head so far, then the answer
    size_t sent = 0;
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
    SocketLoop(int listener, Exchange &exchange) : listener_(listener), exchange_(exchange) {}

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

    void Run(volatile sig_atomic_t *stop)
    {
        epoll_event events[64];
        while (!*stop) {
            int n = epoll_wait(epoll_, events, 64, kTickMs);
            for (int i = 0; i < n; ++i) {
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
            if (connections_.size() >= kMaxConnections && !Evict())
                return PauseListener();
            int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    if (Evict())
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

    // Closes the connection whose head has waited longest; false when none is waiting.
    bool Evict()
    {
        auto oldest = connections_.end();
        for (auto it = connections_.begin(); it != connections_.end(); ++it)
            if (it->second.state == Connection::State::Head &&
                (oldest == connections_.end() || it->second.opened < oldest->second.opened))
                oldest = it;
        if (oldest == connections_.end())
            return false;
        Close(oldest->first);
        return true;
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
            if (it == connections_.end())
                continue;
            Connection &c = it->second;
            c.data = std::move(answer.second);
            c.state = Connection::State::Sending;
            c.deadline = Clock::now() + kSendTimeout;
            if (!Watch(c.fd, EPOLLOUT, answer.first))
                Close(answer.first);
            else
                Send(answer.first, c);
        }
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
        // Whatever else the client sent is read and dropped first, so that closing does not
        // reset the connection before the client has read the answer.
        shutdown(c.fd, SHUT_WR);
        char buffer[1024];
        while (recv(c.fd, buffer, sizeof buffer, 0) > 0) {
        }
        Close(id);
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

bool Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
           const std::function<void(const std::string &)> &ready, std::string *error)
{
    std::string url;
    int listener = OpenListener(host, port, &url, error);
    if (listener < 0)
        return false;
    Exchange exchange;
    exchange.doorbell = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = exchange.doorbell >= 0;
    if (!ok)
        *error = std::string("cannot serve: ") + strerror(errno);
    if (ok) {
        Router router(source);
        SocketLoop loop(listener, exchange);
        ok = loop.Start(error);
        if (ok) {
            std::thread answering(AnswerRequests, std::ref(exchange), std::ref(router));
            ready(url);
            loop.Run(stop);
            {
                std::lock_guard<std::mutex> lock(exchange.mutex);
                exchange.stopping = true;
            }
            exchange.wake.notify_one();
            answering.join();
        }
    }
    if (exchange.doorbell >= 0)
        close(exchange.doorbell);
    close(listener);
    return ok;
}

} // namespace ktsensors
