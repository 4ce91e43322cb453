#include "recorder/recovery/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/temp_dir.h"

namespace recorder {
namespace {

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(IoError, DisplayTexts) {
  EXPECT_EQ(IoError::os(ENOENT).to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::os(ENOENT).os_code(), ENOENT);
  EXPECT_EQ(IoError::invalid_data("not a CAF file").to_string(), "not a CAF file");
  EXPECT_EQ(IoError::unexpected_eof().to_string(), "failed to fill whole buffer");
  EXPECT_EQ(IoError::write_zero().to_string(), "failed to write whole buffer");
  EXPECT_EQ(IoError::other("afconvert failed: x").kind(), IoError::Kind::Other);
  EXPECT_EQ(IoError::invalid_data("x").os_code(), 0);
}

// Takes at most 3 bytes per call until its budget is spent, then nothing.
class StingyWriter : public Writer {
 public:
  explicit StingyWriter(std::size_t budget) : budget_(budget) {}
  IoResult<std::size_t> write(std::span<const std::uint8_t> bytes) override {
    const std::size_t n = std::min({bytes.size(), budget_, std::size_t{3}});
    got.append(reinterpret_cast<const char*>(bytes.data()), n);
    budget_ -= n;
    return n;
  }
  std::string got;

 private:
  std::size_t budget_;
};

TEST(FileIo, WholeBufferLoops) {
  StingyWriter ok(100);
  ASSERT_TRUE(write_all(ok, bytes_of("hello world")).ok());
  EXPECT_EQ(ok.got, "hello world");
  StingyWriter full(4);
  const auto r = write_all(full, bytes_of("hello"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), IoError::Kind::WriteZero);

  TempDir tmp;
  writeFile(tmp / "f", "abc");
  auto file = File::open_read(tmp / "f");
  ASSERT_TRUE(file.ok());
  std::uint8_t buf[4];
  EXPECT_EQ(read_exact(*file, buf).error().to_string(), "failed to fill whole buffer");
}

TEST(FileIo, BufferedWriterFlushesInOrder) {
  StingyWriter sink(1 << 20);
  BufferedWriter writer(sink);
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string chunk = std::to_string(i) + ",";
    expected += chunk;
    ASSERT_TRUE(write_all(writer, bytes_of(chunk)).ok());
  }
  const std::string big(20000, 'z');  // larger than the buffer
  expected += big;
  ASSERT_TRUE(write_all(writer, bytes_of(big)).ok());
  EXPECT_LT(sink.got.size(), expected.size());
  ASSERT_TRUE(writer.flush().ok());
  EXPECT_EQ(sink.got, expected);

  StingyWriter tiny(5);
  BufferedWriter failing(tiny);
  ASSERT_TRUE(write_all(failing, bytes_of("0123456789")).ok());  // still buffered
  EXPECT_EQ(failing.flush().error().kind(), IoError::Kind::WriteZero);
  EXPECT_EQ(tiny.got, "01234");
}

TEST(FileIo, BufferedReaderReadsEverythingOnce) {
  TempDir tmp;
  std::string content;
  for (int i = 0; i < 5000; ++i) content += std::to_string(i) + ";";
  writeFile(tmp / "f", content);
  auto file = File::open_read(tmp / "f");
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE(file->seek(10).ok());
  BufferedReader reader(*file);
  std::string got;
  std::vector<std::uint8_t> buf(333);
  for (;;) {
    auto n = reader.read(buf);
    ASSERT_TRUE(n.ok());
    if (*n == 0) break;
    got.append(reinterpret_cast<const char*>(buf.data()), *n);
  }
  EXPECT_EQ(got, content.substr(10));
}

TEST(FileIo, OpeningModes) {
  TempDir tmp;
  EXPECT_EQ(File::open_write(tmp / "absent").error().to_string(), "No such file or directory (os error 2)");
  EXPECT_FALSE(std::filesystem::exists(tmp / "absent"));
  writeFile(tmp / "f", "0123456789");
  {
    auto f = File::open_write(tmp / "f");
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->set_len(4).ok());
    EXPECT_EQ(f->status()->size, 4U);
  }
  EXPECT_EQ(readFile(tmp / "f"), "0123");
  {
    auto f = File::open_append(tmp / "f");
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->seek(0).ok());
    ASSERT_TRUE(write_all(*f, bytes_of("xy")).ok());  // lands at the end regardless
    ASSERT_TRUE(f->sync_all().ok());
  }
  EXPECT_EQ(readFile(tmp / "f"), "0123xy");
  ASSERT_TRUE(File::create(tmp / "f").ok());
  EXPECT_EQ(readFile(tmp / "f"), "");
  EXPECT_EQ(File::open_read(tmp.path()).error().kind(), IoError::Kind::NotRegular);
  EXPECT_EQ(File::open_read(std::string("a\0b", 3)).error().to_string(), "file name contained an unexpected NUL byte");
}

TEST(FileIo, DirectoriesAndStatus) {
  TempDir tmp;
  ASSERT_TRUE(create_dir_all(tmp / "a" / "b" / "c").ok());
  ASSERT_TRUE(create_dir_all(tmp / "a" / "b").ok());
  EXPECT_TRUE(file_status(tmp / "a" / "b" / "c")->directory);
  writeFile(tmp / "a" / "f", "12345");
  const auto st = file_status(tmp / "a" / "f");
  ASSERT_TRUE(st.ok());
  EXPECT_TRUE(st->regular);
  EXPECT_EQ(st->size, 5U);
  auto names = list_directory(tmp / "a");
  ASSERT_TRUE(names.ok());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"b", "f"}));
  EXPECT_EQ(list_directory(tmp / "none").error().os_code(), ENOENT);

  const auto capped = read_file_capped(tmp / "a" / "f", 3);
  ASSERT_TRUE(capped.ok());
  EXPECT_EQ(capped->bytes, "123");
  EXPECT_TRUE(capped->truncated);
  EXPECT_FALSE(read_file_capped(tmp / "a" / "f", 5)->truncated);
}

}  // namespace
}  // namespace recorder
