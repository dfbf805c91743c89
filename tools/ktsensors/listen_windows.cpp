// ktsensors --listen on Windows, through the HTTP Server API: http.sys takes the connections,
// parses the requests and holds hostile clients to the limits set here (a request head at
// most 16 KiB, kHeadTimeout to arrive and idle, a minimum send rate, at most kMaxConnections),
// so that this process only sees whole requests. One thread receives them and notes when
// each arrived; another answers them, taking the readings. Once stopped, the requests still
// waiting are answered 503.
#include <winsock2.h>
#include <windows.h>
#include <http.h>

#include <deque>
#include <vector>

#include "error_text_windows.h"
#include "listen.h"
#include "listen_rules.h"

namespace ktsensors {

namespace {

using Clock = ReadingSource::Clock;

// Room for a request's head beyond the record that describes it.
const ULONG kRequestBytes = 16 * 1024;
// How often the stop flag is looked at while waiting for a request, without a stop event.
const DWORD kTickMs = 100;
// The slowest a client may take an answer: a page in about 2 s.
const ULONG kMinSendBytesPerSecond = 2048;
// How long a request body (never read) may take to arrive or be drained, and how long a
// request may wait in http.sys's queue before it is taken.
const USHORT kBodySeconds = 3;
const USHORT kQueuedSeconds = 5;

struct Job {
    HTTP_REQUEST_ID id;
    HTTP_VERB verb;
    std::string path;
    Clock::time_point arrival;
};

// Requests received and not yet answered, and the one being answered.
struct Answerer {
    HANDLE queue = nullptr;
    HANDLE stopEvent = nullptr; // set with the stop flag, when the caller has one
    Pages pages;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE wake;
    std::deque<Job> jobs;
    bool stopping = false;
    HTTP_REQUEST_ID current = HTTP_NULL_ID;
};

void SendAnswer(HANDLE queue, HTTP_REQUEST_ID id, USHORT status, const char *reason, const char *type,
                const std::string &body, bool withBody, const char *allow = nullptr)
{
    HTTP_RESPONSE response = {};
    response.StatusCode = status;
    response.pReason = reason;
    response.ReasonLength = (USHORT)strlen(reason);
    HTTP_DATA_CHUNK chunk = {};
    if (type) {
        response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = type;
        response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = (USHORT)strlen(type);
    }
    if (allow) {
        response.Headers.KnownHeaders[HttpHeaderAllow].pRawValue = allow;
        response.Headers.KnownHeaders[HttpHeaderAllow].RawValueLength = (USHORT)strlen(allow);
    }
    if (withBody && !body.empty()) {
        chunk.DataChunkType = HttpDataChunkFromMemory;
        chunk.FromMemory.pBuffer = (void *)body.data();
        chunk.FromMemory.BufferLength = (ULONG)body.size();
        response.EntityChunkCount = 1;
        response.pEntityChunks = &chunk;
    }
    ULONG sent = 0;
    // A client gone meanwhile is no concern of the server's.
    HttpSendHttpResponse(queue, id, 0, &response, nullptr, &sent, nullptr, 0, nullptr, nullptr);
}

void SendUnavailable(HANDLE queue, HTTP_REQUEST_ID id)
{
    SendAnswer(queue, id, 503, "Service Unavailable", nullptr, "", false);
}

// Answers a GET or HEAD of a format's page with it, another method on a page's path with 405,
// anything else with 404; nothing once stopped, as the stop has answered 503.
void Answer(Answerer &answerer, const Job &job)
{
    const Format *format = FormatAtPath(job.path);
    bool page = format && (job.verb == HttpVerbGET || job.verb == HttpVerbHEAD);
    std::string body = page ? answerer.pages(*format, job.arrival) : std::string();
    EnterCriticalSection(&answerer.lock);
    bool stopping = answerer.stopping;
    answerer.current = HTTP_NULL_ID;
    LeaveCriticalSection(&answerer.lock);
    if (stopping)
        return;
    if (!format)
        SendAnswer(answerer.queue, job.id, 404, "Not Found", nullptr, "", false);
    else if (!page)
        SendAnswer(answerer.queue, job.id, 405, "Method Not Allowed", nullptr, "", false, kPageMethods);
    else
        SendAnswer(answerer.queue, job.id, 200, "OK", format->contentType, body, job.verb == HttpVerbGET);
}

DWORD WINAPI AnswerRequests(void *parameter)
{
    Answerer &answerer = *(Answerer *)parameter;
    for (;;) {
        EnterCriticalSection(&answerer.lock);
        while (!answerer.stopping && answerer.jobs.empty())
            SleepConditionVariableCS(&answerer.wake, &answerer.lock, INFINITE);
        if (answerer.stopping) {
            LeaveCriticalSection(&answerer.lock);
            return 0;
        }
        Job job = answerer.jobs.front();
        answerer.jobs.pop_front();
        answerer.current = job.id;
        LeaveCriticalSection(&answerer.lock);
        Answer(answerer, job);
    }
}

// After a stop: answers 503 to every request still waiting, the one being answered included;
// true once the answering thread has ended, false when a reading outlasts kStopGrace.
bool Finish(Answerer &answerer, HANDLE thread)
{
    Clock::time_point deadline = Clock::now() + kStopGrace;
    EnterCriticalSection(&answerer.lock);
    answerer.stopping = true;
    std::deque<Job> waiting;
    waiting.swap(answerer.jobs);
    HTTP_REQUEST_ID current = answerer.current;
    LeaveCriticalSection(&answerer.lock);
    WakeConditionVariable(&answerer.wake);
    if (current != HTTP_NULL_ID)
        SendUnavailable(answerer.queue, current);
    for (const Job &job : waiting)
        SendUnavailable(answerer.queue, job.id);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return WaitForSingleObject(thread, left > 0 ? (DWORD)left : 0) == WAIT_OBJECT_0;
}

// The request's path, without its query, as ASCII.
std::string PathOf(const HTTP_REQUEST &request)
{
    std::string path;
    for (USHORT i = 0; i < request.CookedUrl.AbsPathLength / sizeof(WCHAR); ++i) {
        WCHAR c = request.CookedUrl.pAbsPath[i];
        path += c < 0x80 ? (char)c : '?';
    }
    return path;
}

// Receives requests until `*stop` is set, handing each to the answering thread. False with a
// message when the queue fails.
bool Receive(Answerer &answerer, volatile sig_atomic_t *stop, std::string *error)
{
    std::vector<ULONGLONG> storage((sizeof(HTTP_REQUEST) + kRequestBytes) / sizeof(ULONGLONG) + 1);
    HTTP_REQUEST *request = (HTTP_REQUEST *)storage.data();
    ULONG size = (ULONG)(storage.size() * sizeof(ULONGLONG));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = overlapped.hEvent != nullptr;
    while (ok && !*stop) {
        ResetEvent(overlapped.hEvent);
        ULONG rc = HttpReceiveHttpRequest(answerer.queue, HTTP_NULL_ID, 0, request, size, nullptr, &overlapped);
        if (rc == ERROR_IO_PENDING || rc == NO_ERROR) {
            // With a stop event nothing wakes between requests; without, a tick looks at the flag.
            HANDLE events[] = {overlapped.hEvent, answerer.stopEvent};
            if (answerer.stopEvent)
                WaitForMultipleObjects(2, events, FALSE, INFINITE);
            else
                while (WaitForSingleObject(overlapped.hEvent, kTickMs) == WAIT_TIMEOUT && !*stop) {
                }
            if (*stop) {
                CancelIoEx(answerer.queue, &overlapped);
                WaitForSingleObject(overlapped.hEvent, kTickMs * 10);
                break;
            }
            DWORD bytes = 0;
            rc = GetOverlappedResult(answerer.queue, &overlapped, &bytes, FALSE) ? NO_ERROR : GetLastError();
        }
        if (rc == NO_ERROR) {
            EnterCriticalSection(&answerer.lock);
            answerer.jobs.push_back(Job{request->RequestId, request->Verb, PathOf(*request), Clock::now()});
            LeaveCriticalSection(&answerer.lock);
            WakeConditionVariable(&answerer.wake);
        } else if (rc == ERROR_MORE_DATA) {
            SendAnswer(answerer.queue, request->RequestId, 400, "Bad Request", nullptr, "", false);
        } else if (rc != ERROR_CONNECTION_INVALID && rc != ERROR_OPERATION_ABORTED) {
            *error = "cannot receive requests: " + ErrorText(rc);
            ok = false;
        }
    }
    if (overlapped.hEvent)
        CloseHandle(overlapped.hEvent);
    return ok;
}

// Sets http.sys's limits on the session and the queue; a line for `note` for each it did not
// take (Wine's http.sys takes none of them), serving on with its defaults there.
void SetLimits(HTTP_SERVER_SESSION_ID session, HANDLE queue, const std::function<void(const std::string &)> &note)
{
    HTTP_TIMEOUT_LIMIT_INFO timeouts = {};
    timeouts.Flags.Present = 1;
    timeouts.EntityBody = kBodySeconds;
    timeouts.DrainEntityBody = kBodySeconds;
    timeouts.RequestQueue = kQueuedSeconds;
    timeouts.IdleConnection = (USHORT)kHeadTimeout.count();
    timeouts.HeaderWait = (USHORT)kHeadTimeout.count();
    timeouts.MinSendRate = kMinSendBytesPerSecond;
    HTTP_CONNECTION_LIMIT_INFO connections = {};
    connections.Flags.Present = 1;
    connections.MaxConnections = (ULONG)kMaxConnections;
    HTTP_QOS_SETTING_INFO qos = {};
    qos.QosType = HttpQosSettingTypeConnectionLimit;
    qos.QosSetting = &connections;
    ULONG queueLength = (ULONG)kMaxConnections;
    struct {
        const char *what;
        ULONG rc;
    } const results[] = {
        {"the connection timeouts", HttpSetServerSessionProperty(session, HttpServerTimeoutsProperty, &timeouts, sizeof timeouts)},
        {"the connection limit", HttpSetServerSessionProperty(session, HttpServerQosProperty, &qos, sizeof qos)},
        {"the request queue's length",
         HttpSetRequestQueueProperty(queue, HttpServerQueueLengthProperty, &queueLength, sizeof queueLength, 0, nullptr)},
    };
    for (const auto &result : results)
        if (result.rc != NO_ERROR)
            note(std::string("http.sys did not take ") + result.what + " (" + ErrorText(result.rc) + "); its defaults hold");
}

std::wstring Widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

} // namespace

std::string HttpSysUrl(const std::string &host, int port)
{
    char url[KT_LISTEN_HOST_MAX + 32];
    KtListenUrl(host.c_str(), port, url, sizeof url);
    return url;
}

Served Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
             const std::function<void(const std::string &)> &ready, const std::function<void(const std::string &)> &note,
             std::string *error)
{
    Pages pages = [&source](const Format &format, Clock::time_point arrival) { return source.Get(format, arrival); };
    return ServePages(host, port, pages, stop, nullptr, ready, note, error);
}

