#include "recorder/recovery/strict_json.h"

#include <limits>

namespace recorder {
namespace {

using nlohmann::json;

// Builds the document from SAX events. nlohmann's own DOM builder would keep
// the last of two equal keys and has no nesting limit; this one keeps the
// top-level repeats for the caller and marks nested objects with repeats.
class Builder {
 public:
  explicit Builder(StrictJsonDocument& doc) : doc_(doc) {}

  bool null() { return add(json(nullptr)); }
  bool boolean(bool v) { return add(json(v)); }
  bool number_integer(json::number_integer_t v) { return add(json(v)); }
  bool number_unsigned(json::number_unsigned_t v) { return add(json(v)); }
  bool number_float(json::number_float_t v, const json::string_t&) { return add(json(v)); }
  bool string(json::string_t& v) { return add(json(std::move(v))); }
  bool binary(json::binary_t&) { return false; }

  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool key(json::string_t& k) {
    if (stack_.empty()) {
      pending_top_key_ = std::move(k);
      return true;
    }
    Frame& f = stack_.back();
    if (f.value.contains(k)) f.duplicate = true;
    f.key = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

 private:
  struct Frame {
    json value;
    std::string key;
    bool duplicate = false;
  };

  bool open(json container) {
    if (++depth_ >= kJsonMaxNesting) return false;
    if (depth_ == 1) {
      doc_.is_object = container.is_object();
      return true;
    }
    stack_.push_back(Frame{std::move(container), {}, false});
    return true;
  }

  bool close() {
    --depth_;
    if (stack_.empty()) return true;  // the top level ends
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    return add(f.duplicate ? json(json::value_t::discarded) : std::move(f.value));
  }

  bool add(json v) {
    if (depth_ == 0) return false;  // a bare top-level value
    if (stack_.empty()) {
      if (doc_.is_object) {
        doc_.members.emplace_back(std::move(pending_top_key_), std::move(v));
      } else {
        doc_.items.push_back(std::move(v));
      }
      return true;
    }
    Frame& f = stack_.back();
    if (f.value.is_array()) {
      f.value.push_back(std::move(v));
    } else if (!f.duplicate) {
      f.value[f.key] = std::move(v);
    }
    return true;
  }

  StrictJsonDocument& doc_;
  std::vector<Frame> stack_;
  std::string pending_top_key_;
  std::size_t depth_ = 0;
};

}  // namespace

std::optional<StrictJsonDocument> parse_strict_json(std::string_view text) {
  // nlohmann skips a leading byte-order mark; the formats read here allow none.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  StrictJsonDocument doc;
  Builder builder(doc);
  const bool ok = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, /*strict=*/true,
                                  /*ignore_comments=*/false);
  if (!ok) return std::nullopt;
  return doc;
}

std::optional<std::uint64_t> json_u64(const json& value) {
  if (value.is_number_unsigned()) return value.get<std::uint64_t>();
  if (value.is_number_integer()) {
    const auto v = value.get<std::int64_t>();
    if (v >= 0) return static_cast<std::uint64_t>(v);
  }
  return std::nullopt;
}

std::optional<std::uint32_t> json_u32(const json& value) {
  const auto v = json_u64(value);
  if (!v || *v > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

std::optional<std::int64_t> json_i64(const json& value) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
    return static_cast<std::int64_t>(v);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  return std::nullopt;
}

std::optional<std::int32_t> json_i32(const json& value) {
  const auto v = json_i64(value);
  if (!v || *v < std::numeric_limits<std::int32_t>::min() || *v > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*v);
}

}  // namespace recorder
