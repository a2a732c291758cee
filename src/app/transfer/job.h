// What a tab's job slot holds (kept by the transfer coordinator): one running file transfer or
// flashing job. While it runs, every received byte goes to feed(); a job that knows where its
// protocol ended hands the rest back through take_unused().
#pragma once

#include <string>
#include <string_view>

namespace termiva {

class Job {
public:
    virtual ~Job() = default;
    virtual void start() = 0;
    virtual void feed(std::string_view data) = 0;
    virtual bool is_done() const = 0;
    // Received bytes the job did not use, once it has ended (what came behind its last
    // protocol byte, and whatever was fed since), each handed out once.
    virtual std::string take_unused() { return {}; }
    virtual void cancel() = 0;
    // False for a job whose bytes do not travel in the terminal's stream (SFTP on a
    // channel of its own): the tab's output is shown as usual while it runs, nothing is
    // fed to it, and its end is told in the transfer panel only.
    virtual bool in_band() const { return true; }
    // What the page's status query reports; empty for jobs that are not file transfers.
    virtual std::string protocol() const { return {}; }
    virtual std::string direction() const { return {}; }
};

}  // namespace termiva
