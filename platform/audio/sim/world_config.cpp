// The "audio" section of a scenario file and the default world.
#include <cmath>
#include <set>
#include <stdexcept>

#include "platform/audio/sim/world.h"

namespace platform::audio::sim {
namespace {

using nlohmann::json;

[[noreturn]] void bad(const std::string& what) { throw std::invalid_argument(what); }

void checkKeys(const json& j, const std::set<std::string>& allowed, const std::string& where) {
  for (const auto& [key, value] : j.items()) {
    if (allowed.count(key) == 0) bad("unknown key \"" + key + "\" in " + where);
  }
}

double positiveNumber(const json& j, const char* key, const std::string& where) {
  const json& v = j.at(key);
  if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() <= 0) {
    bad(std::string("\"") + key + "\" in " + where + " must be a number above 0");
  }
  return v.get<double>();
}

double nonNegativeNumber(const json& j, const char* key, const std::string& where) {
  const json& v = j.at(key);
  if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0) {
    bad(std::string("\"") + key + "\" in " + where + " must be a number of at least 0");
  }
  return v.get<double>();
}

uint32_t count(const json& j, const char* key, const std::string& where, uint32_t max) {
  const json& v = j.at(key);
  if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<uint64_t>() > max) {
    bad(std::string("\"") + key + "\" in " + where + " must be a whole number from 0 to " + std::to_string(max));
  }
  return static_cast<uint32_t>(v.get<uint64_t>());
}

// A four-character code as text ("bltn", "usb ") or as its number.
uint32_t fourCC(const json& v, const std::string& what) {
  if (v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= 0xFFFFFFFFLL) {
    return static_cast<uint32_t>(v.get<int64_t>());
  }
  if (v.is_string() && v.get<std::string>().size() == 4) {
    const std::string s = v.get<std::string>();
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8) | static_cast<uint32_t>(static_cast<uint8_t>(s[3]));
  }
  bad(what + " must be a four-character code such as \"bltn\"");
}

std::optional<std::string> optionalString(const json& v, const std::string& what) {
  if (v.is_null()) return std::nullopt;
  if (!v.is_string()) bad(what + " must be a string or null");
  return v.get<std::string>();
}

std::string requiredString(const json& j, const char* key, const std::string& where) {
  auto it = j.find(key);
  if (it == j.end() || !it->is_string()) bad(std::string("\"") + key + "\" in " + where + " must be a string");
  return it->get<std::string>();
}

EventAction parseAction(const json& j, const std::string& where) {
  using K = EventAction::Kind;
  static const std::map<std::string, K> kinds = {
      {"add_device", K::addDevice},
      {"remove_device", K::removeDevice},
      {"set_default_input", K::setDefaultInput},
      {"set_default_output", K::setDefaultOutput},
      {"set_default_system_output", K::setDefaultSystemOutput},
      {"set_nominal_rate", K::setNominalRate},
      {"set_actual_rate", K::setActualRate},
      {"set_alive", K::setAlive},
      {"set_data_source", K::setDataSource},
      {"stall", K::stall},
  };
  const std::string name = requiredString(j, "action", where);
  auto kind = kinds.find(name);
  if (kind == kinds.end()) bad("unknown action \"" + name + "\" in " + where);
  EventAction a;
  a.kind = kind->second;
  switch (a.kind) {
    case K::addDevice:
      checkKeys(j, {"at_ms", "action", "device"}, where);
      if (!j.contains("device")) bad("\"device\" missing in " + where);
      a.newDevice = parseDeviceConfig(j.at("device"));
      break;
    case K::setDefaultInput:
    case K::setDefaultOutput:
    case K::setDefaultSystemOutput:
      checkKeys(j, {"at_ms", "action", "device"}, where);
      if (!j.contains("device")) bad("\"device\" missing in " + where);
      a.device = optionalString(j.at("device"), "\"device\" in " + where).value_or("");
      break;
    case K::removeDevice:
      checkKeys(j, {"at_ms", "action", "device"}, where);
      a.device = requiredString(j, "device", where);
      break;
    case K::setNominalRate:
    case K::setActualRate:
      checkKeys(j, {"at_ms", "action", "device", "rate"}, where);
      a.device = requiredString(j, "device", where);
      if (!j.contains("rate")) bad("\"rate\" missing in " + where);
      a.rate = positiveNumber(j, "rate", where);
      break;
    case K::setAlive:
      checkKeys(j, {"at_ms", "action", "device", "alive"}, where);
      a.device = requiredString(j, "device", where);
      if (!j.contains("alive") || !j.at("alive").is_boolean()) bad("\"alive\" in " + where + " must be true or false");
      a.alive = j.at("alive").get<bool>();
      break;
    case K::setDataSource:
      checkKeys(j, {"at_ms", "action", "device", "data_source"}, where);
      a.device = requiredString(j, "device", where);
      if (!j.contains("data_source")) bad("\"data_source\" missing in " + where);
      if (!j.at("data_source").is_null()) a.dataSource = fourCC(j.at("data_source"), "\"data_source\" in " + where);
      break;
    case K::stall:
      checkKeys(j, {"at_ms", "action", "device", "duration_ms"}, where);
      a.device = requiredString(j, "device", where);
      if (!j.contains("duration_ms")) bad("\"duration_ms\" missing in " + where);
      a.durationNs = static_cast<uint64_t>(positiveNumber(j, "duration_ms", where) * 1e6);
      break;
  }
  return a;
}

}  // namespace

