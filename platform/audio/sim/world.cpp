#include "platform/audio/sim/world.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "platform/clock/clock.h"
#include "platform/sim/scenario.h"

namespace platform::audio::sim {
namespace {

using namespace hal;

// A real-time stream further behind than this drops what it missed, as an
// overloaded device would, instead of calling back in a burst.
constexpr double kMaxLatenessNs = 250e6;
constexpr auto kMaxThreadWait = std::chrono::milliseconds(100);
constexpr uint32_t kMaxTapFrames = 1u << 20;

// FNV-1a of a device's uid: the seed of its stamps' jitter.
uint64_t jitterSeedOf(const std::string& uid) {
  uint64_t h = 14695981039346656037ULL;
  for (const char c : uid) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ULL;
  return h;
}

AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

bool addressMatches(const AudioObjectPropertyAddress& wanted, const AudioObjectPropertyAddress& changed) {
  return (wanted.selector == kAudioObjectPropertySelectorWildcard || wanted.selector == changed.selector) &&
         (wanted.scope == kAudioObjectPropertyScopeWildcard || wanted.scope == changed.scope) &&
         (wanted.element == kAudioObjectPropertyElementWildcard || wanted.element == changed.element);
}

AudioStreamBasicDescription floatStreamFormat(double rate, uint32_t channels) {
  AudioStreamBasicDescription f;
  f.sampleRate = rate;
  f.formatID = kAudioFormatLinearPCM;
  f.formatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  f.bytesPerFrame = 4 * channels;
  f.bytesPerPacket = 4 * channels;
  f.framesPerPacket = 1;
  f.channelsPerFrame = channels;
  f.bitsPerChannel = 32;
  return f;
}

bool processExists(int32_t pid) {
  if (pid <= 0) return false;
  if (pid == static_cast<int32_t>(::getpid())) return true;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

// Interleaved 32-bit float input of an IO proc.
class IOProcStream final : public Stream {
 public:
  IOProcStream(AudioObjectID device, uint32_t frames, uint32_t channels, AudioDeviceIOProc proc, void* client)
      : Stream(device, frames),
        channels_(channels),
        proc_(proc),
        client_(client),
        mono_(frames),
        samples_(static_cast<size_t>(frames) * channels) {}

 protected:
  void deliver(const Tick& tick) override {
    AudioBufferList input;
    if (channels_ > 0) {
      renderMono(tick, mono_.data());
      for (uint32_t i = 0; i < tick.frames; ++i) {
        for (uint32_t c = 0; c < channels_; ++c) samples_[static_cast<size_t>(i) * channels_ + c] = mono_[i];
      }
      buffer_.numberChannels = channels_;
      buffer_.dataByteSize = tick.frames * channels_ * 4;
      buffer_.data = samples_.data();
      input.numberBuffers = 1;
      input.buffers = &buffer_;
    }
    AudioBufferList output;
    AudioTimeStamp ts;
    ts.sampleTime = tick.sampleTime;
    ts.hostTime = tick.hostTimeNs;
    ts.flags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    proc_(device(), &ts, &input, &ts, &output, &ts, client_);
  }
  const char* threadName() const override { return "sim-io-proc"; }

 private:
  const uint32_t channels_;
  const AudioDeviceIOProc proc_;
  void* const client_;
  std::vector<float> mono_;
  std::vector<float> samples_;
  AudioBuffer buffer_;
};

// The input node's tap of an engine.
class TapStream final : public Stream {
 public:
  TapStream(AudioObjectID device, uint32_t frames, std::unique_ptr<PCMBuffer> buffer,
            std::shared_ptr<AudioNodeTapBlock> block)
      : Stream(device, frames), buffer_(std::move(buffer)), block_(std::move(block)), mono_(frames) {}

 protected:
  void deliver(const Tick& tick) override {
    renderMono(tick, mono_.data());
    const AudioFormat& f = buffer_->format();
    const uint32_t ch = f.channelCount();
    float* const* data = buffer_->floatChannelData();
    for (uint32_t i = 0; i < tick.frames; ++i) {
      for (uint32_t c = 0; c < ch; ++c) {
        if (f.isInterleaved()) {
          data[0][static_cast<size_t>(i) * ch + c] = mono_[i];
        } else {
          data[c][i] = mono_[i];
        }
      }
    }
    buffer_->setFrameLength(tick.frames);
    AudioTime when;
    when.hostTime = tick.hostTimeNs;
    when.sampleTime = tick.sampleTime;
    when.sampleRate = f.sampleRate();
    (*block_)(*buffer_, when);
  }
  const char* threadName() const override { return "sim-input-tap"; }

 private:
  std::unique_ptr<PCMBuffer> buffer_;
  std::shared_ptr<AudioNodeTapBlock> block_;
  std::vector<float> mono_;
};

}  // namespace

// ---------------------------------------------------------------- Stream

void Stream::deliverGuarded(const Tick& tick) {
  std::lock_guard gate(gateMu_);
  if (!active_) return;
  runner_.store(std::this_thread::get_id());
  deliver(tick);
  runner_.store(std::thread::id());
}

void Stream::stop() {
  if (runner_.load() == std::this_thread::get_id()) {
    active_ = false;  // called from the callback, which holds the gate
  } else {
    std::lock_guard gate(gateMu_);  // waits for a running callback
    active_ = false;
  }
  std::thread t;
  {
    std::lock_guard lk(threadMu_);
    threadStop_ = true;
    t = std::move(thread_);
  }
  threadCv_.notify_all();
  if (t.joinable()) {
    if (t.get_id() == std::this_thread::get_id()) {
      t.detach();  // it ends when the callback returns
    } else {
      t.join();
    }
  }
}

void Stream::startThread(World& world) {
  auto self = shared_from_this();
  std::lock_guard lk(threadMu_);
  thread_ = dispatch::startNamedThread(threadName(), [self, &world] { self->threadMain(&world); });
}

void Stream::threadMain(World* world) {
  for (;;) {
    const double due = world->nextDueOf(*this);
    {
      std::unique_lock lk(threadMu_);
      if (threadStop_) return;
      const auto now = static_cast<double>(world->nowNs());
      if (due > now) {
        const auto wait = std::chrono::nanoseconds(static_cast<int64_t>(due - now) + 1);
        threadCv_.wait_for(lk, std::min<std::chrono::nanoseconds>(wait, kMaxThreadWait));
        continue;
      }
    }
    if (auto tick = world->prepareTick(*this)) deliverGuarded(*tick);
  }
}

void Stream::renderMono(const Tick& tick, float* out) {
  const RenderSources& s = tick.sources;
  if (s.primary.kind == Signal::Kind::silence && !s.hasEcho) {
    std::fill(out, out + tick.frames, 0.0f);
    return;
  }
  for (uint32_t i = 0; i < tick.frames; ++i) {
    const double sec = tick.firstFrameNs / 1e9 + static_cast<double>(i) / tick.rate;
    float v = s.primary.at(sec);
    if (s.hasEcho) v += static_cast<float>(s.echoGain) * s.echo.at(sec - s.echoDelaySec);
    out[i] = v;
  }
}

// ---------------------------------------------------------------- World

World& World::shared() {
  static World* world = [] {
    auto* w = new World();  // process lifetime: its threads may outlive main
    WorldConfig config;
    const auto& s = platform::sim::scenario();
    if (auto it = s.find("audio"); it != s.end()) {
      try {
        config = parseWorldConfig(*it);
      } catch (const std::exception& e) {
        platform::sim::failScenario(std::string("bad \"audio\" section in the scenario: ") + e.what());
      }
    } else {
      config = defaultWorldConfig();
    }
    w->load(config);
    return w;
  }();
  return *world;
}

World::World() : notificationQueue_(dispatch::makeSerialQueue("hal-notifications")) {
  realStartNs_ = clock::monotonicNs();
}

World::~World() {
  Effects effects;
  std::thread events;
  {
    std::lock_guard lk(mu_);
    resetUnlocked(effects);
    events = std::move(eventThread_);
  }
  eventsCv_.notify_all();
  if (events.joinable()) events.join();
  for (auto& s : effects.streamsToStop) s->stop();
}

uint64_t World::nowNs() const {
  if (mode_.load() == ClockMode::manual) return manualNowNs_.load();
  const uint64_t now = clock::monotonicNs();
  const uint64_t start = realStartNs_.load();
  return now > start ? now - start : 0;
}

uint64_t World::hostTimeForNs(double worldNs) const {
  const auto ns = static_cast<uint64_t>(std::max(0.0, worldNs));
  return mode_.load() == ClockMode::manual ? ns : realStartNs_.load() + ns;
}

void World::apply(Effects&& effects) {
  for (auto& s : effects.streamsToStop) s->stop();
  for (auto& d : effects.deliveries) d.queue->async(std::move(d.task));
}

void World::resetUnlocked(Effects& effects) {
  for (auto& s : streams_) effects.streamsToStop.push_back(s);
  streams_.clear();
  ioProcs_.clear();
  for (auto& weak : engines_) {
    if (auto core = weak.lock()) {
      stopEngineUnlocked(*core, false, effects);
      core->explicitDevice.reset();
      core->boundDevice = 0;
    }
  }
  for (auto& l : listeners_) {
    l.live->store(false);
    effects.oldListeners.push_back(std::move(l));
  }
  listeners_.clear();
  devices_.clear();
  deviceOrder_.clear();
  taps_.clear();
  processes_.clear();
  defaultInput_ = defaultOutput_ = defaultSystemOutput_ = 0;
  echo_ = EchoConfig{};
  faults_.clear();
  pendingEvents_.clear();
  nextID_ = kFirstObjectID;
  eventThreadStop_ = true;
}

void World::load(const WorldConfig& config) {
  Effects effects;
  std::thread oldEvents;
  {
    std::lock_guard lk(mu_);
    resetUnlocked(effects);
    oldEvents = std::move(eventThread_);
  }
  eventsCv_.notify_all();
  if (oldEvents.joinable()) oldEvents.join();
  apply(std::move(effects));
  std::lock_guard lk(mu_);
  mode_ = config.clock;
  manualNowNs_ = 0;
  realStartNs_ = clock::monotonicNs();
  eventThreadStop_ = false;
  configureUnlocked(config);
  startEventThreadUnlocked();
}

void World::configureUnlocked(const WorldConfig& config) {
  Effects ignored;  // nobody listens yet
  for (const auto& device : config.devices) addDeviceUnlocked(device, ignored);
  auto resolve = [&](const DefaultChoice& choice, AudioObjectID fallback) -> AudioObjectID {
    if (!choice.given) return fallback;
    return choice.uid ? findByUIDUnlocked(*choice.uid) : 0;
  };
  defaultInput_ = resolve(config.defaultInput, firstDeviceUnlocked(true, 0));
  defaultOutput_ = resolve(config.defaultOutput, firstDeviceUnlocked(false, 0));
  defaultSystemOutput_ = resolve(config.defaultSystemOutput, defaultOutput_);
  echo_ = config.echo;
  for (const auto& f : config.faults) faults_.push_back(Fault{f, f.times});
  pendingEvents_ = config.events;
  std::stable_sort(pendingEvents_.begin(), pendingEvents_.end(),
                   [](const ScriptedEvent& a, const ScriptedEvent& b) { return a.atNs < b.atNs; });
}

bool World::idInUseUnlocked(AudioObjectID id) const {
  if (id == kAudioObjectUnknown || id == kAudioObjectSystemObject) return true;
  if (devices_.count(id) != 0 || taps_.count(id) != 0) return true;
  for (const auto& [uid, d] : devices_) {
    if (d.inputStream == id || d.outputStream == id) return true;
  }
  for (const auto& [pid, obj] : processes_) {
    if (obj == id) return true;
  }
  return false;
}

AudioObjectID World::allocateIDUnlocked() const {
  while (idInUseUnlocked(nextID_)) ++nextID_;
  return nextID_++;
}

AudioObjectID World::addDeviceUnlocked(DeviceConfig device, Effects& effects) {
  const AudioObjectID id = (device.id != 0 && !idInUseUnlocked(device.id)) ? device.id : allocateIDUnlocked();
  device.id = id;
  Device d;
  d.config = std::move(device);
  devices_[id] = d;  // reserve the id before allocating the stream ids
  Device& stored = devices_[id];
  stored.stampJitter.seed(jitterSeedOf(stored.config.uid.value_or("")));
  if (stored.config.inputChannels > 0) stored.inputStream = allocateIDUnlocked();
  if (stored.config.outputChannels > 0) stored.outputStream = allocateIDUnlocked();
  deviceOrder_.push_back(id);
  notifyUnlocked(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), effects);
  return id;
}

const World::Device* World::findDeviceUnlocked(AudioObjectID id) const {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

World::Device* World::findDeviceUnlocked(AudioObjectID id) {
  auto it = devices_.find(id);
  return it == devices_.end() ? nullptr : &it->second;
}

AudioObjectID World::findByUIDUnlocked(const std::string& uid) const {
  for (AudioObjectID id : deviceOrder_) {
    const Device& d = devices_.at(id);
    if (d.config.uid && *d.config.uid == uid) return id;
  }
  return 0;
}

AudioObjectID World::firstDeviceUnlocked(bool input, AudioObjectID except) const {
  for (AudioObjectID id : deviceOrder_) {
    const Device& d = devices_.at(id);
    if (id == except || d.isAggregate || !d.config.alive) continue;
    if ((input ? d.config.inputChannels : d.config.outputChannels) > 0) return id;
  }
  return 0;
}

const World::Device* World::usableInputUnlocked(AudioObjectID id) const {
  const Device* d = findDeviceUnlocked(id);
  if (d == nullptr || d->isAggregate || !d->config.alive || d->config.inputChannels == 0) return nullptr;
  return d;
}

void World::notifyUnlocked(AudioObjectID object, const AudioObjectPropertyAddress& address, Effects& effects) {
  for (const auto& l : listeners_) {
    if (l.object != object || !addressMatches(l.address, address)) continue;
    effects.deliveries.push_back(
        Delivery{l.queue ? l.queue : notificationQueue_, [block = l.block, live = l.live, address] {
                   if (live->load()) (*block)(1, &address);
                 }});
  }
}

bool World::setDefaultUnlocked(AudioObjectID& slot, AudioObjectPropertySelector selector, AudioObjectID id,
                               Effects& effects) {
  if (slot == id) return false;
  slot = id;
  notifyUnlocked(kAudioObjectSystemObject, globalAddress(selector), effects);
  return true;
}

std::optional<OSStatus> World::takeFaultUnlocked(const std::string& call) {
  const uint64_t now = nowNs();
  for (auto& f : faults_) {
    if (f.config.call != call || now < f.config.afterNs || f.remaining == 0) continue;
    if (f.remaining > 0) --f.remaining;
    return f.config.status;
  }
  return std::nullopt;
}

AudioObjectID World::effectiveEngineDeviceUnlocked(const EngineCore& core) const {
  return core.explicitDevice.value_or(defaultInput_);
}

void World::stopEngineUnlocked(EngineCore& core, bool notify, Effects& effects) {
  if (!core.running) return;
  core.running = false;
  if (core.stream) {
    unregisterStreamUnlocked(core.stream);
    effects.streamsToStop.push_back(std::move(core.stream));
    core.stream.reset();
  }
  if (!notify) return;
  for (const auto& o : core.observers) {
    effects.deliveries.push_back(Delivery{o.queue ? o.queue : notificationQueue_, [h = o.handler, live = o.live] {
                                            if (live->load()) (*h)();
                                          }});
  }
}

void World::reconcileEnginesUnlocked(Effects& effects) {
  std::erase_if(engines_, [](const std::weak_ptr<EngineCore>& w) { return w.expired(); });
  for (auto& weak : engines_) {
    auto core = weak.lock();
    if (!core || !core->running) continue;
    const AudioObjectID id = effectiveEngineDeviceUnlocked(*core);
    const Device* d = usableInputUnlocked(id);
    const bool same = d != nullptr && id == core->boundDevice && d->config.nominalRate == core->boundRate &&
                      d->config.inputChannels == core->boundChannels;
    if (!same) stopEngineUnlocked(*core, true, effects);
  }
}

AudioObjectID World::clockDeviceUnlocked(AudioObjectID device) const {
  const Device* d = findDeviceUnlocked(device);
  return (d != nullptr && d->isAggregate) ? d->mainDevice : device;
}

void World::startStreamUnlocked(const std::shared_ptr<Stream>& stream, AudioObjectID clockDevice) {
  const Device* clock = findDeviceUnlocked(clockDevice);
  const double rate = (clock != nullptr && clock->config.rate() > 0) ? clock->config.rate() : 48000.0;
  const auto now = static_cast<double>(nowNs());
  stream->lastRate = rate;
  stream->nextDueNs = now + stream->frames() * 1e9 / rate;
  stream->nextFrameNs = now;
  stream->sampleTime = 0;
  streams_.push_back(stream);
  if (mode_.load() == ClockMode::realTime) stream->startThread(*this);
}

void World::unregisterStreamUnlocked(const std::shared_ptr<Stream>& stream) { std::erase(streams_, stream); }

bool World::isEchoTargetUnlocked(const Device& device) const {
  if (device.isAggregate || device.config.inputChannels == 0) return false;
  if (echo_.inputs.empty()) return device.config.transport == kAudioDeviceTransportTypeBuiltIn;
  if (!device.config.uid) return false;
  return std::find(echo_.inputs.begin(), echo_.inputs.end(), *device.config.uid) != echo_.inputs.end();
}

RenderSources World::sourcesUnlocked(AudioObjectID device) const {
  RenderSources r;
  const Device* d = findDeviceUnlocked(device);
  if (d == nullptr) return r;
  if (d->isAggregate) {
    // The tap hears what its main device plays, while the tap exists.
    const bool tapped = std::any_of(d->tapUIDs.begin(), d->tapUIDs.end(), [&](const std::string& uid) {
      return std::any_of(taps_.begin(), taps_.end(), [&](const auto& t) { return t.second.description.uuid == uid; });
    });
    const Device* main = findDeviceUnlocked(d->mainDevice);
    if (tapped && main != nullptr) r.primary = main->config.signal;
    return r;
  }
  r.primary = d->config.signal;
  if (echo_.enabled && isEchoTargetUnlocked(*d)) {
    const Device* out = findDeviceUnlocked(defaultOutput_);
    if (out != nullptr && out->config.alive) {
      r.hasEcho = true;
      r.echo = out->config.signal;
      r.echoDelaySec = echo_.delayMs / 1000.0;
      r.echoGain = echo_.gain;
    }
  }
  return r;
}

double World::nextDueOf(const Stream& stream) const {
  std::lock_guard lk(mu_);
  return stream.nextDueNs;
}

std::optional<Tick> World::prepareTick(Stream& s) {
  std::lock_guard lk(mu_);
  const Device* dev = findDeviceUnlocked(s.device());
  Device* clock = findDeviceUnlocked(clockDeviceUnlocked(s.device()));
  double rate = (clock != nullptr && clock->config.rate() > 0) ? clock->config.rate() : s.lastRate;
  if (!(rate > 0)) rate = 48000.0;
  s.lastRate = rate;
  const double frames = s.frames();
  const double period = frames * 1e9 / rate;
  const double due = s.nextDueNs;
  const auto now = static_cast<double>(nowNs());
  if (mode_.load() == ClockMode::realTime && now > due + kMaxLatenessNs) {
    const double missed = std::floor((now - due) / period);
    s.nextDueNs += missed * period;
    s.nextFrameNs = s.nextDueNs - period;
    s.sampleTime += missed * frames;
    return std::nullopt;
  }
  s.nextDueNs = due + period;
  Tick t;
  t.firstFrameNs = s.nextFrameNs;
  t.sampleTime = s.sampleTime;
  s.nextFrameNs = due;
  s.sampleTime += frames;
  const bool delivering = dev != nullptr && clock != nullptr && dev->config.alive && clock->config.alive &&
                          static_cast<double>(clock->stalledUntilNs) <= due;
  if (!delivering) return std::nullopt;
  t.dueNs = due;
  // A real device stamps its buffers only so exactly; the samples are
  // where they are whatever the stamp says.
  double stampNs = t.firstFrameNs;
  if (clock->config.timestampJitterMs > 0) {
    const double jitterNs = clock->config.timestampJitterMs * 1e6;
    stampNs += std::uniform_real_distribution<double>(-jitterNs, jitterNs)(clock->stampJitter);
  }
  t.hostTimeNs = hostTimeForNs(stampNs);
  t.rate = rate;
  t.frames = s.frames();
  t.sources = sourcesUnlocked(s.device());
  return t;
}

void World::advance(uint64_t ns) {
  if (mode_.load() != ClockMode::manual) return;
  std::lock_guard one(advanceMu_);
  const uint64_t target = manualNowNs_.load() + ns;
  for (;;) {
    std::shared_ptr<Stream> stream;
    std::optional<EventAction> action;
    {
      std::lock_guard lk(mu_);
      double best = static_cast<double>(target);
      bool found = false;
      if (!pendingEvents_.empty() && pendingEvents_.front().atNs <= target) {
        best = static_cast<double>(pendingEvents_.front().atNs);
        found = true;
      }
      for (const auto& s : streams_) {
        // Events win ties, so a device removed at t delivers nothing at t.
        if (s->nextDueNs <= static_cast<double>(target) && (!found || s->nextDueNs < best)) {
          best = s->nextDueNs;
          stream = s;
          found = true;
        }
      }
      if (!found) {
        manualNowNs_ = target;
        return;
      }
      manualNowNs_ = std::max(manualNowNs_.load(), static_cast<uint64_t>(best));
      if (!stream) {
        action = pendingEvents_.front().action;
        pendingEvents_.erase(pendingEvents_.begin());
      }
    }
    if (action) {
      applyEvent(*action);
    } else if (auto tick = prepareTick(*stream)) {
      stream->deliverGuarded(*tick);
    }
  }
}

// ---------------------------------------------------------------- world changes

AudioObjectID World::addDevice(const DeviceConfig& device) {
  Effects e;
  AudioObjectID id;
  {
    std::lock_guard lk(mu_);
    id = addDeviceUnlocked(device, e);
    // The first device of a kind becomes the default, as on the real system.
    const Device& d = devices_.at(id);
    if (d.config.alive && d.config.inputChannels > 0 && defaultInput_ == 0) {
      setDefaultUnlocked(defaultInput_, kAudioHardwarePropertyDefaultInputDevice, id, e);
    }
    if (d.config.alive && d.config.outputChannels > 0) {
      if (defaultOutput_ == 0) setDefaultUnlocked(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, id, e);
      if (defaultSystemOutput_ == 0) {
        setDefaultUnlocked(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice, id, e);
      }
    }
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return id;
}

bool World::removeDevice(AudioObjectID id) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    Device* d = findDeviceUnlocked(id);
    if (d == nullptr || d->isAggregate) return false;
    if (d->config.alive) notifyUnlocked(id, globalAddress(kAudioDevicePropertyDeviceIsAlive), e);
    devices_.erase(id);
    std::erase(deviceOrder_, id);
    notifyUnlocked(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), e);
    for (auto& [aid, agg] : devices_) {
      if (agg.isAggregate && agg.mainDevice == id && agg.config.alive) {
        agg.config.alive = false;
        notifyUnlocked(aid, globalAddress(kAudioDevicePropertyDeviceIsAlive), e);
      }
    }
    if (defaultInput_ == id) {
      setDefaultUnlocked(defaultInput_, kAudioHardwarePropertyDefaultInputDevice, firstDeviceUnlocked(true, id), e);
    }
    if (defaultOutput_ == id) {
      setDefaultUnlocked(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, firstDeviceUnlocked(false, id), e);
    }
    if (defaultSystemOutput_ == id) {
      setDefaultUnlocked(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice,
                         firstDeviceUnlocked(false, id), e);
    }
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return true;
}

bool World::setDefaultInput(AudioObjectID id) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    if (id != 0 && usableInputUnlocked(id) == nullptr) return false;
    setDefaultUnlocked(defaultInput_, kAudioHardwarePropertyDefaultInputDevice, id, e);
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return true;
}

