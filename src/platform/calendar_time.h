// Calendar time from a clock reading, safe from any thread: std::gmtime and std::localtime
// share one static result between all threads.
#pragma once

#include <ctime>

namespace termiva::platform {

// `t` in UTC; all fields zero when the system cannot convert it.
std::tm utc_time(std::time_t t);
// `t` in the user's time zone; all fields zero when the system cannot convert it.
std::tm local_time(std::time_t t);

}  // namespace termiva::platform