DeviceConfig parseDeviceConfig(const json& j) {
  if (!j.is_object()) bad("a device must be an object");
  const std::string where =
      "device " + (j.contains("uid") && j.at("uid").is_string() ? "\"" + j.at("uid").get<std::string>() + "\"" : "");
  checkKeys(j,
            {"id", "uid", "name", "transport", "nominal_rate", "actual_rate", "input_channels", "output_channels",
             "data_source", "alive", "buffer_frames", "tap_rate", "aggregate_rate", "timestamp_jitter_ms", "signal"},
            where);
  DeviceConfig d;
  if (!j.contains("uid")) bad("a device needs a \"uid\" (null for an unreadable one)");
  d.uid = optionalString(j.at("uid"), "\"uid\" of a device");
  d.name = j.contains("name") ? optionalString(j.at("name"), "\"name\" in " + where) : d.uid;
  if (j.contains("id")) d.id = count(j, "id", where, 0xFFFFFFFFu);
  if (j.contains("transport")) {
    const json& t = j.at("transport");
    d.transport = t.is_null() ? std::nullopt : std::optional<uint32_t>(fourCC(t, "\"transport\" in " + where));
  }
  if (j.contains("nominal_rate")) d.nominalRate = positiveNumber(j, "nominal_rate", where);
  if (j.contains("actual_rate")) d.actualRate = positiveNumber(j, "actual_rate", where);
  if (j.contains("input_channels")) d.inputChannels = count(j, "input_channels", where, 64);
  if (j.contains("output_channels")) d.outputChannels = count(j, "output_channels", where, 64);
  if (j.contains("data_source") && !j.at("data_source").is_null()) {
    d.dataSource = fourCC(j.at("data_source"), "\"data_source\" in " + where);
  }
  if (j.contains("alive")) {
    if (!j.at("alive").is_boolean()) bad("\"alive\" in " + where + " must be true or false");
    d.alive = j.at("alive").get<bool>();
  }
  if (j.contains("buffer_frames")) {
    d.bufferFrames = count(j, "buffer_frames", where, 65536);
    if (d.bufferFrames == 0) bad("\"buffer_frames\" in " + where + " must be at least 1");
  }
  if (j.contains("tap_rate")) d.tapRate = positiveNumber(j, "tap_rate", where);
  if (j.contains("timestamp_jitter_ms")) d.timestampJitterMs = nonNegativeNumber(j, "timestamp_jitter_ms", where);
  if (j.contains("aggregate_rate")) d.aggregateRate = positiveNumber(j, "aggregate_rate", where);
  if (j.contains("signal")) {
    try {
      d.signal = Signal::fromJson(j.at("signal"));
    } catch (const std::invalid_argument& e) {
      bad(std::string(e.what()) + " (" + where + ")");
    }
  }
  return d;
}

WorldConfig defaultWorldConfig(ClockMode clock) {
  WorldConfig c;
  c.clock = clock;
  DeviceConfig mic;
  mic.uid = "BuiltInMicrophoneDevice";
  mic.name = "MacBook Pro Microphone";
  mic.transport = hal::kAudioDeviceTransportTypeBuiltIn;
  mic.nominalRate = 48000;
  mic.inputChannels = 1;
  mic.signal = Signal::tone(440, 0.1);
  DeviceConfig speakers;
  speakers.uid = "BuiltInSpeakerDevice";
  speakers.name = "MacBook Pro Speakers";
  speakers.transport = hal::kAudioDeviceTransportTypeBuiltIn;
  speakers.nominalRate = 48000;
  speakers.outputChannels = 2;
  speakers.dataSource = hal::kAudioDataSourceInternalSpeaker;
  c.devices = {mic, speakers};
  return c;
}

