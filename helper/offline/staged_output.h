#pragma once
// An offline mode's output, written under a temporary name in the
// directory of `--out` and renamed over it only once the writer has
// finished, so runs on one path each leave a whole file or fail. Until
// then the temporary file is removed by whatever ends the run: the
// destructor, or exitWithError through the fatal-exit cleanup.
#include <optional>
#include <string>

namespace helper {

class StagedOutput {
 public:
  // Creates the temporary file, new and empty; throws std::system_error
  // when it cannot.
  explicit StagedOutput(std::string outPath);
  ~StagedOutput();
  StagedOutput(const StagedOutput&) = delete;
  StagedOutput& operator=(const StagedOutput&) = delete;

  // Where the writer writes.
  const std::string& writePath() const { return tempPath_; }
  // Renames the finished file over the output path; the reason when it
  // could not (the temporary file is then still there to be removed).
  std::optional<std::string> commit();

 private:
  std::string outPath_;
  std::string tempPath_;
  bool committed_ = false;
};

}  // namespace helper