bool World::setDefaultOutput(AudioObjectID id) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    const Device* d = findDeviceUnlocked(id);
    if (id != 0 && (d == nullptr || d->isAggregate || d->config.outputChannels == 0)) return false;
    setDefaultUnlocked(defaultOutput_, kAudioHardwarePropertyDefaultOutputDevice, id, e);
  }
  apply(std::move(e));
  return true;
}

bool World::setDefaultSystemOutput(AudioObjectID id) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    const Device* d = findDeviceUnlocked(id);
    if (id != 0 && (d == nullptr || d->isAggregate || d->config.outputChannels == 0)) return false;
    setDefaultUnlocked(defaultSystemOutput_, kAudioHardwarePropertyDefaultSystemOutputDevice, id, e);
  }
  apply(std::move(e));
  return true;
}

bool World::setNominalRate(AudioObjectID id, double rate) {
  if (!std::isfinite(rate) || rate <= 0) return false;
  Effects e;
  {
    std::lock_guard lk(mu_);
    Device* d = findDeviceUnlocked(id);
    if (d == nullptr) return false;
    if (d->config.nominalRate != rate) {
      d->config.nominalRate = rate;
      notifyUnlocked(id, globalAddress(kAudioDevicePropertyNominalSampleRate), e);
    }
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return true;
}

bool World::setActualRate(AudioObjectID id, double rate) {
  if (!std::isfinite(rate) || rate <= 0) return false;
  std::lock_guard lk(mu_);
  Device* d = findDeviceUnlocked(id);
  if (d == nullptr) return false;
  d->config.actualRate = rate;  // the device does not know it drifts: no notification
  return true;
}

bool World::setAlive(AudioObjectID id, bool alive) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    Device* d = findDeviceUnlocked(id);
    if (d == nullptr) return false;
    auto change = [&](AudioObjectID target, Device& dev) {
      if (dev.config.alive == alive) return;
      dev.config.alive = alive;
      notifyUnlocked(target, globalAddress(kAudioDevicePropertyDeviceIsAlive), e);
    };
    change(id, *d);
    if (!d->isAggregate) {
      for (auto& [aid, agg] : devices_) {
        if (agg.isAggregate && agg.mainDevice == id) change(aid, agg);
      }
    }
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return true;
}