Served ServePages(const std::string &host, int port, const Pages &pages, volatile sig_atomic_t *stop, void *stopEvent,
                  const std::function<void(const std::string &)> &ready,
                  const std::function<void(const std::string &)> &note, std::string *error)
{
    std::string where = ListenAddress(host, port);
    if (port == 0) {
        *error = "cannot listen on " + where + ": give a port; http.sys does not choose one";
        return Served::Failed;
    }
    std::string url = HttpSysUrl(host, port);

    HTTPAPI_VERSION version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID session = 0;
    HTTP_URL_GROUP_ID group = 0;
    // Kept on the heap: a reading that outlasts the stop keeps its thread, which still
    // reaches it until the process ends.
    Answerer *answerer = new Answerer;
    answerer->pages = pages;
    answerer->stopEvent = stopEvent;
    const char *step = "HttpInitialize";
    ULONG rc = HttpInitialize(version, HTTP_INITIALIZE_SERVER, nullptr);
    bool initialized = rc == NO_ERROR;
    if (rc == NO_ERROR && (step = "HttpCreateServerSession", rc = HttpCreateServerSession(version, &session, 0)) == NO_ERROR &&
        (step = "HttpCreateUrlGroup", rc = HttpCreateUrlGroup(session, &group, 0)) == NO_ERROR &&
        (step = "HttpCreateRequestQueue", rc = HttpCreateRequestQueue(version, nullptr, nullptr, 0, &answerer->queue)) == NO_ERROR) {
        HTTP_BINDING_INFO binding = {};
        binding.Flags.Present = 1;
        binding.RequestQueueHandle = answerer->queue;
        step = "HttpSetUrlGroupProperty";
        rc = HttpSetUrlGroupProperty(group, HttpServerBindingProperty, &binding, sizeof binding);
    }
    if (rc == NO_ERROR) {
        SetLimits(session, answerer->queue, note);
        std::wstring wide = Widen(url);
        step = "HttpAddUrlToUrlGroup";
        rc = HttpAddUrlToUrlGroup(group, wide.c_str(), 0, 0);
    }
    Served served = rc == NO_ERROR ? Served::Stopped : Served::Failed;
    if (served == Served::Failed) {
        *error = "cannot listen on " + where + ": " + step + ": " + ErrorText(rc);
        if (rc == ERROR_ACCESS_DENIED)
            *error += ": run as an administrator, or reserve the address with netsh http add urlacl url=" + url;
    } else {
        InitializeCriticalSection(&answerer->lock);
        InitializeConditionVariable(&answerer->wake);
        HANDLE thread = CreateThread(nullptr, 0, AnswerRequests, answerer, 0, nullptr);
        if (!thread) {
            *error = "cannot start answering: " + ErrorText(GetLastError());
            served = Served::Failed;
        } else {
            ready("http://" + where + "/");
            if (!Receive(*answerer, stop, error))
                served = Served::Failed;
            if (!Finish(*answerer, thread))
                served = Served::StoppedInReading;
            if (served != Served::StoppedInReading)
                CloseHandle(thread);
        }
        if (served != Served::StoppedInReading)
            DeleteCriticalSection(&answerer->lock);
    }
    if (served == Served::StoppedInReading)
        return served; // the answering thread still holds `answerer`, the queue and the library
    if (group)
        HttpCloseUrlGroup(group);
    if (answerer->queue)
        HttpCloseRequestQueue(answerer->queue);
    if (session)
        HttpCloseServerSession(session);
    if (initialized)
        HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    delete answerer;
    return served;
}

} // namespace ktsensors
