// ktsensors --listen on Windows, through the HTTP Server API: http.sys takes the connections,
// parses the requests and holds hostile clients to its own limits (a request head at most
// 16 KiB, and here at most 3 s to arrive, 3 s idle), so that this process only sees whole
// requests. One thread receives them and notes when each arrived; another answers them,
// taking the readings.
#include <winsock2.h>
#include <windows.h>
#include <http.h>

#include <deque>
#include <vector>

#include "error_text_windows.h"
#include "listen.h"

namespace ktsensors {

namespace {

using Clock = ReadingSource::Clock;

const USHORT kHeadWaitSeconds = 3;
const USHORT kIdleSeconds = 3;
// Room for a request's head beyond the record that describes it.
const ULONG kRequestBytes = 16 * 1024;
// How often the stop flag is looked at while waiting for a request.
const DWORD kTickMs = 100;

struct Job {
    HTTP_REQUEST_ID id;
    HTTP_VERB verb;
    std::string path;
    Clock::time_point arrival;
};

// Requests received and not yet answered.
struct Answerer {
    HANDLE queue = nullptr;
    ReadingSource *source = nullptr;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE wake;
    std::deque<Job> jobs;
    bool stopping = false;
};

void SendAnswer(HANDLE queue, HTTP_REQUEST_ID id, USHORT status, const char *reason, const char *type,
                const std::string &body, bool withBody)
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

// Answers a GET or HEAD of a format's page with it, anything else with 404.
void Answer(Answerer &answerer, const Job &job)
{
    bool get = job.verb == HttpVerbGET || job.verb == HttpVerbHEAD;
    const Format *format = get ? FormatAtPath(job.path) : nullptr;
    if (!format)
        return SendAnswer(answerer.queue, job.id, 404, "Not Found", nullptr, "", false);
    const std::string &body = answerer.source->Get(*format, job.arrival);
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
        LeaveCriticalSection(&answerer.lock);
        Answer(answerer, job);
    }
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

std::wstring Widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

} // namespace

bool Serve(const std::string &host, int port, ReadingSource &source, volatile sig_atomic_t *stop,
           const std::function<void(const std::string &)> &ready, std::string *error)
{
    bool ipv6 = host.find(':') != std::string::npos;
    std::string where = (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    if (port == 0) {
        *error = "cannot listen on " + where + ": give a port; http.sys does not choose one";
        return false;
    }
    // A strong wildcard (+) takes every address; otherwise requests for that address only.
    bool any = host == "0.0.0.0" || host == "::";
    std::string url = "http://" + (any ? std::string("+") : ipv6 ? "[" + host + "]" : host) + ":" +
                      std::to_string(port) + "/";

    HTTPAPI_VERSION version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID session = 0;
    HTTP_URL_GROUP_ID group = 0;
    Answerer answerer;
    answerer.source = &source;
    const char *step = "HttpInitialize";
    ULONG rc = HttpInitialize(version, HTTP_INITIALIZE_SERVER, nullptr);
    bool initialized = rc == NO_ERROR;
    if (rc == NO_ERROR && (step = "HttpCreateServerSession", rc = HttpCreateServerSession(version, &session, 0)) == NO_ERROR &&
        (step = "HttpCreateUrlGroup", rc = HttpCreateUrlGroup(session, &group, 0)) == NO_ERROR &&
        (step = "HttpCreateRequestQueue", rc = HttpCreateRequestQueue(version, nullptr, nullptr, 0, &answerer.queue)) == NO_ERROR) {
        HTTP_BINDING_INFO binding = {};
        binding.Flags.Present = 1;
        binding.RequestQueueHandle = answerer.queue;
        step = "HttpSetUrlGroupProperty";
        rc = HttpSetUrlGroupProperty(group, HttpServerBindingProperty, &binding, sizeof binding);
    }
    if (rc == NO_ERROR) {
        // The limits matter for hostile clients only; where they cannot be set (older http.sys
        // builds, Wine) its defaults hold.
        HTTP_TIMEOUT_LIMIT_INFO timeouts = {};
        timeouts.Flags.Present = 1;
        timeouts.HeaderWait = kHeadWaitSeconds;
        timeouts.IdleConnection = kIdleSeconds;
        HttpSetServerSessionProperty(session, HttpServerTimeoutsProperty, &timeouts, sizeof timeouts);
        std::wstring wide = Widen(url);
        step = "HttpAddUrlToUrlGroup";
        rc = HttpAddUrlToUrlGroup(group, wide.c_str(), 0, 0);
    }
    bool ok = rc == NO_ERROR;
    if (!ok) {
        *error = "cannot listen on " + where + ": " + step + ": " + ErrorText(rc);
        if (rc == ERROR_ACCESS_DENIED)
            *error += ": run as an administrator, or reserve the address with netsh http add urlacl url=" + url;
    }
    if (ok) {
        InitializeCriticalSection(&answerer.lock);
        InitializeConditionVariable(&answerer.wake);
        HANDLE thread = CreateThread(nullptr, 0, AnswerRequests, &answerer, 0, nullptr);
        ok = thread != nullptr;
        if (!ok)
            *error = "cannot start answering: " + ErrorText(GetLastError());
        if (ok) {
            ready("http://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/");
            ok = Receive(answerer, stop, error);
            EnterCriticalSection(&answerer.lock);
            answerer.stopping = true;
            LeaveCriticalSection(&answerer.lock);
            WakeConditionVariable(&answerer.wake);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        DeleteCriticalSection(&answerer.lock);
    }
    if (group)
        HttpCloseUrlGroup(group);
    if (answerer.queue)
        HttpCloseRequestQueue(answerer.queue);
    if (session)
        HttpCloseServerSession(session);
    if (initialized)
        HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    return ok;
}

} // namespace ktsensors
