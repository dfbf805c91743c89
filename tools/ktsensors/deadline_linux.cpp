// The watchdog's thread, signal and end on Linux.
#include "deadline.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ktsensors {

struct Deadline::Platform {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable signalled;
    bool cancelled = false;
};

Deadline::Deadline() : platform_(new Platform) {}

Deadline::~Deadline() { Cancel(); }

void Deadline::StartThread() { platform_->thread = std::thread([this] { Watch(); }); }

bool Deadline::WaitForCancel(uint64_t ms)
{
    std::unique_lock<std::mutex> lock(platform_->mutex);
    return platform_->signalled.wait_for(lock, std::chrono::milliseconds(ms), [this] { return platform_->cancelled; });
}

void Deadline::SignalCancel()
{
    std::lock_guard<std::mutex> lock(platform_->mutex);
    platform_->cancelled = true;
    platform_->signalled.notify_all();
}

void Deadline::JoinThread()
{
    if (platform_->thread.joinable())
        platform_->thread.join();
}

uint64_t Deadline::NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// _exit: no atexit handlers or destructors, which could wait for the library the abandoned call
// is in; the kernel closes its lock files, which leaves their locks abandoned.
void Deadline::EndProcess(int exitCode) { _exit(exitCode); }

} // namespace ktsensors
