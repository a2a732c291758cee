// One HTTP(S) GET with a time limit (libcurl; WinHTTP on Windows). The status and body
// come back whatever the status; only a failure to get an answer at all throws.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace termiva::assistant {

struct HttpAnswer {
    long status = 0;
    std::string body;
};

struct HttpError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// `headers` as "Name: value". Throws HttpError (time-out, refused, bad address ...).
HttpAnswer http_get(const std::string& url, const std::vector<std::string>& headers,
                    std::chrono::milliseconds timeout);

}  // namespace termiva::assistant