bool World::setDataSource(AudioObjectID id, std::optional<uint32_t> dataSource) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    Device* d = findDeviceUnlocked(id);
    if (d == nullptr) return false;
    if (d->config.dataSource != dataSource) {
      d->config.dataSource = dataSource;
      notifyUnlocked(
          id, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain}, e);
    }
  }
  apply(std::move(e));
  return true;
}

bool World::stall(AudioObjectID id, uint64_t durationNs) {
  std::lock_guard lk(mu_);
  Device* d = findDeviceUnlocked(id);
  if (d == nullptr) return false;
  d->stalledUntilNs = nowNs() + durationNs;
  return true;
}

void World::setEcho(const EchoConfig& echo) {
  std::lock_guard lk(mu_);
  echo_ = echo;
}

void World::addFault(const FaultConfig& fault) {
  std::lock_guard lk(mu_);
  faults_.push_back(Fault{fault, fault.times});
}

void World::scheduleEvent(const ScriptedEvent& event) {
  {
    std::lock_guard lk(mu_);
    auto pos = std::upper_bound(pendingEvents_.begin(), pendingEvents_.end(), event.atNs,
                                [](uint64_t at, const ScriptedEvent& e) { return at < e.atNs; });
    pendingEvents_.insert(pos, event);
  }
  eventsCv_.notify_all();
}

