// The offline modes' media layer on a file of any bytes: probe, duration
// and first track; the file twice end to end in a composition, copied as
// concat copies it; and decoded with itself as mix decodes its inputs.
#include <memory>

#include "platform/media/media.h"
#include "tests/fuzz/fuzz_support.h"

namespace media = platform::media;

namespace {

// A file may claim any length: a bounded number of buffers, enough for a
// copy to cross from the first file into the second.
void drain(const std::shared_ptr<const media::Composition>& composition,
           const std::shared_ptr<media::ReaderOutput>& output, int buffers) {
  auto reader = media::AssetReader::create(composition);
  if (!reader->canAddOutput(*output)) return;
  reader->addOutput(output);
  if (!reader->startReading()) return;
  for (int i = 0; i < buffers && output->copyNextSampleBuffer(); ++i) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = fuzzsupport::scratchDir() / "input";
  fuzzsupport::writeFile(path, fuzzsupport::text(data, size));
  const auto asset = media::Asset::open(path);
  media::MediaTime duration;
  media::AssetTrack track;
  try {
    (void)asset->loadIsPlayable();
    duration = asset->loadDuration();
    const auto tracks = asset->loadAudioTracks();
    if (tracks.empty()) return 0;
    track = tracks[0];
  } catch (const media::MediaError&) {
    return 0;
  }

  try {
    auto copied = std::make_shared<media::Composition>();
    media::CompositionTrack* joined = copied->addMutableTrack();
    joined->insertTimeRange(media::MediaTime::zero(), duration, track, media::MediaTime::zero());
    joined->insertTimeRange(media::MediaTime::zero(), duration, track, joined->end());
    drain(copied, media::ReaderOutput::trackOutput(*joined), 64);
  } catch (const media::MediaError&) {
  }

  try {
    auto mixed = std::make_shared<media::Composition>();
    media::AudioMix mix;
    for (const float volume : {0.5f, 2.0f}) {
      media::CompositionTrack* t = mixed->addMutableTrack();
      t->insertTimeRange(media::MediaTime::zero(), duration, track, media::MediaTime::zero());
      mix.inputParameters.push_back({t, volume});
    }
    media::AudioSettings settings;
    settings.sampleRate = 48000;
    settings.numberOfChannels = 2;
    drain(mixed, media::ReaderOutput::audioMixOutput(*mixed, settings, mix), 4);
  } catch (const media::MediaError&) {
  }
  return 0;
}
