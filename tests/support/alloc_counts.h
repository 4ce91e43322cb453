#pragma once
// Heap allocations per thread name, as the preload library
// alloc_counter_preload.cpp counts them in a program it is loaded into
// (LD_PRELOAD, with kAllocCountFileEnvVar naming a file that does not exist
// yet). The counts live in that file, mapped shared, so they survive any
// way the program ends, including _Exit.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

inline constexpr const char* kAllocCountFileEnvVar = "VR_ALLOC_COUNT_FILE";

// The file: kAllocCountSlots slots, each a thread name and its count. A
// slot is claimed (state 0 -> 1) by the first thread of its name, then
// published (state 2) once the name is in place.
inline constexpr std::size_t kAllocCountSlots = 256;
inline constexpr std::size_t kThreadNameBytes = 16;  // what the kernel keeps, with the NUL

struct AllocCountSlot {
  std::uint32_t state;
  char name[kThreadNameBytes];
  std::uint32_t pad;
  std::uint64_t allocations;
};
static_assert(sizeof(AllocCountSlot) == 32);

inline constexpr std::size_t kAllocCountFileBytes = kAllocCountSlots * sizeof(AllocCountSlot);

// Thread name -> allocations made by threads of that name. A name appears
// once a thread took it (pthread_setname_np) or allocated under it, so a
// real-time thread that ran without allocating is there with 0. Nothing
// when the file is missing or not the library's.
inline std::optional<std::map<std::string, std::uint64_t>> readAllocCounts(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() != kAllocCountFileBytes) return std::nullopt;
  std::map<std::string, std::uint64_t> counts;
  for (std::size_t i = 0; i < kAllocCountSlots; ++i) {
    AllocCountSlot slot;
    std::memcpy(&slot, bytes.data() + i * sizeof(AllocCountSlot), sizeof slot);
    if (slot.state != 2) continue;
    counts[std::string(slot.name, strnlen(slot.name, kThreadNameBytes))] += slot.allocations;
  }
  return counts;
}

}  // namespace testsupport
