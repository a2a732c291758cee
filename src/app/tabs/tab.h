// One open terminal. Records are shared (std::shared_ptr) between the tab registry and the
// threads that serve the tab, so a reader keeps its record after the tab is closed.
//
// What other services keep for a tab lives in them, keyed by the tab's id: its pending
// output in `TerminalOutput`, its job slot, ZMODEM detector and abort echo in
// `TransferCoordinator`, its log in `TabLogs`.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "app/store/session.h"
#include "app/tabs/tab_state.h"
#include "connect/backend.h"
#include "text/codec.h"

namespace termiva {

class LoginPrompt;

class Tab {
public:
    // Told once after each move of the tab's state, with no lock of the tab held.
    using Listener = std::function<void(const Tab& tab, TabState from, TabState to)>;

    explicit Tab(std::string tab_id) : id(std::move(tab_id)) {}

    const std::string id;

    // Everything below `lock` is guarded by it; readers copy what they need and let go.
    mutable std::mutex lock;
    SessionPtr session;
    std::string display;
    std::string protocol;
    std::string encoding;
    // The tab's one connection, whatever its protocol; null until its starter succeeds.
    std::shared_ptr<Backend> backend;
    // The protocol's name for it ("channel" for SSH-2's shell, "raw", "telnet", "serial" …).
    std::string backend_kind;
    // SSH-2 only: the connection the shell channel belongs to (keep-alive, port forwards).
    std::shared_ptr<SshClient> client;
    // A backend still inside connect(): closing the tab must reach it too.
    std::shared_ptr<Backend> connecting;
    // A login asking its questions in the terminal: what is typed goes there meanwhile.
    std::shared_ptr<LoginPrompt> login_prompt;
    std::optional<std::filesystem::path> tmp_keyfile;
    std::shared_ptr<text::Decoder> decoder;

    // Whether received output reaches the terminal (the page's pause).
    std::atomic<bool> reading{true};

    // Held while received bytes go through the transfer filter and the decoder into the
    // output: by the reader for each chunk, and by a finished transfer handing back what
    // it did not use, so those bytes keep their place before later ones.
    std::mutex received_order;
    // Written under `received_order`: the last chunk ended in CR (line-end translation).
    bool eol_prev_cr = false;

    TabState state() const {
        std::lock_guard held(lock);
        return m_state;
    }
    // The same, for a caller that holds `lock`.
    TabState state_held() const { return m_state; }
    bool alive() const { return is_alive(state()); }
    bool closed() const { return state() == TabState::closed; }

    // Moves the tab to `next` if it may go there from where it is (tab_state.h); false,
    // with nothing changed, otherwise. `with_move` runs under `lock` as part of the move
    // (a starter storing the connection it made), so nobody sees one without the other.
    // The listener hears of every move once.
    bool move_to(TabState next, const std::function<void(Tab&)>& with_move = {}) {
        Listener told;
        TabState from;
        {
            std::lock_guard held(lock);
            if (!may_become(m_state, next)) return false;
            from = std::exchange(m_state, next);
            if (with_move) with_move(*this);
            told = m_listener;
        }
        m_moved.notify_all();
        if (told) told(*this, from, next);
        return true;
    }

    // Waits up to `limit` for the tab to close; true once it is closed.
    bool wait_closed(std::chrono::milliseconds limit) const {
        std::unique_lock held(lock);
        return m_moved.wait_for(held, limit, [&] { return m_state == TabState::closed; });
    }

    // Whom the tab tells of its moves (the registry sets it when the tab is added).
    void listen(Listener listener) {
        std::lock_guard held(lock);
        m_listener = std::move(listener);
    }

private:
    TabState m_state = TabState::connecting;
    Listener m_listener;
    mutable std::condition_variable m_moved;
};

using TabPtr = std::shared_ptr<Tab>;

}  // namespace termiva
