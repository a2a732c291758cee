// The part of an SshConnection that lives on its I/O thread: the libssh session, every
// channel, the queue of requests from other threads, keep-alive and remote forwards.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "connect/ssh2/io_waker.h"
#include "connect/ssh2/ssh_bugs.h"
#include "connect/ssh2/ssh_connection.h"
#include "connect/ssh2/ssh_handles.h"
#include "connect/ssh2/ssh_prefs.h"
#include "connect/ssh2/ssh_sockets.h"
#include "connect/ssh2/worker_threads.h"

namespace termiva::ssh2 {

class ConnectionCore {
public:
    explicit ConnectionCore(WorkerThreads& workers);
    ~ConnectionCore();

    // The I/O thread's body: connect (over `carrier` when it holds a socket, else over
    // TCP), report through `ready`, then serve until stopped or the connection ends.
    // Never throws.
    void run(const SshConnectOptions& options, std::promise<void>& ready,
             UniqueFd carrier) noexcept;
    void request_stop();

    // Runs `fn` on the I/O thread and returns its result (or rethrows its failure).
    // Throws BackendError when the connection has ended.
    template <class F>
    auto call(F&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto result = task->get_future();
        {
            std::lock_guard lock(m_tasks_lock);
            if (!m_accepting) throw BackendError("connection closed");
            m_tasks.emplace_back([task] { (*task)(); });
        }
        m_waker->notify();
        try {
            return result.get();
        } catch (const std::future_error&) {
            throw BackendError("connection closed");
        }
    }

    std::atomic<int> keepalive_sec{0};
    std::atomic<bool> active{false};
    std::atomic<int> keepalives_sent{0};
    std::shared_ptr<IoWaker> waker() const { return m_waker; }

    // ---- only on the I/O thread (inside call()) ----
    ssh_session session() const { return m_session.get(); }
    std::shared_ptr<SshChannel> adopt(ChannelHandle channel);
    ssh_channel handle_of(const SshChannel& facade) const;
    void add_remote_handler(int port, RemoteForwardHandler handler);
    // `release` runs when the connection ends, before its session goes, unless forgotten
    // first: whatever holds libssh objects of this session (an SFTP session) lets go of
    // them while they are still valid. Returns the id forget_releaser() takes.
    int add_releaser(std::function<void()> release);
    void forget_releaser(int id);

private:
    struct Entry {
        ChannelHandle handle;
        std::shared_ptr<SshChannel> facade;
        bool eof_sent = false;
    };

    void loop();
    void run_tasks();
    void service_channels();
    // Moves received bytes to the façade; true when the channel has ended.
    bool pump_inbound(Entry& entry);
    void send_keepalive_when_due();
    int poll_timeout_ms() const;
    bool connected() const;
    void finish(const std::string& reason);
    int on_message(ssh_message msg);
    static int message_callback(ssh_session, ssh_message msg, void* self) noexcept;
    static int wake_callback(socket_t, int, void* self) noexcept;

    WorkerThreads& m_workers;
    std::shared_ptr<IoWaker> m_waker;
    SessionHandle m_session;
    std::list<Entry> m_channels;  // a list: callbacks may add while the loop walks it
    std::map<int, RemoteForwardHandler> m_remote_handlers;
    std::map<int, std::function<void()>> m_releasers;
    int m_next_releaser = 0;
    bool m_global_keepalive = false;
    std::chrono::steady_clock::time_point m_last_keepalive;
    StopFlag m_stop;
    // The connection's socket: ours, so that a stop can cut a blocked connect short.
    std::mutex m_socket_lock;
    UniqueFd m_socket;

    std::mutex m_tasks_lock;
    std::deque<std::function<void()>> m_tasks;
    bool m_accepting = true;
};

// Session options, host-key check and authentication (the steps of connecting).
void configure_session(ssh_session session, const SshConnectOptions& options);
void verify_host_key(ssh_session session, const SshConnectOptions& options);
void authenticate(ssh_session session, const SshConnectOptions& options);

}  // namespace termiva::ssh2
