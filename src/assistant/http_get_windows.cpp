// The model list's GET on Windows: WinHTTP, the system's own client (no libcurl to ship).
#include "assistant/http_get.h"
#include "platform/windows/winhttp_get.h"

namespace termiva::assistant {

HttpAnswer http_get(const std::string& url, const std::vector<std::string>& headers,
                    std::chrono::milliseconds timeout) {
    try {
        auto answer = platform::windows::winhttp_get(url, headers, timeout);
        return HttpAnswer{answer.status, std::move(answer.body)};
    } catch (const std::runtime_error& e) {
        throw HttpError(e.what());
    }
}

}  // namespace termiva::assistant
