// GoogleTest's customisation header for the mingw-w64 builds; it takes the place of
// the empty default one (the folder comes first on the include path).
//
// Debian's mingw-w64 compilers default to the win32 thread model, whose C++ library
// (GCC 12) has no std::mutex or std::condition_variable. GoogleTest's only use of
// them is Notification, with which its own tests start threads; ours start none.
// This Notification is the same contract without the standard library's mutex.
#ifndef TM_MINGW_GTEST_CUSTOM_PORT_H
#define TM_MINGW_GTEST_CUSTOM_PORT_H

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    // Called by the controlling thread.
    void Notify() { notified_.store(true, std::memory_order_release); }
    // Called by a started thread: spins, as no blocking primitive is available here.
    void WaitForNotification() const
    {
        while (!notified_.load(std::memory_order_acquire)) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

} // namespace internal
} // namespace testing

#endif
