// Code above platform/ reaches the simulated world only through the
// platform's interfaces: no header of the simulation, no test interface.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<std::string> offendingIncludes(const fs::path& root) {
  static const std::regex include(R"re(^\s*#\s*include\s*[<"]([^">]+)[">])re");
  static const std::regex forbidden(R"re(^platform/(audio/sim/|audio/sim_testing\.h|sim/)|_testing\.h$)re");
  std::vector<std::string> found;
  if (!fs::exists(root)) return found;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto ext = entry.path().extension();
    if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp")) continue;
    std::ifstream in(entry.path());
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (std::regex_search(line, m, include) && std::regex_search(m[1].str(), forbidden)) {
        found.push_back(entry.path().string() + ": " + m[1].str());
      }
    }
  }
  return found;
}

TEST(IncludeHygiene, HelperAndRecorderUseOnlyPlatformInterfaces) {
  const fs::path source = fs::path(VR_TEST_SOURCE_DIR).parent_path();
  ASSERT_TRUE(fs::exists(source / "helper" / "routing"));
  for (const char* dir : {"helper", "recorder", "bin"}) {
    const auto bad = offendingIncludes(source / dir);
    EXPECT_TRUE(bad.empty()) << bad.front();
  }
}

}  // namespace
