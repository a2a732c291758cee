#include "platform/linux/child_end.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace termiva::platform::linux_process {

void wait_for_end(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    const auto left = [&] {
        return duration_cast<milliseconds>(deadline - steady_clock::now()).count();
    };
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        // Gone already (reaped by someone), or a kernel older than 5.3 without pidfds:
        // there the caller looks again after a short pause.
        if (errno == ESRCH) return;
        std::this_thread::sleep_for(milliseconds(std::clamp<long long>(left(), 0, 10)));
        return;
    }
    for (;;) {
        const long long ms = left();
        if (ms <= 0) break;
        pollfd ended{pidfd, POLLIN, 0};
        const int rc = ::poll(&ended, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (rc != 0 && !(rc < 0 && errno == EINTR)) break;
    }
    ::close(pidfd);
}

}  // namespace termiva::platform::linux_process
