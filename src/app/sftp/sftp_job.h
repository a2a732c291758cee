// A download or upload over SFTP in a tab's job slot. Its bytes travel on an SFTP channel
// of their own beside the terminal's, so the tab's output goes on being shown while it
// runs (the job is not in band), and it is cancelled like any transfer (xfer_cancel).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/transfer/job.h"
#include "transfer/byte_link.h"
#include "transfer/transfer_options.h"

namespace termiva {

class SshConnection;

class SftpJob : public Job {
public:
    struct Plan {
        bool download = true;
        // Remote paths to download, or local paths to upload (UTF-8 text, as the page
        // names them).
        std::vector<std::string> sources;
        // The local folder received into, or the remote folder sent into.
        std::string target;
        // The session's encoding, in which the server's paths are written.
        std::string encoding;
    };
    using OnEvent = std::function<void(const nlohmann::json&)>;

    SftpJob(std::shared_ptr<SshConnection> connection, Plan plan, OnEvent on_event,
            TransferOptions options = {});
    // Cancels a job still running and waits for its thread.
    ~SftpJob() override;

    void start() override;
    void feed(std::string_view) override {}
    bool in_band() const override { return false; }
    bool is_done() const override { return m_done.load(); }
    void cancel() override;
    std::string protocol() const override { return "sftp"; }
    std::string direction() const override { return m_plan.download ? "recv" : "send"; }

private:
    void run();

    std::shared_ptr<SshConnection> m_connection;
    Plan m_plan;
    OnEvent m_on_event;
    TransferOptions m_options;
    // Closed to cancel: every step of the copy looks at it.
    xfer::ByteLink m_link;
    std::atomic<bool> m_done{false};
    std::thread m_worker;
};

}  // namespace termiva