AudioObjectID World::deviceIDForUID(const std::string& uid) const {
  std::lock_guard lk(mu_);
  return findByUIDUnlocked(uid);
}

void World::applyEvent(const EventAction& a) {
  using K = EventAction::Kind;
  if (a.kind == K::addDevice) {
    addDevice(a.newDevice);
    return;
  }
  const AudioObjectID id = a.device.empty() ? 0 : deviceIDForUID(a.device);
  const bool toNone = a.device.empty();
  if (id == 0 && !(toNone && (a.kind == K::setDefaultInput || a.kind == K::setDefaultOutput ||
                              a.kind == K::setDefaultSystemOutput))) {
    return;  // the device is gone already
  }
  switch (a.kind) {
    case K::addDevice:
      break;
    case K::removeDevice:
      removeDevice(id);
      break;
    case K::setDefaultInput:
      setDefaultInput(id);
      break;
    case K::setDefaultOutput:
      setDefaultOutput(id);
      break;
    case K::setDefaultSystemOutput:
      setDefaultSystemOutput(id);
      break;
    case K::setNominalRate:
      setNominalRate(id, a.rate);
      break;
    case K::setActualRate:
      setActualRate(id, a.rate);
      break;
    case K::setAlive:
      setAlive(id, a.alive);
      break;
    case K::setDataSource:
      setDataSource(id, a.dataSource);
      break;
    case K::stall:
      stall(id, a.durationNs);
      break;
  }
}

