// GoogleTest's porting hook for the Windows test programs. Debian's mingw-w64 compilers use
// the win32 threading model, whose C++ library has no std::mutex or std::condition_variable;
// GoogleTest needs them only for its Notification, which is given here on a Win32 event.
#ifndef KOVALTHERM_GTEST_CUSTOM_PORT_H
#define KOVALTHERM_GTEST_CUSTOM_PORT_H

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

// Lets a controller thread release threads that wait for it.
class Notification {
public:
    Notification() : event_(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing

#endif
