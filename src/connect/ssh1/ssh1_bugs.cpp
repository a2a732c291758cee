#include "connect/ssh1/ssh1_bugs.h"

namespace termiva::ssh1 {

Ssh1Quirks Ssh1Quirks::from(const std::set<std::string>& flags) {
    Ssh1Quirks quirks;
    quirks.no_ignore = flags.count("ignore1") > 0;
    quirks.plain_password = flags.count("plainpw1") > 0;
    return quirks;
}

}  // namespace termiva::ssh1
