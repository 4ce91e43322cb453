#pragma once
// What both offline modes share: the blocking asset loads, their one error
// type, the linear-PCM settings and the output container.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/media/media.h"

namespace helper {

// The one load error the modes tell apart from the platform's own.
class HelperAssetLoadError : public std::exception {
 public:
  enum class Case { noAudioTrack };
  explicit HelperAssetLoadError(Case c = Case::noAudioTrack) : case_(c) {}
  Case value() const { return case_; }
  const char* what() const noexcept override { return "No audio track"; }
  bool operator==(const HelperAssetLoadError& other) const { return case_ == other.case_; }

 private:
  Case case_;
};

struct PCMDecodeSettings {
  int64_t rate = 0;
  int64_t channels = 0;
  // 32-bit float, little-endian, interleaved linear PCM.
  platform::media::AudioSettings readerOutputSettings() const;
};

// Named for the rail it once fed; the bit rate enters nothing and the
// format is the same float PCM as the decode settings.
struct AACRailSettings {
  int64_t rate = 0;
  int64_t channels = 0;
  int64_t bitrate = 0;
  platform::media::AudioSettings writerOutputSettings() const;
};

// Each blocks the caller until the platform's load has finished and throws
// what the platform reported.
bool loadAssetIsPlayable(const std::shared_ptr<platform::media::Asset>& asset);
platform::media::MediaTime loadAssetDuration(const std::shared_ptr<platform::media::Asset>& asset);
// The first audio track listed; throws HelperAssetLoadError when there is none.
platform::media::AssetTrack loadFirstAudioTrack(const std::shared_ptr<platform::media::Asset>& asset);

// The full textual rendering of an error caught as `std::exception`.
std::string describeError(const std::exception& error);

// True when a file exists at `outPath` that is one of `inputs` (same device
// and inode), so removing it would destroy what is about to be read.
bool outputIsAnInput(const std::string& outPath, const std::vector<std::string>& inputs);

}  // namespace helper
