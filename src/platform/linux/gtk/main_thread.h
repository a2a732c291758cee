// GTK may only be touched on the thread that initialised it. These helpers move work
// there from any thread: posted (fire and forget) or posted and awaited with a limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace termiva::platform::gtk {

// Marks the calling thread as the GTK main thread (once, when GTK is initialised).
void mark_main_thread();
bool on_main_thread();

// Queues `task` on the GTK main loop, in posting order. Exceptions are caught and logged.
void post_to_main(std::function<void()> task);

// A value that another thread (usually the main loop) delivers later.
template <class T>
class Completion {
public:
    void set(T value) {
        {
            std::lock_guard lock(m_lock);
            if (m_value) return;  // the first answer wins
            m_value.emplace(std::move(value));
        }
        m_ready.notify_all();
    }
    // The value, or nothing when it did not arrive within `limit`.
    std::optional<T> wait(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_lock);
        m_ready.wait_for(lock, limit, [&] { return m_value.has_value(); });
        return m_value;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::optional<T> m_value;
};

// Runs `task` on the main thread and waits up to `limit` for its result. On the main
// thread itself it runs at once (waiting there would deadlock the loop).
template <class T>
std::optional<T> call_on_main(std::function<T()> task, std::chrono::milliseconds limit) {
    if (on_main_thread()) return task();
    using Outcome = std::pair<std::optional<T>, std::exception_ptr>;
    auto done = std::make_shared<Completion<Outcome>>();
    post_to_main([done, task = std::move(task)] {
        try {
            done->set(Outcome{task(), nullptr});
        } catch (...) {
            done->set(Outcome{std::nullopt, std::current_exception()});
        }
    });
    auto outcome = done->wait(limit);
    if (!outcome) return std::nullopt;
    if (outcome->second) std::rethrow_exception(outcome->second);
    return std::move(outcome->first);
}

}  // namespace termiva::platform::gtk
