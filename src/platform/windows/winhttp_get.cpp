#include "platform/windows/winhttp_get.h"

#include <windows.h>

#include <winhttp.h>

#include <climits>

#include "platform/windows/wide_text.h"
#include "platform/windows/win_error.h"

namespace termiva::platform::windows {

namespace {

constexpr std::size_t MAX_BODY = 8 * 1024 * 1024;  // a model list is a few kilobytes

struct Internet {
    HINTERNET h = nullptr;
    ~Internet() {
        if (h) ::WinHttpCloseHandle(h);
    }
};

[[noreturn]] void fail(const std::string& step) {
    const DWORD err = ::GetLastError();
    std::string reason;
    switch (err) {
        case ERROR_WINHTTP_TIMEOUT:
            reason = "timed out";
            break;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            reason = "cannot connect";
            break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            reason = "host name not found";
            break;
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        case ERROR_WINHTTP_INVALID_URL:
            reason = "not an http or https address";
            break;
        default:
            reason = message_of(err);
    }
    throw std::runtime_error(step + ": " + reason);
}

}  // namespace

WinHttpAnswer winhttp_get(const std::string& url, const std::vector<std::string>& headers,
                          std::chrono::milliseconds timeout) {
    const std::wstring wide_url = to_utf16(url);
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = DWORD(-1);
    parts.dwSchemeLength = DWORD(-1);
    if (!::WinHttpCrackUrl(wide_url.c_str(), static_cast<DWORD>(wide_url.size()), 0, &parts))
        fail("bad address");
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        throw std::runtime_error("bad address: not an http or https address");
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    Internet session{::WinHttpOpen(L"Termiva", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                   WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0)};
    if (!session.h) {
        // Before Windows 8.1 there is no automatic proxy type; the default one still works.
        session.h = ::WinHttpOpen(L"Termiva", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (!session.h) fail("cannot start an HTTP request");
    }
    const int ms = static_cast<int>(std::min<long long>(timeout.count(), INT_MAX));
    // Resolve, connect, send and each receive get the whole limit; the overall deadline is
    // checked between reads below.
    ::WinHttpSetTimeouts(session.h, ms, ms, ms, ms);
    Internet connection{::WinHttpConnect(session.h, host.c_str(), parts.nPort, 0)};
    if (!connection.h) fail("cannot connect");
    Internet request{
        ::WinHttpOpenRequest(connection.h, L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                             WINHTTP_DEFAULT_ACCEPT_TYPES,
                             parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)};
    if (!request.h) fail("cannot start an HTTP request");
    ::WinHttpSetTimeouts(request.h, ms, ms, ms, ms);
    DWORD no_redirects = WINHTTP_DISABLE_REDIRECTS;
    ::WinHttpSetOption(request.h, WINHTTP_OPTION_DISABLE_FEATURE, &no_redirects,
                       sizeof no_redirects);
    std::wstring header_text;
    for (const auto& h : headers) {
        // A line break would start a header of the caller's text's choosing.
        if (h.find_first_of("\r\n") != std::string::npos)
            throw std::runtime_error("bad request header");
        header_text += to_utf16(h) + L"\r\n";
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!::WinHttpSendRequest(
            request.h, header_text.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : header_text.c_str(),
            header_text.empty() ? 0 : DWORD(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
        fail("request failed");
    if (!::WinHttpReceiveResponse(request.h, nullptr)) fail("no answer");
    WinHttpAnswer answer;
    DWORD status = 0, size = sizeof status;
    if (!::WinHttpQueryHeaders(request.h, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                               WINHTTP_NO_HEADER_INDEX))
        fail("no status in the answer");
    answer.status = static_cast<long>(status);
    char buf[16384];
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("answer: timed out");
        DWORD got = 0;
        if (!::WinHttpReadData(request.h, buf, sizeof buf, &got)) fail("answer cut short");
        if (got == 0) break;
        if (answer.body.size() + got > MAX_BODY) throw std::runtime_error("answer too large");
        answer.body.append(buf, got);
    }
    return answer;
}

}  // namespace termiva::platform::windows