void World::startEventThreadUnlocked() {
  if (mode_.load() != ClockMode::realTime || eventThread_.joinable()) return;
  eventThread_ = dispatch::startNamedThread("sim-audio-events", [this] { eventThreadMain(); });
}

void World::eventThreadMain() {
  std::unique_lock lk(mu_);
  for (;;) {
    if (eventThreadStop_) return;
    if (pendingEvents_.empty()) {
      eventsCv_.wait(lk);
      continue;
    }
    const uint64_t at = pendingEvents_.front().atNs;
    const uint64_t now = nowNs();
    if (at > now) {
      eventsCv_.wait_for(lk, std::chrono::nanoseconds(at - now));
      continue;
    }
    const EventAction action = pendingEvents_.front().action;
    pendingEvents_.erase(pendingEvents_.begin());
    lk.unlock();
    applyEvent(action);
    lk.lock();
  }
}

// ---------------------------------------------------------------- properties

OSStatus World::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::optional<uint32_t> qualifier, PropertyValue& out) const {
  std::lock_guard lk(mu_);
  return readPropertyUnlocked(object, address, qualifier, out);
}

OSStatus World::readPropertyUnlocked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::optional<uint32_t> qualifier, PropertyValue& out) const {
  const uint32_t sel = address.selector;
  if (object == kAudioObjectSystemObject) {
    if (sel == kAudioHardwarePropertyDevices) {
      out = deviceOrder_;
    } else if (sel == kAudioHardwarePropertyDefaultInputDevice) {
      out = defaultInput_;
    } else if (sel == kAudioHardwarePropertyDefaultOutputDevice) {
      out = defaultOutput_;
    } else if (sel == kAudioHardwarePropertyDefaultSystemOutputDevice) {
      out = defaultSystemOutput_;
    } else if (sel == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      if (!qualifier) return kAudioHardwareBadPropertySizeError;
      const auto pid = static_cast<int32_t>(*qualifier);
      AudioObjectID obj = 0;
      if (auto it = processes_.find(pid); it != processes_.end()) {
        obj = it->second;
      } else if (processExists(pid)) {
        obj = allocateIDUnlocked();
        processes_[pid] = obj;
      }
      out = obj;
    } else {
      return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareNoError;
  }
  if (const Device* d = findDeviceUnlocked(object)) {
    const DeviceConfig& s = d->config;
    if (sel == kAudioDevicePropertyDeviceUID) {
      out = s.uid;
    } else if (sel == kAudioObjectPropertyName) {
      out = s.name;
    } else if (sel == kAudioDevicePropertyNominalSampleRate) {
      out = s.nominalRate;
    } else if (sel == kAudioDevicePropertyTransportType) {
      if (!s.transport) return kAudioHardwareUnknownPropertyError;
      out = *s.transport;
    } else if (sel == kAudioDevicePropertyDataSource) {
      if (address.scope != kAudioObjectPropertyScopeOutput || !s.dataSource) return kAudioHardwareUnknownPropertyError;
      out = *s.dataSource;
    } else if (sel == kAudioDevicePropertyDeviceIsAlive) {
      out = static_cast<uint32_t>(s.alive ? 1 : 0);
    } else if (sel == kAudioDevicePropertyStreams) {
      std::vector<AudioObjectID> ids;
      const bool in = address.scope == kAudioObjectPropertyScopeInput ||
                      address.scope == kAudioObjectPropertyScopeGlobal ||
                      address.scope == kAudioObjectPropertyScopeWildcard;
      const bool outScope = address.scope == kAudioObjectPropertyScopeOutput ||
                            address.scope == kAudioObjectPropertyScopeGlobal ||
                            address.scope == kAudioObjectPropertyScopeWildcard;
      if (in && d->inputStream != 0) ids.push_back(d->inputStream);
      if (outScope && d->outputStream != 0) ids.push_back(d->outputStream);
      out = ids;
    } else if (sel == kAudioDevicePropertyBufferFrameSize) {
      out = s.bufferFrames;
    } else {
      return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareNoError;
  }
  if (auto it = taps_.find(object); it != taps_.end()) {
    if (sel == kAudioTapPropertyUID) {
      out = std::optional<std::string>(it->second.description.uuid);
    } else if (sel == kAudioTapPropertyFormat) {
      out = it->second.format;
    } else if (sel == kAudioObjectPropertyName) {
      out = std::optional<std::string>(it->second.description.name);
    } else {
      return kAudioHardwareUnknownPropertyError;
    }
    return kAudioHardwareNoError;
  }
  for (const auto& [pid, obj] : processes_) {
    if (obj == object) return kAudioHardwareUnknownPropertyError;
  }
  return kAudioHardwareBadObjectError;
}

OSStatus World::addListener(AudioObjectID object, const AudioObjectPropertyAddress& address, dispatch::QueuePtr queue,
                            AudioObjectPropertyListenerBlock block, PropertyListenerID* outID) {
  if (!block || outID == nullptr) return kAudioHardwareIllegalOperationError;
  std::lock_guard lk(mu_);
  if (object != kAudioObjectSystemObject && findDeviceUnlocked(object) == nullptr && taps_.count(object) == 0) {
    return kAudioHardwareBadObjectError;
  }
  Listener l;
  l.id = nextListenerID_++;
  l.object = object;
  l.address = address;
  l.queue = std::move(queue);
  l.block = std::make_shared<AudioObjectPropertyListenerBlock>(std::move(block));
  l.live = std::make_shared<std::atomic<bool>>(true);
  *outID = l.id;
  listeners_.push_back(std::move(l));
  return kAudioHardwareNoError;
}

OSStatus World::removeListener(AudioObjectID object, PropertyListenerID id) {
  Effects e;  // releases the block after the lock
  std::lock_guard lk(mu_);
  auto it = std::find_if(listeners_.begin(), listeners_.end(),
                         [&](const Listener& l) { return l.id == id && l.object == object; });
  if (it == listeners_.end()) return kAudioHardwareIllegalOperationError;
  it->live->store(false);
  e.oldListeners.push_back(std::move(*it));
  listeners_.erase(it);
  return kAudioHardwareNoError;
}

// ---------------------------------------------------------------- taps and aggregates

OSStatus World::createProcessTap(const TapDescription& description, AudioObjectID* outID) {
  if (outID == nullptr) return kAudioHardwareIllegalOperationError;
  std::lock_guard lk(mu_);
  if (auto fault = takeFaultUnlocked(kFaultProcessTap)) return *fault;
  if (description.uuid.empty()) return kAudioHardwareIllegalOperationError;
  double rate = 48000;
  if (const Device* out = findDeviceUnlocked(defaultOutput_))
    rate = out->config.tapRate.value_or(out->config.nominalRate);
  const AudioObjectID id = allocateIDUnlocked();
  taps_[id] = Tap{description, floatStreamFormat(rate, description.mono ? 1 : 2)};
  *outID = id;
  return kAudioHardwareNoError;
}

OSStatus World::destroyProcessTap(AudioObjectID tap) {
  std::lock_guard lk(mu_);
  return taps_.erase(tap) != 0 ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus World::createAggregateDevice(const nlohmann::json& description, AudioObjectID* outID) {
  if (outID == nullptr) return kAudioHardwareIllegalOperationError;
  Effects e;
  {
    std::lock_guard lk(mu_);
    if (auto fault = takeFaultUnlocked(kFaultAggregateDevice)) return *fault;
    if (!description.is_object()) return kAudioHardwareIllegalOperationError;
    auto uid = description.find(kAudioAggregateDeviceUIDKey);
    if (uid == description.end() || !uid->is_string() || uid->get<std::string>().empty() ||
        findByUIDUnlocked(uid->get<std::string>()) != 0) {
      return kAudioHardwareIllegalOperationError;
    }
    std::string mainUID;
    if (auto m = description.find(kAudioAggregateDeviceMainSubDeviceKey); m != description.end() && m->is_string()) {
      mainUID = m->get<std::string>();
    } else if (auto subs = description.find(kAudioAggregateDeviceSubDeviceListKey);
               subs != description.end() && subs->is_array() && !subs->empty() && subs->front().is_object()) {
      mainUID = subs->front().value(kAudioSubDeviceUIDKey, std::string());
    }
    const AudioObjectID mainID = mainUID.empty() ? 0 : findByUIDUnlocked(mainUID);
    const Device* main = findDeviceUnlocked(mainID);
    if (main == nullptr || main->isAggregate) return kAudioHardwareBadDeviceError;
    std::vector<std::string> tapUIDs;
    uint32_t tapChannels = 0;
    if (auto taps = description.find(kAudioAggregateDeviceTapListKey); taps != description.end()) {
      if (!taps->is_array()) return kAudioHardwareIllegalOperationError;
      for (const auto& t : *taps) {
        if (!t.is_object()) return kAudioHardwareIllegalOperationError;
        const std::string tapUID = t.value(kAudioSubTapUIDKey, std::string());
        auto found = std::find_if(taps_.begin(), taps_.end(),
                                  [&](const auto& kv) { return kv.second.description.uuid == tapUID; });
        if (tapUID.empty() || found == taps_.end()) return kAudioHardwareIllegalOperationError;
        if (tapUIDs.empty()) tapChannels = found->second.format.channelsPerFrame;
        tapUIDs.push_back(tapUID);
      }
    }
    DeviceConfig made;
    made.uid = uid->get<std::string>();
    made.name = description.value(kAudioAggregateDeviceNameKey, std::string());
    made.transport = kAudioDeviceTransportTypeAggregate;
    made.nominalRate = main->config.aggregateRate.value_or(main->config.nominalRate);
    made.inputChannels = tapChannels;
    made.alive = main->config.alive;
    made.bufferFrames = main->config.bufferFrames;
    const AudioObjectID id = addDeviceUnlocked(made, e);
    Device& agg = devices_.at(id);
    agg.isAggregate = true;
    agg.mainDevice = mainID;
    agg.tapUIDs = std::move(tapUIDs);
    *outID = id;
  }
  apply(std::move(e));
  return kAudioHardwareNoError;
}

OSStatus World::destroyAggregateDevice(AudioObjectID device) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    const Device* d = findDeviceUnlocked(device);
    if (d == nullptr) return kAudioHardwareBadObjectError;
    if (!d->isAggregate) return kAudioHardwareIllegalOperationError;
    for (auto it = ioProcs_.begin(); it != ioProcs_.end();) {
      if (it->second.device == device) {
        if (it->second.stream) {
          unregisterStreamUnlocked(it->second.stream);
          e.streamsToStop.push_back(std::move(it->second.stream));
        }
        it = ioProcs_.erase(it);
      } else {
        ++it;
      }
    }
    devices_.erase(device);
    std::erase(deviceOrder_, device);
    notifyUnlocked(kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices), e);
  }
  apply(std::move(e));
  return kAudioHardwareNoError;
}

