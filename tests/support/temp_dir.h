#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace testsupport {

// A fresh directory under the system's temporary directory, removed with
// its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Death tests in the "threadsafe" style run the test again in a child process
// that ends without running destructors, so a TempDir made there would stay
// behind. Held by such a fixture, this points the temporary directory
// (TMPDIR) into a directory of the parent's, which the parent removes with
// whatever its children left in it.
class ChildTempRoot {
 public:
  ChildTempRoot();
  ~ChildTempRoot();
  ChildTempRoot(const ChildTempRoot&) = delete;
  ChildTempRoot& operator=(const ChildTempRoot&) = delete;

 private:
  TempDir root_;
  std::optional<std::string> savedTmpDir_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);

}  // namespace testsupport
