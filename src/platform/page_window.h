// The window that shows the page, as the application sees it.
#pragma once

#include <string>

namespace termiva::platform {

class PageWindow {
public:
    virtual ~PageWindow() = default;
    // Runs a script in the page; callable from any thread; failures are swallowed.
    virtual void evaluate_script(const std::string& script) = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void destroy() = 0;
};

}  // namespace termiva::platform
