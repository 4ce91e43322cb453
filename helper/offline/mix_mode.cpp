// Mix mode: a mic file and a system file mixed with their gains into one
// QuickTime movie of float PCM, or the one given input copied unchanged.
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/offline/asset_loading.h"
#include "helper/offline/copy_loop.h"
#include "helper/offline/offline_modes.h"
#include "helper/offline/staged_output.h"
#include "helper/thread_annotations.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

namespace media = platform::media;
namespace dispatch = platform::dispatch;

namespace {

constexpr uint64_t kProgressIntervalNs = 500'000'000ULL;
constexpr uint64_t kPumpTimeoutNs = 30'000'000'000ULL;
constexpr uint64_t kFinishTimeoutNs = 10'000'000'000ULL;
constexpr uint64_t kFinishAfterFailureTimeoutNs = 5'000'000'000ULL;

Event progressEvent(int64_t done, int64_t total) {
  return Event{{"type", "progress"}, {"done_frames", done}, {"total_frames", total}};
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A gain that is not a finite number would fill the output with NaN.
float usableGain(float gain) { return std::isfinite(gain) ? gain : 1.0f; }

int64_t framesAtOutputRate(const media::MediaTime& duration, int64_t outputRate) {
  const int64_t frames = duration.framesAt(outputRate);
  return frames < 0 ? 0 : frames;
}

[[noreturn]] void succeed(StagedOutput& staged, const std::string& outPath, int64_t doneFrames, int64_t totalFrames) {
  if (const auto error = staged.commit())
    exitWithError("writer_failed", "Cannot move the output to " + outPath + ": " + *error);
  emitEvent(progressEvent(doneFrames, totalFrames));
  gEventBus.flushAndStop();
  std::_Exit(0);
}

struct PumpState {
  dispatch::Semaphore completion{0};
  std::mutex counterLock;
  int64_t doneFrames VR_GUARDED_BY(counterLock) = 0;
  std::mutex failureLock;
  std::optional<std::string> failure VR_GUARDED_BY(failureLock);

  int64_t done() {
    std::lock_guard<std::mutex> hold(counterLock);
    return doneFrames;
  }
};

// Moves sample buffers from the reader to the writer on a queue of its own;
// returns the frames appended once the writer has completed. Every failure
// ends the process here.
int64_t pumpReaderToWriter(const std::shared_ptr<media::AssetReader>& reader,
                           const std::shared_ptr<media::ReaderOutput>& readerOutput,
                           const std::shared_ptr<media::AssetWriter>& writer, media::WriterInput* writerInput,
                           int64_t totalFrames, const std::string& label) {
  const dispatch::QueuePtr queue = dispatch::makeSerialQueue("tasmerig.mix." + label + ".writer");
  auto state = std::make_shared<PumpState>();
  dispatch::Timer progress(
      dispatch::globalQueue(dispatch::Qos::utility), kProgressIntervalNs,
      [state, totalFrames] { emitEvent(progressEvent(state->done(), totalFrames)); }, 0);

  writerInput->requestMediaDataWhenReady(queue, [state, reader, readerOutput, writer, writerInput] {
    if (!writerInput->isReadyForMoreMediaData()) return;
    for (;;) {
      const media::ReaderStatus status = reader->status();
      if (status == media::ReaderStatus::failed) {
        {
          std::lock_guard<std::mutex> hold(state->failureLock);
          state->failure = "reader_failed: " + reader->errorDescription();
        }
        writerInput->markAsFinished();
        state->completion.signal();
        return;
      }
      if (status != media::ReaderStatus::reading) {
        writerInput->markAsFinished();
        state->completion.signal();
        return;
      }
      std::optional<media::SampleBuffer> buffer = readerOutput->copyNextSampleBuffer();
      if (!buffer) {
        // A read error shows in the status: report it as the reader's failure.
        if (reader->status() == media::ReaderStatus::failed) continue;
        writerInput->markAsFinished();
        state->completion.signal();
        return;
      }
      if (!writerInput->append(*buffer)) {
        {
          std::lock_guard<std::mutex> hold(state->failureLock);
          state->failure = "writer_append_failed: " + writer->errorDescription();
        }
        writerInput->markAsFinished();
        state->completion.signal();
        return;
      }
      {
        std::lock_guard<std::mutex> hold(state->counterLock);
        state->doneFrames += buffer->numSamples;
      }
      if (!writerInput->isReadyForMoreMediaData()) return;
    }
  });

  if (!state->completion.waitForNs(kPumpTimeoutNs)) {
    reader->cancelReading();
    writer->cancelWriting();
    progress.cancel();
    exitWithError(
        "mix_pump_timeout",
        "Pump did not complete within 30s (reader.status=" + std::to_string(static_cast<int>(reader->status())) +
            ", writer.status=" + std::to_string(static_cast<int>(writer->status())) + ")");
  }
  std::optional<std::string> failure;
  {
    std::lock_guard<std::mutex> hold(state->failureLock);
    failure = state->failure;
  }
  if (failure) {
    finishWritingWithin(*writer, kFinishAfterFailureTimeoutNs);
    progress.cancel();
    exitWithError("mix_pump_failed", *failure);
  }
  if (!finishWritingWithin(*writer, kFinishTimeoutNs)) {
    writer->cancelWriting();
    progress.cancel();
    exitWithError("writer_finish_timeout", "finishWriting did not complete in 10s (status=" +
                                               std::to_string(static_cast<int>(writer->status())) + ")");
  }
  progress.cancel();
  if (writer->status() != media::WriterStatus::completed)
    exitWithError("writer_failed", "finishWriting failed: " + writer->errorDescription() +
                                       " (status=" + std::to_string(static_cast<int>(writer->status())) + ")");
  return state->done();
}

// The writer writes under a temporary name that `staged` renames over
// outPath once the file is whole, so concurrent runs on one output never
// write into one file.
std::shared_ptr<media::AssetWriter> createWriter(const std::string& outPath,
                                                 const std::optional<media::AudioSettings>& settings,
                                                 std::unique_ptr<StagedOutput>& staged, media::WriterInput*& input) {
  std::shared_ptr<media::AssetWriter> writer;
  try {
    staged = std::make_unique<StagedOutput>(outPath);
    writer = media::AssetWriter::create(staged->writePath(), kAudioWriterFileType);
  } catch (const std::exception& e) {
    exitWithError("writer_failed", "Cannot create AVAssetWriter: " + describeError(e));
  }
  if (!writer->canAddInput(settings)) exitWithError("writer_failed", "Cannot add audio input to writer");
  input = writer->addInput(settings);
  return writer;
}

void startReaderAndWriter(media::AssetReader& reader, media::AssetWriter& writer) {
  if (!reader.startReading())
    exitWithError("reader_failed", "AVAssetReader failed to start: " + reader.errorDescription());
  if (!writer.startWriting())
    exitWithError("writer_failed", "AVAssetWriter failed to start: " + writer.errorDescription());
  writer.startSession(media::MediaTime::zero());
}

// One input: its audio copied as it is; neither gains nor output settings apply.
[[noreturn]] void mixSingleSource(const std::shared_ptr<media::Asset>& asset, const std::string& outPath,
                                  const media::AudioSettings&, const MixConfig& config) {
  media::AssetTrack track;
  media::MediaTime duration;
  try {
    track = loadFirstAudioTrack(asset);
    duration = loadAssetDuration(asset);
  } catch (const std::exception& e) {
    exitWithError("reader_failed", "Cannot load single-source input: " + describeError(e));
  }
  std::shared_ptr<media::AssetReader> reader;
  try {
    reader = media::AssetReader::create(asset);
  } catch (const std::exception& e) {
    exitWithError("reader_failed", "Cannot create AVAssetReader: " + describeError(e));
  }
  const std::shared_ptr<media::ReaderOutput> output = media::ReaderOutput::trackOutput(track);
  if (!reader->canAddOutput(*output)) exitWithError("reader_failed", "Cannot add track output to reader");
  reader->addOutput(output);
  media::WriterInput* input = nullptr;
  std::unique_ptr<StagedOutput> staged;
  const std::shared_ptr<media::AssetWriter> writer = createWriter(outPath, std::nullopt, staged, input);
  const int64_t totalFrames = framesAtOutputRate(duration, config.outputRate);
  startReaderAndWriter(*reader, *writer);
  const int64_t doneFrames = pumpReaderToWriter(reader, output, writer, input, totalFrames, "single");
  succeed(*staged, outPath, doneFrames, totalFrames);
}

// Both inputs: decoded, scaled by their gains, summed and written as float PCM.
[[noreturn]] void mixReaderWriter(const std::shared_ptr<media::Composition>& composition,
                                  const media::AudioMix& audioMix, const std::string& outPath,
                                  const media::AudioSettings& outputSettings, const MixConfig& config) {
  std::shared_ptr<media::AssetReader> reader;
  try {
    reader = media::AssetReader::create(composition);
  } catch (const std::exception& e) {
    exitWithError("reader_failed", "Cannot create AVAssetReader: " + describeError(e));
  }
  const media::AudioSettings settings =
      PCMDecodeSettings{config.outputRate, config.outputChannels}.readerOutputSettings();
  const std::shared_ptr<media::ReaderOutput> output =
      media::ReaderOutput::audioMixOutput(*composition, settings, audioMix);
  if (!reader->canAddOutput(*output)) exitWithError("reader_failed", "Cannot add audio mix output to reader");
  reader->addOutput(output);
  media::WriterInput* input = nullptr;
  std::unique_ptr<StagedOutput> staged;
  const std::shared_ptr<media::AssetWriter> writer = createWriter(outPath, outputSettings, staged, input);
  const int64_t totalFrames = framesAtOutputRate(composition->duration(), config.outputRate);
  startReaderAndWriter(*reader, *writer);
  const int64_t doneFrames = pumpReaderToWriter(reader, output, writer, input, totalFrames, "mixed");
  succeed(*staged, outPath, doneFrames, totalFrames);
}

}  // namespace

void runMix(const MixConfig& config) {
  if (config.micPath && !fileExists(*config.micPath))
    exitWithError("input_not_found", "Mic input not found: " + *config.micPath);
  if (config.systemPath && !fileExists(*config.systemPath))
    exitWithError("input_not_found", "System input not found: " + *config.systemPath);

  std::shared_ptr<media::Asset> mic = config.micPath ? media::Asset::open(*config.micPath) : nullptr;
  std::shared_ptr<media::Asset> system = config.systemPath ? media::Asset::open(*config.systemPath) : nullptr;

  std::vector<std::string> inputs;
  if (config.micPath) inputs.push_back(*config.micPath);
  if (config.systemPath) inputs.push_back(*config.systemPath);
  // Removing the output must never destroy an input.
  if (outputIsAnInput(config.outPath, inputs))
    exitWithError("writer_failed", "Output path is an input: " + config.outPath);
  std::remove(config.outPath.c_str());

  const media::AudioSettings outputSettings =
      AACRailSettings{config.outputRate, config.outputChannels, config.outputBitrate}.writerOutputSettings();
  if (!mic || !system) mixSingleSource(mic ? mic : system, config.outPath, outputSettings, config);

  auto composition = std::make_shared<media::Composition>();
  struct Input {
    const std::shared_ptr<media::Asset>& asset;
    const char* name;
    float gain;
  };
  const Input both[] = {{mic, "mic", usableGain(config.micGain)}, {system, "system", usableGain(config.systemGain)}};
  media::AudioMix audioMix;
  for (const Input& in : both) {
    media::AssetTrack track;
    media::MediaTime duration;
    try {
      track = loadFirstAudioTrack(in.asset);
      duration = loadAssetDuration(in.asset);
    } catch (const HelperAssetLoadError&) {
      emitWarning("mix_no_audio_track", std::string("Skipping ") + in.name + " input with no audio track");
      continue;
    } catch (const std::exception& e) {
      exitWithError("composition_failed", std::string("Failed to load ") + in.name + " track: " + describeError(e));
    }
    media::CompositionTrack* compositionTrack = composition->addMutableTrack();
    if (compositionTrack == nullptr)
      exitWithError("composition_failed", std::string("Cannot add ") + in.name + " track to composition");
    try {
      compositionTrack->insertTimeRange(media::MediaTime::zero(), duration, track, media::MediaTime::zero());
    } catch (const std::exception& e) {
      exitWithError("composition_failed", std::string("Failed to insert ") + in.name + " track: " + describeError(e));
    }
    media::AudioMixInputParameters parameters;
    parameters.track = compositionTrack;
    parameters.setVolume(in.gain, media::MediaTime::zero());
    audioMix.inputParameters.push_back(parameters);
  }
  mixReaderWriter(composition, audioMix, config.outPath, outputSettings, config);
}

}  // namespace helper
