#include "recorder/export/hashing.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace recorder::exporter {
namespace {

namespace fs = std::filesystem;

using testsupport::TempDir;
using testsupport::writeFile;

TEST(Sha256, FileDigestIsLowerCaseHex) {
  TempDir tmp;
  writeFile(tmp / "abc", "abc");
  EXPECT_EQ(*compute_sha256(tmp / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  writeFile(tmp / "empty", "");
  EXPECT_EQ(*compute_sha256(tmp / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Larger than one read chunk.
  writeFile(tmp / "big", std::string(200000, 'a'));
  EXPECT_EQ(*compute_sha256(tmp / "big"), sha256_hex(std::string(200000, 'a')));
  EXPECT_FALSE(compute_sha256(tmp / "missing").ok());
}

TEST(IdempotencyKey, DigestOfSessionDigestAndSchema) {
  const std::string digest(64, '0');
  EXPECT_EQ(derive_idempotency_key("s1", digest), "3c257bae76a7a21f13c010908b543c5d62a8cba24d95a23f09c50323a849813c");
  EXPECT_EQ(derive_idempotency_key("s1", digest), sha256_hex("s1:" + digest + ":upload_schema_v1"));
  EXPECT_NE(derive_idempotency_key("s2", digest), derive_idempotency_key("s1", digest));
}

}  // namespace
}  // namespace recorder::exporter