// ---------------------------------------------------------------- IO procs

OSStatus World::createIOProc(AudioObjectID device, AudioDeviceIOProc proc, void* client, AudioDeviceIOProcID* outID) {
  if (proc == nullptr || outID == nullptr) return kAudioHardwareIllegalOperationError;
  std::lock_guard lk(mu_);
  if (auto fault = takeFaultUnlocked(kFaultIOProc)) return *fault;
  if (findDeviceUnlocked(device) == nullptr) return kAudioHardwareBadDeviceError;
  const AudioDeviceIOProcID id = nextIOProcID_++;
  ioProcs_[id] = IOProc{device, proc, client, nullptr};
  *outID = id;
  return kAudioHardwareNoError;
}

OSStatus World::destroyIOProc(AudioObjectID device, AudioDeviceIOProcID id) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    auto it = ioProcs_.find(id);
    if (it == ioProcs_.end() || it->second.device != device) return kAudioHardwareIllegalOperationError;
    if (it->second.stream) {
      unregisterStreamUnlocked(it->second.stream);
      e.streamsToStop.push_back(std::move(it->second.stream));
    }
    ioProcs_.erase(it);
  }
  apply(std::move(e));
  return kAudioHardwareNoError;
}

OSStatus World::startIOProc(AudioObjectID device, AudioDeviceIOProcID id) {
  std::lock_guard lk(mu_);
  const Device* d = findDeviceUnlocked(device);
  if (d == nullptr) return kAudioHardwareBadDeviceError;
  if (id == 0) return kAudioHardwareNoError;
  auto it = ioProcs_.find(id);
  if (it == ioProcs_.end() || it->second.device != device) return kAudioHardwareIllegalOperationError;
  if (auto fault = takeFaultUnlocked(kFaultDeviceStart)) return *fault;
  const AudioObjectID clockID = clockDeviceUnlocked(device);
  const Device* clock = findDeviceUnlocked(clockID);
  if (clock == nullptr || !clock->config.alive || !d->config.alive) return kAudioHardwareNotRunningError;
  if (it->second.stream) return kAudioHardwareNoError;
  auto stream = std::make_shared<IOProcStream>(device, std::max<uint32_t>(1, clock->config.bufferFrames),
                                               d->config.inputChannels, it->second.proc, it->second.client);
  it->second.stream = stream;
  startStreamUnlocked(stream, clockID);
  return kAudioHardwareNoError;
}

