// One HTTP(S) GET through WinHTTP, the system's own client: TLS with the system's
// certificates and proxy settings, nothing to ship. The assistant's model list uses it on
// Windows in place of libcurl.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace termiva::platform::windows {

struct WinHttpAnswer {
    long status = 0;
    std::string body;
};

// `headers` as "Name: value". Redirects are not followed (a bearer key goes to the host it
// was meant for only); the body is limited to 8 MiB. Throws std::runtime_error when no
// answer came (bad address, refused, time-out, body too large), naming the reason.
WinHttpAnswer winhttp_get(const std::string& url, const std::vector<std::string>& headers,
                          std::chrono::milliseconds timeout);

}  // namespace termiva::platform::windows