WorldConfig parseWorldConfig(const json& audio) {
  if (!audio.is_object()) bad("the \"audio\" section must be an object");
  checkKeys(audio, {"clock", "devices", "defaults", "echo", "faults", "events"}, "the \"audio\" section");
  WorldConfig c = defaultWorldConfig();
  if (audio.contains("clock")) {
    const json& v = audio.at("clock");
    if (v == "realtime") {
      c.clock = ClockMode::realTime;
    } else if (v == "manual") {
      c.clock = ClockMode::manual;
    } else {
      bad("\"clock\" must be \"realtime\" or \"manual\"");
    }
  }
  if (audio.contains("devices")) {
    const json& list = audio.at("devices");
    if (!list.is_array()) bad("\"devices\" must be an array");
    c.devices.clear();
    std::set<std::string> uids;
    for (const auto& dj : list) {
      DeviceConfig d = parseDeviceConfig(dj);
      if (d.uid && !uids.insert(*d.uid).second) bad("two devices have the uid \"" + *d.uid + "\"");
      c.devices.push_back(std::move(d));
    }
  }
  auto findDevice = [&](const std::string& uid) -> const DeviceConfig* {
    for (const auto& d : c.devices) {
      if (d.uid && *d.uid == uid) return &d;
    }
    return nullptr;
  };
  if (audio.contains("defaults")) {
    const json& defs = audio.at("defaults");
    if (!defs.is_object()) bad("\"defaults\" must be an object");
    checkKeys(defs, {"input", "output", "system_output"}, "\"defaults\"");
    auto choose = [&](const char* key, bool input, DefaultChoice& slot) {
      if (!defs.contains(key)) return;
      slot.given = true;
      slot.uid = optionalString(defs.at(key), std::string("\"") + key + "\" in \"defaults\"");
      if (!slot.uid) return;
      const DeviceConfig* d = findDevice(*slot.uid);
      if (d == nullptr) bad(std::string("default ") + key + " \"" + *slot.uid + "\" is not a device");
      if ((input ? d->inputChannels : d->outputChannels) == 0) {
        bad(std::string("default ") + key + " \"" + *slot.uid + "\" has no " + (input ? "input" : "output") +
            " channels");
      }
    };
    choose("input", true, c.defaultInput);
    choose("output", false, c.defaultOutput);
    choose("system_output", false, c.defaultSystemOutput);
  }
  if (audio.contains("echo")) {
    const json& e = audio.at("echo");
    if (!e.is_object()) bad("\"echo\" must be an object");
    checkKeys(e, {"delay_ms", "gain", "inputs"}, "\"echo\"");
    c.echo.enabled = true;
    if (e.contains("delay_ms")) c.echo.delayMs = nonNegativeNumber(e, "delay_ms", "\"echo\"");
    c.echo.gain = e.contains("gain") ? nonNegativeNumber(e, "gain", "\"echo\"") : 0.5;
    if (e.contains("inputs")) {
      if (!e.at("inputs").is_array()) bad("\"inputs\" in \"echo\" must be an array of device uids");
      for (const auto& u : e.at("inputs")) {
        if (!u.is_string()) bad("\"inputs\" in \"echo\" must be an array of device uids");
        c.echo.inputs.push_back(u.get<std::string>());
      }
    }
  }
  if (audio.contains("faults")) {
    const json& list = audio.at("faults");
    if (!list.is_array()) bad("\"faults\" must be an array");
    static const std::set<std::string> calls = {kFaultProcessTap,  kFaultAggregateDevice, kFaultIOProc,
                                                kFaultDeviceStart, kFaultEngineStart,     kFaultSetInputDevice};
    for (const auto& fj : list) {
      if (!fj.is_object()) bad("a fault must be an object");
      checkKeys(fj, {"call", "status", "times", "after_ms"}, "a fault");
      FaultConfig f;
      f.call = requiredString(fj, "call", "a fault");
      if (calls.count(f.call) == 0) bad("unknown call \"" + f.call + "\" in a fault");
      if (fj.contains("status")) {
        if (!fj.at("status").is_number_integer()) bad("\"status\" of a fault must be an integer");
        f.status = fj.at("status").get<int32_t>();
      }
      if (fj.contains("times")) {
        if (!fj.at("times").is_number_integer()) bad("\"times\" of a fault must be an integer");
        f.times = fj.at("times").get<int64_t>();
      }
      if (fj.contains("after_ms"))
        f.afterNs = static_cast<uint64_t>(nonNegativeNumber(fj, "after_ms", "a fault") * 1e6);
      c.faults.push_back(f);
    }
  }
  if (audio.contains("events")) {
    const json& list = audio.at("events");
    if (!list.is_array()) bad("\"events\" must be an array");
    for (size_t i = 0; i < list.size(); ++i) {
      const json& ej = list[i];
      const std::string where = "event " + std::to_string(i);
      if (!ej.is_object()) bad(where + " must be an object");
      if (!ej.contains("at_ms")) bad("\"at_ms\" missing in " + where);
      ScriptedEvent ev;
      ev.atNs = static_cast<uint64_t>(nonNegativeNumber(ej, "at_ms", where) * 1e6);
      ev.action = parseAction(ej, where);
      c.events.push_back(std::move(ev));
    }
  }
  return c;
}

}  // namespace platform::audio::sim
