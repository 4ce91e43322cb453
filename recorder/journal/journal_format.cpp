#include "recorder/journal/journal_format.h"

#include <array>
#include <charconv>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "recorder/recovery/strict_json.h"
#include "recorder/recovery/utf8.h"

namespace recorder::journal {
namespace {

using nlohmann::json;

// ---- Field descriptions: each kind's fields, in line order ----

template <class K, class T>
struct Field {
  std::string_view name;
  T K::*member;
  bool omit_when_absent = false;
};

template <class K>
constexpr auto fields_of() {
  return std::tuple<>{};  // kinds without fields
}

#define VR_FIELDS(K, ...)                \
  template <>                            \
  constexpr auto fields_of<K>() {        \
    using Kind [[maybe_unused]] = K;     \
    return std::make_tuple(__VA_ARGS__); \
  }
#define VR_F(name) \
  Field<Kind, decltype(Kind::name)> { #name, &Kind::name }

VR_FIELDS(SessionCreated, VR_F(session_id), VR_F(mic_requested), VR_F(system_requested))
VR_FIELDS(SessionAbandoned, VR_F(reason))
VR_FIELDS(IntentChanged, VR_F(from), VR_F(to))
VR_FIELDS(CommandSent, VR_F(command), VR_F(request_id))
VR_FIELDS(CommandRejected, VR_F(command), VR_F(reason), VR_F(current_phase))
VR_FIELDS(HelperStarted, VR_F(pid))
VR_FIELDS(HelperReady, VR_F(protocol_version))
VR_FIELDS(HelperExited, VR_F(code))
VR_FIELDS(SourceStarted, VR_F(source), VR_F(device_class), VR_F(sample_rate))
VR_FIELDS(SourceRecovered, VR_F(source))
VR_FIELDS(SourceFailed, VR_F(source), VR_F(reason), VR_F(recoverable))
VR_FIELDS(SourceHealth, VR_F(source), VR_F(status),
          (Field<Kind, decltype(Kind::duration_ms)>{"duration_ms", &Kind::duration_ms, true}))
VR_FIELDS(SegmentOpened, VR_F(source), VR_F(index), VR_F(path))
VR_FIELDS(SegmentClosed, VR_F(source), VR_F(index), VR_F(frames), VR_F(duration_ms), VR_F(bytes))
VR_FIELDS(DeviceChanged, VR_F(source), VR_F(from_class), VR_F(to_class))
VR_FIELDS(DeviceFollowbackSuppressed, VR_F(source), VR_F(device_class), VR_F(reason))
VR_FIELDS(OutputDeviceDetected, VR_F(device_class), VR_F(echo_risk))
VR_FIELDS(OutputDeviceChanged, VR_F(device_class), VR_F(echo_risk_after))
VR_FIELDS(FenceRequested, VR_F(fence_type), VR_F(request_id))
VR_FIELDS(FenceAcked, VR_F(fence_type), VR_F(request_id))
VR_FIELDS(FenceTimeout, VR_F(fence_type), VR_F(request_id))
VR_FIELDS(PauseEpochStarted, VR_F(epoch), VR_F(logical_time_ms))
VR_FIELDS(PauseEpochEnded, VR_F(epoch))
VR_FIELDS(PhaseChanged, VR_F(from), VR_F(to))
VR_FIELDS(CandidateRejected, VR_F(reason))
VR_FIELDS(ExportStarted, VR_F(method))
VR_FIELDS(ExportCompleted, VR_F(method), VR_F(duration_ms), VR_F(output_path), VR_F(output_bytes))
VR_FIELDS(ExportFailed, VR_F(method), VR_F(reason))
VR_FIELDS(FinalAudioHashed, VR_F(sha256), VR_F(bytes), VR_F(path))
VR_FIELDS(UploadStarted, VR_F(idempotency_key), VR_F(attempt))
VR_FIELDS(UploadFailed, VR_F(reason), VR_F(attempt), VR_F(recoverable))
VR_FIELDS(TranscriptionJobCreated, VR_F(job_id), VR_F(idempotency_key))
VR_FIELDS(CleanupFailed, VR_F(reason))
VR_FIELDS(RecoveryCompleted, VR_F(segments_recovered))
VR_FIELDS(SourceOverflow, VR_F(source), VR_F(dropped_bytes), VR_F(dropped_frames_estimate))
VR_FIELDS(DiskPreflightPassed, VR_F(free_bytes), VR_F(estimated_bytes))
VR_FIELDS(DiskPreflightFailed, VR_F(free_bytes), VR_F(estimated_bytes))
VR_FIELDS(DiskLowWarning, VR_F(free_bytes))
VR_FIELDS(DiskHardStop, VR_F(free_bytes))
VR_FIELDS(ProtocolError, VR_F(detail))

#undef VR_F
#undef VR_FIELDS

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

// ---- Writing values ----

template <class I>
void append_integer(std::string& out, I value) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

void append_quoted(std::string& out, std::string_view ascii) {
  out += '"';
  out += ascii;
  out += '"';
}

bool append_value(std::string& out, const std::string& v) { return append_json_text(out, v); }
bool append_value(std::string& out, bool v) {
  out += v ? "true" : "false";
  return true;
}
bool append_value(std::string& out, std::uint64_t v) {
  append_integer(out, v);
  return true;
}
bool append_value(std::string& out, std::uint32_t v) {
  append_integer(out, v);
  return true;
}
bool append_value(std::string& out, std::int32_t v) {
  append_integer(out, v);
  return true;
}
bool append_value(std::string& out, SessionPhase v) {
  append_quoted(out, to_string(v));
  return true;
}
bool append_value(std::string& out, DeviceClass v) {
  append_quoted(out, to_string(v));
  return true;
}
bool append_value(std::string& out, ExportMethod v) {
  append_quoted(out, to_string(v));
  return true;
}

constexpr std::array<std::string_view, 5> kNamedFailureReasons = {
    "permission_denied", "device_not_found", "device_lost", "helper_crashed", "protocol_error",
};

bool append_value(std::string& out, const FailureReason& v) {
  if (v.kind == FailureReason::Kind::Unknown) {
    out += "{\"unknown\":";
    if (!append_json_text(out, v.unknown_text)) return false;
    out += '}';
    return true;
  }
  append_quoted(out, kNamedFailureReasons.at(static_cast<std::size_t>(v.kind)));
  return true;
}

template <class T>
bool append_value(std::string& out, const std::optional<T>& v) {
  if (!v) {
    out += "null";
    return true;
  }
  return append_value(out, *v);
}

template <class K>
bool append_fields(std::string& out, const K& kind) {
  bool ok = true;
  std::apply(
      [&](const auto&... field) {
        (
            [&] {
              const auto& value = kind.*(field.member);
              if constexpr (is_optional<std::remove_cvref_t<decltype(value)>>::value) {
                if (field.omit_when_absent && !value) return;
              }
              out += ",\"";
              out += field.name;
              out += "\":";
              ok = append_value(out, value) && ok;
            }(),
            ...);
      },
      fields_of<K>());
  return ok;
}

// ---- Reading values ----

using Members = std::vector<const std::pair<std::string, json>*>;

bool read_value(const json& v, std::string& out) {
  if (!v.is_string()) return false;
  out = v.get<std::string>();
  return true;
}
bool read_value(const json& v, bool& out) {
  if (!v.is_boolean()) return false;
  out = v.get<bool>();
  return true;
}
bool read_value(const json& v, std::uint64_t& out) {
  const auto n = json_u64(v);
  if (n) out = *n;
  return n.has_value();
}
bool read_value(const json& v, std::uint32_t& out) {
  const auto n = json_u32(v);
  if (n) out = *n;
  return n.has_value();
}
bool read_value(const json& v, std::int32_t& out) {
  const auto n = json_i32(v);
  if (n) out = *n;
  return n.has_value();
}

// An enumeration value: a bare value string, or an object whose single key
// names the value and holds null.
template <class E>
bool read_enum(const json& v, E& out, std::optional<E> (*from_string)(std::string_view)) {
  std::optional<E> parsed;
  if (v.is_string()) {
    parsed = from_string(v.get_ref<const std::string&>());
  } else if (v.is_object() && v.size() == 1 && v.begin().value().is_null()) {
    parsed = from_string(v.begin().key());
  }
  if (parsed) out = *parsed;
  return parsed.has_value();
}
bool read_value(const json& v, SessionPhase& out) { return read_enum(v, out, &session_phase_from_string); }
bool read_value(const json& v, DeviceClass& out) { return read_enum(v, out, &device_class_from_string); }
bool read_value(const json& v, ExportMethod& out) { return read_enum(v, out, &export_method_from_string); }

bool read_value(const json& v, FailureReason& out) {
  std::string_view name;
  if (v.is_string()) {
    name = v.get_ref<const std::string&>();
  } else if (v.is_object() && v.size() == 1) {
    name = v.begin().key();
    const json& inner = v.begin().value();
    if (name == "unknown") {
      if (!inner.is_string()) return false;
      out = FailureReason::unknown(inner.get<std::string>());
      return true;
    }
    if (!inner.is_null()) return false;
  } else {
    return false;
  }
  for (std::size_t i = 0; i < kNamedFailureReasons.size(); ++i) {
    if (kNamedFailureReasons[i] == name) {
      out = FailureReason::named(static_cast<FailureReason::Kind>(i));
      return true;
    }
  }
  return false;  // the bare string "unknown" included
}

template <class T>
bool read_value(const json& v, std::optional<T>& out) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  T value{};
  if (!read_value(v, value)) return false;
  out = std::move(value);
  return true;
}

template <class K>
bool read_fields(const Members& members, K& kind, std::string* why) {
  bool ok = true;
  std::apply(
      [&](const auto&... field) {
        (
            [&] {
              if (!ok) return;
              const json* found = nullptr;
              for (const auto* m : members) {
                if (m->first != field.name) continue;
                if (found != nullptr) {
                  ok = false;
                  if (why) *why = "duplicate field " + std::string(field.name);
                  return;
                }
                found = &m->second;
              }
              auto& value = kind.*(field.member);
              using V = std::remove_cvref_t<decltype(value)>;
              if (found == nullptr) {
                if constexpr (is_optional<V>::value) {
                  value.reset();
                } else {
                  ok = false;
                  if (why) *why = "missing field " + std::string(field.name);
                }
                return;
              }
              if (!read_value(*found, value)) {
                ok = false;
                if (why) *why = "invalid value for " + std::string(field.name);
              }
            }(),
            ...);
      },
      fields_of<K>());
  return ok;
}

using KindReader = bool (*)(const Members&, JournalEvent&, std::string*);

template <std::size_t I>
bool read_kind(const Members& members, JournalEvent& event, std::string* why) {
  std::variant_alternative_t<I, JournalEvent> kind{};
  if (!read_fields(members, kind, why)) return false;
  event.emplace<I>(std::move(kind));
  return true;
}

template <std::size_t... I>
constexpr std::array<KindReader, sizeof...(I)> make_kind_readers(std::index_sequence<I...>) {
  return {&read_kind<I>...};
}

constexpr auto kKindReaders = make_kind_readers(std::make_index_sequence<kJournalEventKindCount>{});
constexpr std::size_t kUnknownPosition = kJournalEventKindCount - 1;

std::nullopt_t reject(std::string* why, const char* message) {
  if (why) *why = message;
  return std::nullopt;
}

}  // namespace

bool append_json_text(std::string& out, std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case 0x08:
        out += "\\b";
        break;
      case 0x09:
        out += "\\t";
        break;
      case 0x0A:
        out += "\\n";
        break;
      case 0x0C:
        out += "\\f";
        break;
      case 0x0D:
        out += "\\r";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return true;
}

bool append_entry_line(std::string& out, const JournalEntry& entry) {
  const std::size_t mark = out.size();
  out += "{\"schema_version\":";
  append_integer(out, entry.schema_version);
  out += ",\"monotonic_ms\":";
  append_integer(out, entry.monotonic_ms);
  out += ",\"wall_utc_ms\":";
  append_integer(out, entry.wall_utc_ms);
  out += ",\"type\":";
  append_quoted(out, event_tag(entry.event));
  const bool ok = std::visit([&](const auto& kind) { return append_fields(out, kind); }, entry.event);
  if (!ok) {
    out.resize(mark);
    return false;
  }
  out += "}\n";
  return true;
}

std::optional<std::string> format_entry(const JournalEntry& entry) {
  std::string line;
  line.reserve(128);
  if (!append_entry_line(line, entry)) return std::nullopt;
  return line;
}

std::optional<JournalEntry> parse_entry_line(std::string_view line, std::string* why) {
  const auto doc = parse_strict_json(line);
  if (!doc) return reject(why, "not one JSON object within the nesting limit");
  if (!doc->is_object) return reject(why, "not a JSON object");

  JournalEntry entry;
  int schema_seen = 0, monotonic_seen = 0, wall_seen = 0;
  Members rest;
  for (const auto& member : doc->members) {
    const std::string& key = member.first;
    if (key == "schema_version") {
      const auto v = json_u32(member.second);
      if (!v) return reject(why, "schema_version is not a u32");
      entry.schema_version = *v;
      ++schema_seen;
    } else if (key == "monotonic_ms") {
      const auto v = json_u64(member.second);
      if (!v) return reject(why, "monotonic_ms is not a u64");
      entry.monotonic_ms = *v;
      ++monotonic_seen;
    } else if (key == "wall_utc_ms") {
      const auto v = json_i64(member.second);
      if (!v) return reject(why, "wall_utc_ms is not an i64");
      entry.wall_utc_ms = *v;
      ++wall_seen;
    } else {
      rest.push_back(&member);
    }
  }
  if (schema_seen != 1) return reject(why, "schema_version missing or repeated");
  if (monotonic_seen != 1) return reject(why, "monotonic_ms missing or repeated");
  if (wall_seen != 1) return reject(why, "wall_utc_ms missing or repeated");

  const json* tag = nullptr;
  Members fields;
  for (const auto* member : rest) {
    if (member->first == "type") {
      if (tag != nullptr) return reject(why, "type repeated");
      tag = &member->second;
    } else {
      fields.push_back(member);
    }
  }
  if (tag == nullptr) return reject(why, "type missing");

  std::size_t position = kUnknownPosition;
  if (tag->is_string()) {
    const auto& text = tag->get_ref<const std::string&>();
    for (std::size_t i = 0; i < kUnknownPosition; ++i) {
      if (event_tag(i) == text) {
        position = i;
        break;
      }
    }
  } else if (const auto n = json_u64(*tag)) {
    position = *n < kUnknownPosition ? static_cast<std::size_t>(*n) : kUnknownPosition;
  } else {
    return reject(why, "type is neither a string nor a non-negative integer");
  }
  if (!kKindReaders[position](fields, entry.event, why)) return std::nullopt;
  return entry;
}

}  // namespace recorder::journal
