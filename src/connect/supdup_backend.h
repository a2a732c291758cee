// SUPDUP tabs: the sixbitline client behind the common backend interface.
#pragma once

#include "connect/backend.h"
#include "sixbitline/sixbitline.h"

namespace termiva {

class SupdupBackend : public Backend {
public:
    explicit SupdupBackend(SixbitlineOptions options) : m_line(std::move(options)) {}

    void connect() override {
        try {
            m_line.connect();
        } catch (const SixbitlineError& e) {
            throw BackendError(e.what());
        }
    }
    void send(std::string_view data) override { m_line.send(data); }
    std::string recv(std::size_t bufsize) override { return m_line.recv(bufsize); }
    bool is_closed() const override { return m_line.is_closed(); }
    void resize(int rows, int cols) override { m_line.resize(rows, cols); }
    void close() override { m_line.close(); }

private:
    Sixbitline m_line;
};

}  // namespace termiva
