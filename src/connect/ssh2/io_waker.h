// Wakes a connection's I/O thread out of its poll when another thread has work for it.
#pragma once

#include <atomic>

#include "connect/backend.h"
#include "platform/socket_io.h"

namespace termiva::ssh2 {

class IoWaker {
public:
    // Throws BackendError when the system gives no descriptors.
    IoWaker() try : m_wake() {
    } catch (const platform::SocketError& e) {
        throw BackendError(e.what());
    }
    IoWaker(const IoWaker&) = delete;
    IoWaker& operator=(const IoWaker&) = delete;

    void notify() {
        m_pending.store(true);
        m_wake.signal();
    }
    // Called by the I/O thread: was there a notification since the last call?
    bool take_pending() { return m_pending.exchange(false); }
    bool pending() const { return m_pending.load(); }
    void drain() { m_wake.clear(); }
    platform::SocketFd fd() const { return m_wake.fd(); }

private:
    platform::SocketWake m_wake;
    std::atomic<bool> m_pending{false};
};

}  // namespace termiva::ssh2
