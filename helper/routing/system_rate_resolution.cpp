#include "helper/routing/system_rate_resolution.h"

#include <array>
#include <string_view>

#include "helper/routing/device_properties.h"

namespace helper {
namespace {

// In this order: each singular goes before its plural, which therefore
// leaves its trailing "s" behind.
constexpr std::array<std::string_view, 16> kRoleWords = {
    "microphone", "mic",     "input",    "output",    "speaker",   "speakers",   "headphone", "headphones",
    "earbud",     "earbuds", "earphone", "earphones", "handsfree", "hands-free", "stereo",    "audio"};

// Lower-cases ASCII letters, and the two other characters whose lower case
// is an ASCII letter (KELVIN SIGN and LATIN CAPITAL LETTER I WITH DOT
// ABOVE, whose combining dot the final filter drops anyway). Every other
// byte is kept as it is; the filter removes what is not a-z or 0-9.
std::string lowercased(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (c == 0xE2 && i + 2 < name.size() && static_cast<unsigned char>(name[i + 1]) == 0x84 &&
               static_cast<unsigned char>(name[i + 2]) == 0xAA) {
      out.push_back('k');
      i += 2;
    } else if (c == 0xC4 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) == 0xB0) {
      out.push_back('i');
      i += 1;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// Left to right, matches never overlapping; built anew rather than
// replaced in place.
void replaceEvery(std::string& text, std::string_view word) {
  std::string out;
  out.reserve(text.size());
  size_t from = 0;
  for (size_t at; (at = text.find(word, from)) != std::string::npos; from = at + word.size()) {
    out.append(text, from, at - from);
    out.push_back(' ');
  }
  out.append(text, from, std::string::npos);
  text.swap(out);
}

bool inTelephonyRange(double rate) { return rate >= 8000 && rate <= 32000; }

// Not equal as a Double: a NaN differs from everything.
bool differs(double a, double b) { return !(a == b); }

}  // namespace

std::string normalizeBluetoothDeviceName(const std::string& name) {
  std::string text = lowercased(name);
  for (std::string_view word : kRoleWords) replaceEvery(text, word);
  std::string out;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out.push_back(c);
  }
  return out;
}

bool isLikelySameBluetoothDevice(const std::string& micDeviceUID, const std::string& micDeviceName,
                                 const std::string& outputDeviceUID, const std::string& outputDeviceName) {
  if (!micDeviceUID.empty() && micDeviceUID == outputDeviceUID) return true;
  const std::string mic = normalizeBluetoothDeviceName(micDeviceName);
  if (mic.empty()) return false;
  return mic == normalizeBluetoothDeviceName(outputDeviceName);
}

ResolvedRate resolveSystemNativeRate(double tapAsbdRate, std::optional<double> outputDeviceNominalRate,
                                     std::optional<double> aggregateDeviceNominalRate,
                                     const std::string& outputTransport, const std::string& outputDeviceUID,
                                     const std::string& outputDeviceName, double micNativeRate,
                                     const std::string& micRouteKind, const std::string& micDeviceUID,
                                     const std::string& micDeviceName) {
  const bool same = isLikelySameBluetoothDevice(micDeviceUID, micDeviceName, outputDeviceUID, outputDeviceName);
  auto decided = [&](double rate, const char* source) { return ResolvedRate{rate, tapAsbdRate, source, same}; };
  auto telephonyOverride = [&](const std::optional<double>& rate) {
    return rate && inTelephonyRange(*rate) && differs(*rate, tapAsbdRate);
  };
  auto standardOverride = [&](const std::optional<double>& rate) {
    return rate && isStandardHardwareAudioRate(*rate) && differs(*rate, tapAsbdRate);
  };
  auto standardRateRule = [&]() -> std::optional<ResolvedRate> {
    if (standardOverride(outputDeviceNominalRate)) return decided(*outputDeviceNominalRate, kRateSourceOutputNominal);
    if (standardOverride(aggregateDeviceNominalRate)) {
      return decided(*aggregateDeviceNominalRate, kRateSourceAggregateNominal);
    }
    return std::nullopt;
  };

  if (outputTransport == kRouteBluetoothHfp) {
    if (telephonyOverride(outputDeviceNominalRate)) return decided(*outputDeviceNominalRate, kRateSourceOutputNominal);
    if (telephonyOverride(aggregateDeviceNominalRate)) {
      return decided(*aggregateDeviceNominalRate, kRateSourceAggregateNominal);
    }
    if (!same) {
      if (auto r = standardRateRule()) return *r;
    }
    if (micRouteKind == kRouteBluetoothHfp && same && inTelephonyRange(micNativeRate) && tapAsbdRate > micNativeRate) {
      return decided(micNativeRate, kRateSourceBluetoothMic);
    }
  } else if (outputTransport == kRouteBuiltIn) {
    if (auto r = standardRateRule()) return *r;
  }
  return decided(tapAsbdRate, kRateSourceTapAsbd);
}

}  // namespace helper
