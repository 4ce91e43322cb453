#pragma once
// Scratch directories of the test modes. Each mode's live in one parent made
// with mkdtemp under the user's temporary directory, so nobody else can
// have put a directory, file or link at any of their names beforehand, and
// one removal takes everything the mode wrote.
#include <optional>
#include <string>

namespace helper {

// Makes `path` a fresh, empty directory of mode 0700 owned by us. Something
// already there is taken only when it is a directory (not a link) of ours
// with mode 0700, and then emptied; anything else is refused and left as
// it is.
bool makePrivateDirectory(const std::string& path);

// The user's temporary directory (TMPDIR when set), absolute; nothing when
// it cannot be found.
std::optional<std::string> userTemporaryDirectory();

class PrivateScratchRoot {
 public:
  // A new private directory under `tempDir`, named `prefix` and six random
  // characters; `ok()` says whether it exists.
  explicit PrivateScratchRoot(const std::optional<std::string>& tempDir,
                              const std::string& prefix = "tasmerig-self-test-");
  // Removes the directory with everything in it.
  ~PrivateScratchRoot();
  PrivateScratchRoot(const PrivateScratchRoot&) = delete;
  PrivateScratchRoot& operator=(const PrivateScratchRoot&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  // The root's `name` as a fresh private directory (makePrivateDirectory);
  // nothing without a root or when it cannot be made.
  std::optional<std::string> makeDirectory(const std::string& name) const;
  // Removes the root's `name` with its contents; errors are ignored.
  void remove(const std::string& name) const;

 private:
  std::string path_;
};

}  // namespace helper
