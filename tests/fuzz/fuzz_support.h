#pragma once
// What the harnesses share: the input as text, and a scratch directory of
// the process's own for the readers that take paths.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fuzzsupport {

inline std::string_view text(const uint8_t* data, size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// Created on first use, removed when the fuzzer exits.
inline const std::filesystem::path& scratchDir() {
  static const struct Dir {
    std::filesystem::path path;
    Dir() {
      std::string pattern = (std::filesystem::temp_directory_path() / "vr-fuzz-XXXXXX").string();
      if (::mkdtemp(pattern.data()) == nullptr) std::abort();
      path = pattern;
    }
    ~Dir() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } dir;
  return dir.path;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) std::abort();
}

}  // namespace fuzzsupport
