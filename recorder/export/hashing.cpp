#include "recorder/export/hashing.h"

#include <openssl/evp.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

#include "recorder/recovery/file_io.h"

namespace recorder::exporter {
namespace {

constexpr std::size_t kHashChunkBytes = 65536;

using EvpContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

EvpContext new_sha256_context() {
  EvpContext ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  // Only an allocation failure makes these fail.
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
  return ctx;
}

std::string finish_hex(EVP_MD_CTX* ctx) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(ctx, digest.data(), &length) != 1) throw std::bad_alloc();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0F]);
  }
  return hex;
}

}  // namespace

IoResult<std::string> compute_sha256(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return file.error();
  BufferedReader reader(*file);
  auto ctx = new_sha256_context();
  std::vector<std::uint8_t> chunk(kHashChunkBytes);
  for (;;) {
    auto n = reader.read(chunk);
    if (!n) return n.error();
    if (*n == 0) break;
    EVP_DigestUpdate(ctx.get(), chunk.data(), *n);
  }
  return finish_hex(ctx.get());
}

std::string sha256_hex(std::string_view bytes) {
  auto ctx = new_sha256_context();
  EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
  return finish_hex(ctx.get());
}

std::string derive_idempotency_key(std::string_view session_id, std::string_view digest) {
  std::string text;
  text.append(session_id).append(":").append(digest).append(":upload_schema_v1");
  return sha256_hex(text);
}

}  // namespace recorder::exporter
