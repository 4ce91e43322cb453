#pragma once
// The final file's SHA-256 digest and the upload's idempotency key, both as
// 64 lower-case hexadecimal characters.
#include <filesystem>
#include <string>
#include <string_view>

#include "recorder/recovery/io_error.h"

namespace recorder::exporter {

// The digest of a file's bytes.
IoResult<std::string> compute_sha256(const std::filesystem::path& path);

// The digest of some bytes.
std::string sha256_hex(std::string_view bytes);

// SHA-256 of "<session id>:<digest>:upload_schema_v1": it changes exactly
// when the session or the final file's content changes.
std::string derive_idempotency_key(std::string_view session_id, std::string_view digest);

}  // namespace recorder::exporter
