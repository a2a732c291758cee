// The public handle of a job and its worker thread.
#include <pthread.h>

#include <future>
#include <thread>

#include "diagnostics.h"
#include "flasher_job.h"
#include "flashwright/flasher.h"
#include "module_dir.h"

namespace flashwright {
EspFlasher::EspFlasher(Mode mode, std::vector<FlashFile> files, FlasherOptions options,
                       SendBytes send_bytes, ResetFuncs reset_funcs, EventSink on_event,
                       std::optional<std::filesystem::path> stub_dir, FlasherTiming timing,
                       SetBaud set_baud) {
    // Construction only stores values; an allocation failure here is the one error that
    // would leave the caller without an object, so it is allowed to propagate.
    m_job = std::make_shared<detail::FlasherJob>(
        mode, std::move(files), std::move(options), std::move(send_bytes), std::move(reset_funcs),
        std::move(on_event), stub_dir ? std::move(*stub_dir) : detail::default_stub_dir(), timing,
        std::move(set_baud));
}

EspFlasher::~EspFlasher() {
    if (!m_job) return;
    auto& worker = m_job->_worker;
    if (!worker.joinable()) return;
    m_job->abandon();
    try {
        if (worker.get_id() == std::this_thread::get_id()) {
            // Dropped from inside a callback: the worker holds its own reference to the job
            // and finishes by itself.
            worker.detach();
        } else {
            worker.join();
        }
    } catch (...) {
        detail::diag("[esp][run] could not wait for the worker thread");
    }
}

void EspFlasher::start() noexcept {
    auto& worker = m_job->_worker;
    if (worker.joinable() || m_job->is_done()) return;
    try {
        std::shared_ptr<detail::FlasherJob> job = m_job;
        // The worker may reach a callback that drops this handle before the thread object
        // below is stored; it waits until the store is done so the handle's destructor always
        // sees the real worker.
        std::promise<void> stored;
        std::shared_future<void> gate = stored.get_future().share();
        worker = std::thread([job, gate] {
            gate.wait();
            const char* name = job->mode == Mode::Flash ? "esp-esp-flash" : "esp-esp-erase-f";
            pthread_setname_np(pthread_self(), name);
            job->_run();
        });
        stored.set_value();
    } catch (const std::exception& e) {
        m_job->_finish(false, {"internal", {{"error", e.what()}}});
    }
}

void EspFlasher::feed(std::string_view data) noexcept {
    try {
        m_job->feed(data);
    } catch (...) {
        detail::diag("[esp][feed] dropped a chunk (out of memory)");
    }
}

void EspFlasher::cancel() noexcept {
    try {
        m_job->cancel();
    } catch (...) {
        detail::diag("[esp][cancel] failed");
    }
}

bool EspFlasher::is_done() const noexcept {
    return m_job->is_done();
}

}  // namespace flashwright
