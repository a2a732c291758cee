#include "assistant/http_get.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace termiva::assistant {

namespace {

constexpr std::size_t MAX_BODY = 8 * 1024 * 1024;  // a model list is a few kilobytes

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const std::size_t n = size * count;
    if (body->size() + n > MAX_BODY) return 0;  // aborts the transfer
    body->append(data, n);
    return n;
}

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

HttpAnswer http_get(const std::string& url, const std::vector<std::string>& headers,
                    std::chrono::milliseconds timeout) {
    global_init();
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) throw HttpError("cannot start an HTTP request");
    curl_slist* list = nullptr;
    for (const auto& h : headers)
        list = curl_slist_append(list, h.c_str());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> header_list(list,
                                                                            curl_slist_free_all);
    HttpAnswer answer;
    char error[CURL_ERROR_SIZE] = {0};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, header_list.get());
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);  // bridge threads: no SIGALRM for DNS
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);  // the bearer key goes to this host only
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) throw HttpError(error[0] ? error : curl_easy_strerror(rc));
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &answer.status);
    return answer;
}

}  // namespace termiva::assistant
