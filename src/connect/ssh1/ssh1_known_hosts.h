// SSH-1 host keys in the known-hosts file, as OpenSSH wrote them: one line per host,
// "name bits exponent modulus" in decimal, the name "[host]:port" off port 22.
#pragma once

#include <filesystem>
#include <string>

#include "connect/ssh1/ssh1_crypto.h"

namespace termiva::ssh1 {

enum class HostKeyResult { known, recorded, not_recorded };

// Accepts a host seen for the first time (and records its key), accepts a known key,
// throws Ssh1Error naming the file when the recorded key differs.
HostKeyResult check_host_key(const std::filesystem::path& file, const std::string& host, int port,
                             const RsaPublicKey& key);

// "MD5:xx:xx:..." of the modulus and exponent.
std::string fingerprint(const RsaPublicKey& key);

}  // namespace termiva::ssh1
