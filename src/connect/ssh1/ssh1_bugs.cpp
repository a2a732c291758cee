#include "connect/ssh1/ssh1_bugs.h"

#include <algorithm>

namespace termiva::ssh1 {

std::set<std::string> forced_on(const std::map<std::string, std::string>& modes) {
    std::set<std::string> out;
    for (std::string_view name : SSH1_BUGS) {
        auto it = modes.find(std::string(name));
        if (it != modes.end() && it->second == FORCE_ON) out.emplace(name);
    }
    return out;
}

Ssh1Quirks Ssh1Quirks::from(const std::set<std::string>& flags) {
    Ssh1Quirks quirks;
    quirks.no_ignore = flags.count("ignore1") > 0;
    quirks.plain_password = flags.count("plainpw1") > 0;
    return quirks;
}

}  // namespace termiva::ssh1
