#include "helper/offline/asset_loading.h"

#include <sys/stat.h>

#include "helper/core/await/blocking_await.h"

namespace helper {

namespace media = platform::media;

media::AudioSettings PCMDecodeSettings::readerOutputSettings() const {
  media::AudioSettings s;
  s.formatID = media::kAudioFormatLinearPCM;
  s.sampleRate = rate;
  s.numberOfChannels = channels;
  s.linearPCMBitDepth = 32;
  s.linearPCMIsFloat = true;
  s.linearPCMIsBigEndian = false;
  s.linearPCMIsNonInterleaved = false;
  return s;
}

media::AudioSettings AACRailSettings::writerOutputSettings() const {
  return PCMDecodeSettings{rate, channels}.readerOutputSettings();
}

bool loadAssetIsPlayable(const std::shared_ptr<media::Asset>& asset) {
  return blockingAwait<bool>([asset] { return asset->loadIsPlayable(); });
}

media::MediaTime loadAssetDuration(const std::shared_ptr<media::Asset>& asset) {
  return blockingAwait<media::MediaTime>([asset] { return asset->loadDuration(); });
}

media::AssetTrack loadFirstAudioTrack(const std::shared_ptr<media::Asset>& asset) {
  std::vector<media::AssetTrack> tracks =
      blockingAwait<std::vector<media::AssetTrack>>([asset] { return asset->loadAudioTracks(); });
  if (tracks.empty()) throw HelperAssetLoadError(HelperAssetLoadError::Case::noAudioTrack);
  return tracks.front();
}

std::string describeError(const std::exception& error) { return error.what(); }

bool outputIsAnInput(const std::string& outPath, const std::vector<std::string>& inputs) {
  struct stat out {};
  if (::stat(outPath.c_str(), &out) != 0) return false;
  for (const std::string& input : inputs) {
    struct stat in {};
    if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) return true;
  }
  return false;
}

}  // namespace helper
