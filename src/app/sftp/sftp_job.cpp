#include "app/sftp/sftp_job.h"

#include "app/sftp/server_text.h"
#include "app/sftp/sftp_copy.h"
#include "connect/ssh2/ssh_connection.h"
#include "platform/log.h"
#include "platform/utf8_path.h"
#include "transfer/failure_reasons.h"
#include "transfer/transfer_context.h"

namespace termiva {

using Json = nlohmann::json;

SftpJob::SftpJob(std::shared_ptr<SshConnection> connection, Plan plan, OnEvent on_event,
                 TransferOptions options)
    : m_connection(std::move(connection)),
      m_plan(std::move(plan)),
      m_on_event(std::move(on_event)),
      m_options(options) {}

SftpJob::~SftpJob() {
    m_link.close();
    if (!m_worker.joinable()) return;
    // The last reference may go on the job's own thread, telling its end.
    if (m_worker.get_id() == std::this_thread::get_id()) {
        m_worker.detach();
    } else {
        m_worker.join();
    }
}

void SftpJob::start() {
    if (!m_worker.joinable()) m_worker = std::thread([this] { run(); });
}

void SftpJob::cancel() {
    m_link.close();
}

void SftpJob::run() {
    xfer::TransferContext ctx(m_link, nullptr, m_on_event, m_options);
    ctx.emit({{"kind", "start"}, {"protocol", protocol()}, {"direction", direction()}});
    std::string code;
    Json values = Json::object();
    try {
        // A session of the job's own: the file panel's requests go on beside it.
        std::shared_ptr<SftpSession> sftp = m_connection->open_sftp();
        SftpCopy copy(*sftp, m_plan.encoding, ctx);
        for (const std::string& source : m_plan.sources) {
            if (m_plan.download) {
                copy.download(sftp_text::to_server(m_plan.encoding, source),
                              platform::path_from_utf8(m_plan.target));
            } else {
                copy.upload(platform::path_from_utf8(source),
                            sftp_text::to_server(m_plan.encoding, m_plan.target));
            }
        }
    } catch (const xfer::TransferCancelled&) {
        code = "cancelled";
    } catch (const xfer::TransferFailed& e) {
        code = e.code();
        values = e.values();
    } catch (const BackendError& e) {
        // SftpError too: the server refused or the connection ended.
        code = "remote_failed";
        values = {{"err", e.what()}};
    } catch (const std::exception& e) {
        log::error("sftp", e.what());
        code = "internal";
    }
    if (m_link.closed() && !code.empty()) {
        code = "cancelled";
        values = Json::object();
    }
    Json done{{"kind", "done"},
              {"ok", code.empty()},
              {"protocol", protocol()},
              {"direction", direction()},
              {"files", ctx.finished_files()}};
    if (!code.empty()) {
        done["reason"] = xfer::reason_text(code, values);
        done["reason_code"] = code;
        done["reason_values"] = values;
    }
    // Done before "done" is told: whoever hears it finds the slot's job ended.
    m_done = true;
    ctx.emit(done);
}

}  // namespace termiva