OSStatus World::stopIOProc(AudioObjectID device, AudioDeviceIOProcID id) {
  std::shared_ptr<Stream> stream;
  {
    std::lock_guard lk(mu_);
    if (id == 0) return findDeviceUnlocked(device) ? kAudioHardwareNoError : kAudioHardwareBadDeviceError;
    auto it = ioProcs_.find(id);
    if (it == ioProcs_.end() || it->second.device != device) return kAudioHardwareIllegalOperationError;
    stream = std::move(it->second.stream);
    it->second.stream.reset();
    if (stream) unregisterStreamUnlocked(stream);
  }
  if (stream) stream->stop();
  return kAudioHardwareNoError;
}

// ---------------------------------------------------------------- engines

std::shared_ptr<EngineCore> World::createEngine() {
  auto core = std::make_shared<EngineCore>();
  std::lock_guard lk(mu_);
  engines_.push_back(core);
  return core;
}

void World::destroyEngine(const std::shared_ptr<EngineCore>& core) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    stopEngineUnlocked(*core, false, e);
    core->tapInstalled = false;
    if (core->tapBlock) e.oldTapBlocks.push_back(std::move(core->tapBlock));
    for (auto& o : core->observers) {
      o.live->store(false);
      e.oldObservers.push_back(std::move(o));
    }
    core->observers.clear();
    std::erase_if(engines_, [&](const std::weak_ptr<EngineCore>& w) {
      auto p = w.lock();
      return !p || p == core;
    });
  }
  apply(std::move(e));
}

