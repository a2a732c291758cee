#include "platform/calendar_time.h"

namespace termiva::platform {

std::tm utc_time(std::time_t t) {
    std::tm out{};
    if (!::gmtime_r(&t, &out)) out = std::tm{};
    return out;
}

std::tm local_time(std::time_t t) {
    std::tm out{};
    if (!::localtime_r(&t, &out)) out = std::tm{};
    return out;
}

}  // namespace termiva::platform
