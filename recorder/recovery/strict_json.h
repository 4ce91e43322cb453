#pragma once
// A JSON reader for the formats that must be read strictly (journal lines,
// checkpoint sidecars), over nlohmann's SAX parser: exactly one value with
// only blanks around it, no byte-order mark, nesting limited to 127 levels,
// and the top-level object's members kept in order with repeated keys kept,
// so that the caller can refuse them.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace recorder {

// Objects and arrays nested this deep (the outermost counting as 1) are refused.
inline constexpr std::size_t kJsonMaxNesting = 128;

struct StrictJsonDocument {
  bool is_object = false;
  // The top-level object's members, in order, repeated keys included.
  std::vector<std::pair<std::string, nlohmann::json>> members;
  // The top-level array's items.
  std::vector<nlohmann::json> items;
};

// The document, or nothing when the text is not one JSON object or array as
// described above. Inside nested values, an object with a repeated key reads
// as a discarded value, so that it matches no expected type.
std::optional<StrictJsonDocument> parse_strict_json(std::string_view text);

// Integer readers: a number without fraction or exponent that fits the type.
std::optional<std::uint64_t> json_u64(const nlohmann::json& value);
std::optional<std::uint32_t> json_u32(const nlohmann::json& value);
std::optional<std::int64_t> json_i64(const nlohmann::json& value);
std::optional<std::int32_t> json_i32(const nlohmann::json& value);

}  // namespace recorder