AudioFormat World::engineInputFormat(const EngineCore& core) const {
  std::lock_guard lk(mu_);
  if (const Device* d = usableInputUnlocked(effectiveEngineDeviceUnlocked(core))) {
    return AudioFormat(CommonFormat::pcmFloat32, d->config.nominalRate, d->config.inputChannels, false);
  }
  return AudioFormat(CommonFormat::pcmFloat32, 0, 0, false);
}

uint32_t World::engineMaximumFrames(const EngineCore& core) const {
  std::lock_guard lk(mu_);
  const Device* d = findDeviceUnlocked(effectiveEngineDeviceUnlocked(core));
  return d != nullptr ? d->config.bufferFrames : 512;
}

AudioObjectID World::engineCurrentDevice(const EngineCore& core) const {
  std::lock_guard lk(mu_);
  return effectiveEngineDeviceUnlocked(core);
}

OSStatus World::engineSetCurrentDevice(EngineCore& core, AudioObjectID device) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    if (auto fault = takeFaultUnlocked(kFaultSetInputDevice)) return *fault;
    if (usableInputUnlocked(device) == nullptr) return kAudioHardwareBadDeviceError;
    core.explicitDevice = device;
    reconcileEnginesUnlocked(e);
  }
  apply(std::move(e));
  return kAudioHardwareNoError;
}

bool World::engineInstallTap(EngineCore& core, uint32_t frames, const std::optional<AudioFormat>& format,
                             AudioNodeTapBlock block) {
  if (!block || frames > kMaxTapFrames) return false;
  frames = std::max<uint32_t>(1, frames);
  if (format) {
    if (format->commonFormat() != CommonFormat::pcmFloat32 ||
        !AudioFormat::make(format->commonFormat(), format->sampleRate(), format->channelCount(),
                           format->isInterleaved())) {
      return false;
    }
  }
  auto shared = std::make_shared<AudioNodeTapBlock>(std::move(block));
  std::lock_guard lk(mu_);
  if (core.tapInstalled) return false;
  if (format) {
    const Device* d = usableInputUnlocked(effectiveEngineDeviceUnlocked(core));
    const double rate = core.running ? core.boundRate : (d != nullptr ? d->config.nominalRate : 0);
    if (rate > 0 && format->sampleRate() != rate) return false;
  }
  core.tapInstalled = true;
  core.tapFrames = frames;
  core.tapFormat = format;
  core.tapBlock = shared;
  if (core.running) {
    const AudioFormat f = core.tapFormat
                              ? AudioFormat(CommonFormat::pcmFloat32, core.boundRate, core.tapFormat->channelCount(),
                                            core.tapFormat->isInterleaved())
                              : AudioFormat(CommonFormat::pcmFloat32, core.boundRate, core.boundChannels, false);
    auto buffer = PCMBuffer::make(f, frames);
    if (!buffer) {
      core.tapInstalled = false;
      return false;
    }
    core.stream = std::make_shared<TapStream>(core.boundDevice, frames, std::move(buffer), shared);
    startStreamUnlocked(core.stream, core.boundDevice);
  }
  return true;
}

void World::engineRemoveTap(EngineCore& core) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    core.tapInstalled = false;
    if (core.stream) {
      unregisterStreamUnlocked(core.stream);
      e.streamsToStop.push_back(std::move(core.stream));
      core.stream.reset();
    }
    if (core.tapBlock) e.oldTapBlocks.push_back(std::move(core.tapBlock));
  }
  apply(std::move(e));
}

bool World::engineStart(EngineCore& core, std::string* error) {
  std::lock_guard lk(mu_);
  if (core.running) return true;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (auto fault = takeFaultUnlocked(kFaultEngineStart)) {
    return fail("audio engine start failed: error " + std::to_string(*fault));
  }
  const AudioObjectID id = effectiveEngineDeviceUnlocked(core);
  const Device* d = usableInputUnlocked(id);
  if (d == nullptr) {
    return fail("audio engine start failed: no input device (error " + std::to_string(kAudioHardwareBadDeviceError) +
                ")");
  }
  std::unique_ptr<PCMBuffer> buffer;
  if (core.tapInstalled) {
    const AudioFormat f =
        core.tapFormat ? AudioFormat(CommonFormat::pcmFloat32, d->config.nominalRate, core.tapFormat->channelCount(),
                                     core.tapFormat->isInterleaved())
                       : AudioFormat(CommonFormat::pcmFloat32, d->config.nominalRate, d->config.inputChannels, false);
    buffer = PCMBuffer::make(f, core.tapFrames);
    if (!buffer) return fail("audio engine start failed: cannot allocate the tap buffer");
  }
  core.running = true;
  core.boundDevice = id;
  core.boundRate = d->config.nominalRate;
  core.boundChannels = d->config.inputChannels;
  if (core.tapInstalled) {
    core.stream = std::make_shared<TapStream>(id, core.tapFrames, std::move(buffer), core.tapBlock);
    startStreamUnlocked(core.stream, id);
  }
  return true;
}

void World::engineStop(EngineCore& core, bool forgetDevice) {
  Effects e;
  {
    std::lock_guard lk(mu_);
    stopEngineUnlocked(core, false, e);
    if (forgetDevice) core.boundDevice = 0;
  }
  apply(std::move(e));
}

bool World::engineIsRunning(const EngineCore& core) const {
  std::lock_guard lk(mu_);
  return core.running;
}

uint64_t World::engineAddObserver(EngineCore& core, dispatch::QueuePtr queue, std::function<void()> handler) {
  EngineCore::Observer o;
  o.queue = std::move(queue);
  o.handler = std::make_shared<std::function<void()>>(std::move(handler));
  o.live = std::make_shared<std::atomic<bool>>(true);
  std::lock_guard lk(mu_);
  o.id = core.nextObserverID++;
  core.observers.push_back(std::move(o));
  return core.observers.back().id;
}

void World::engineRemoveObserver(EngineCore& core, uint64_t id) {
  Effects e;
  std::lock_guard lk(mu_);
  auto it = std::find_if(core.observers.begin(), core.observers.end(),
                         [&](const EngineCore::Observer& o) { return o.id == id; });
  if (it == core.observers.end()) return;
  it->live->store(false);
  e.oldObservers.push_back(std::move(*it));
  core.observers.erase(it);
}

}  // namespace platform::audio::sim
