// Running a helper program (the key converter) with captured output and a time limit.
#include <stdexcept>

#include "app/starters/ssh_support.h"
#include "platform/child_process.h"

namespace termiva {

ProcessResult run_with_time_limit(const std::vector<std::string>& argv,
                                  std::chrono::milliseconds limit) {
    if (argv.empty()) throw std::runtime_error("no program given");
    // In a group of its own and with no terminal to ask a passphrase on, so it cannot hang
    // there; its input is closed at once.
    platform::ChildProcess child(argv);
    platform::ChildProcess::Outcome outcome = child.communicate({}, limit);
    if (!outcome.finished) {
        // Its whole group: helpers it started go too.
        child.kill_group();
        child.wait_for_exit(std::chrono::seconds(5));
        throw std::runtime_error("timed out after " + std::to_string(limit.count() / 1000) +
                                 " seconds");
    }
    return ProcessResult{outcome.exit_code, std::move(outcome.out), std::move(outcome.err)};
}

}  // namespace termiva
