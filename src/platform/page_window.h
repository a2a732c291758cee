// The window that shows the page, as the application sees it.
#pragma once

#include <chrono>
#include <string>

namespace termiva::platform {

class PageWindow {
public:
    virtual ~PageWindow() = default;
    // Runs a script in the page; callable from any thread; failures are swallowed.
    virtual void evaluate_script(const std::string& script) = 0;
    // Calls the page's `function` (a plain name), when the page defines it, and waits up
    // to `limit` for the promise it returns, while the page's own calls to the program are
    // served: what the program does just before it quits. A window that cannot wait only
    // makes the call.
    virtual void call_and_wait(const std::string& function, std::chrono::milliseconds limit) {
        static_cast<void>(limit);
        evaluate_script("if(window." + function + ") " + function + "()");
    }
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void destroy() = 0;
};

}  // namespace termiva::platform
