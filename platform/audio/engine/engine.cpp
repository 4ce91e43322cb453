#include "platform/audio/engine/engine.h"

#include "platform/audio/sim/world.h"

namespace platform::audio {
namespace {
sim::World& world() { return sim::World::shared(); }
}  // namespace

hal::OSStatus AudioUnit::setCurrentDevice(hal::AudioObjectID device) {
  return world().engineSetCurrentDevice(*core_, device);
}

hal::AudioObjectID AudioUnit::currentDevice() const { return world().engineCurrentDevice(*core_); }

uint32_t AudioUnit::maximumFramesToRender() const { return world().engineMaximumFrames(*core_); }

AudioFormat InputNode::inputFormat(uint32_t bus) const {
  if (bus != 0) return AudioFormat();
  return world().engineInputFormat(*core_);
}

AudioFormat InputNode::outputFormat(uint32_t bus) const { return inputFormat(bus); }

bool InputNode::installTap(uint32_t bus, uint32_t bufferSize, const std::optional<AudioFormat>& format,
                           AudioNodeTapBlock block) {
  if (bus != 0) return false;
  return world().engineInstallTap(*core_, bufferSize, format, std::move(block));
}

void InputNode::removeTap(uint32_t bus) {
  if (bus == 0) world().engineRemoveTap(*core_);
}

AudioEngine::AudioEngine() : core_(world().createEngine()), input_(core_.get()) {}

AudioEngine::~AudioEngine() { world().destroyEngine(core_); }

void AudioEngine::prepare() {}

bool AudioEngine::start(std::string* errorDescription) { return world().engineStart(*core_, errorDescription); }

void AudioEngine::stop() { world().engineStop(*core_, false); }

void AudioEngine::reset() { world().engineStop(*core_, true); }

bool AudioEngine::isRunning() const { return world().engineIsRunning(*core_); }

AudioEngine::ObserverToken AudioEngine::addConfigurationChangeObserver(dispatch::QueuePtr queue,
                                                                       std::function<void()> handler) {
  return world().engineAddObserver(*core_, std::move(queue), std::move(handler));
}

void AudioEngine::removeConfigurationChangeObserver(ObserverToken token) {
  world().engineRemoveObserver(*core_, token);
}

}  // namespace platform::audio
