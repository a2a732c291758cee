// A page window that records every script the application runs in the page.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/page_window.h"

namespace termiva::testing {

class RecordingWindow : public platform::PageWindow {
public:
    void evaluate_script(const std::string& script) override {
        std::lock_guard lock(m_lock);
        m_scripts.push_back(script);
    }
    void show() override {}
    void hide() override {}
    void destroy() override {}
    std::vector<std::string> scripts() {
        std::lock_guard lock(m_lock);
        return m_scripts;
    }
    void clear() {
        std::lock_guard lock(m_lock);
        m_scripts.clear();
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_scripts;
};

}  // namespace termiva::testing
