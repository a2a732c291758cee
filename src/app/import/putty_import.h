// PuTTY import: the sessions PuTTY saved, as records the page shows for choosing, and the
// program's own sessions made from the records the user chose.
//
// Owns: the PuTTY session store it reads (the platform's for this user; tests set another).
// Called from: bridge workers (listing, importing); TermivaApp adds the made sessions to
// the session store and saves it.
// Lock: `m_lock` guards the store pointer only (a leaf); PuTTY's store is read outside it.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/putty_sessions.h"

namespace termiva {

class PuttyImport {
public:
    PuttyImport();

    void set_store(std::shared_ptr<platform::PuttySessionStore> store);

    // One record per saved session, in the store's order: "name" (unescaped) and the
    // values PuTTY keeps that an import reads, under PuTTY's names, as they are stored;
    // and what becomes of its proxy: "proxy_jump" (the jump host an SSH proxy becomes) or
    // "proxy_skipped" (the kind of a proxy that is not carried over).
    // A session that cannot be opened is left out, and so is a value that cannot be read.
    nlohmann::json read_sessions() const;

    // Percent escapes ("%20") back to bytes, read as UTF-8 (U+FFFD for what is not);
    // everything else passes through, a malformed escape included.
    static std::string unescape_name(std::string_view name);

    // The session a record becomes: a new `id`, the fields the program keeps, PuTTY's
    // values mapped onto them (an SSH session's SSH proxy as its jump host). `default_name` names a
    // record without a name.
    static nlohmann::json session_from_record(const nlohmann::json& rec,
                                              const std::string& default_name, std::string id);

    // The release number in a PuTTY source tree's version.h ("0.78"), "" when there is
    // no such file or no RELEASE definition in it.
    static std::string read_putty_version(const std::filesystem::path& putty_root);

private:
    std::shared_ptr<platform::PuttySessionStore> store() const;

    mutable std::mutex m_lock;
    std::shared_ptr<platform::PuttySessionStore> m_store;
};

}  // namespace termiva
