// Concat mode: one source's segments, in manifest order, copied unchanged
// into one QuickTime movie.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "helper/core/bus/event_bus.h"
#include "helper/core/entry/globals.h"
#include "helper/core/entry/process.h"
#include "helper/core/entry/scoped_fd.h"
#include "helper/offline/asset_loading.h"
#include "helper/offline/concat_manifest.h"
#include "helper/offline/copy_loop.h"
#include "helper/offline/offline_modes.h"
#include "helper/offline/staged_output.h"
#include "platform/dispatch/dispatch.h"

namespace helper {

namespace media = platform::media;
namespace dispatch = platform::dispatch;

namespace {

constexpr uint64_t kProgressIntervalNs = 500'000'000ULL;

Event progressEvent(int64_t done, int64_t total) {
  return Event{{"type", "progress"}, {"done_frames", done}, {"total_frames", total}};
}

// Opened without blocking and read only when it is a regular file: a FIFO
// or a device would otherwise hold the run for ever, and a directory reads
// as nothing at all.
std::string readManifest(const std::string& path) {
  const auto fail = [&path] { exitWithError("manifest_read_failed", "Cannot read manifest at " + path); };
  const ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) fail();
  std::string text;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail();
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  if (!isValidUtf8(text)) fail();
  return text;
}

}  // namespace

void runConcat(const ConcatConfig& config) {
  const std::string manifestText = readManifest(config.manifest);
  const std::string base = manifestBaseDirectory(config.manifest);
  const std::vector<SegEntry> entries = parseConcatManifest(manifestText, config.source);
  if (entries.empty()) exitWithError("no_segments", "No seg events for source '" + config.source + "' in manifest");

  auto composition = std::make_shared<media::Composition>();
  media::CompositionTrack* track = composition->addMutableTrack();
  if (track == nullptr) exitWithError("composition_failed", "Cannot create composition track");

  media::MediaTime cursor = media::MediaTime::zero();
  int64_t totalFrames = 0;
  std::vector<std::string> inputs{config.manifest};
  for (const SegEntry& entry : entries) {
    const std::string file = joinSegmentPath(base, entry.path);
    inputs.push_back(file);
    const std::shared_ptr<media::Asset> asset = media::Asset::open(file);
    media::MediaTime duration;
    media::AssetTrack source;
    try {
      if (!loadAssetIsPlayable(asset)) {
        emitWarning("seg_unplayable", "Skipping unplayable segment: " + entry.path);
        continue;
      }
      duration = loadAssetDuration(asset);
      source = loadFirstAudioTrack(asset);
    } catch (const HelperAssetLoadError&) {
      emitWarning("seg_no_audio_track", "Skipping segment with no audio track: " + entry.path);
      continue;
    } catch (const std::exception& e) {
      emitWarning("seg_asset_load_failed", "Skipping segment " + entry.path + ": " + describeError(e));
      continue;
    }
    try {
      track->insertTimeRange(media::MediaTime::zero(), duration, source, cursor);
    } catch (const std::exception& e) {
      emitWarning("seg_insert_failed", "Failed to insert segment " + entry.path + ": " + describeError(e));
      continue;
    }
    cursor = cursor + duration;
    totalFrames = saturatingAdd(totalFrames, entry.frames);
  }
  if (totalFrames == 0) exitWithError("no_segments", "All segments for '" + config.source + "' were unusable");

  // Removing the output must never destroy what is about to be read.
  if (outputIsAnInput(config.outPath, inputs))
    exitWithError("writer_failed", "Output path is an input: " + config.outPath);
  std::remove(config.outPath.c_str());

  std::unique_ptr<media::AssetReader> reader;
  try {
    reader = media::AssetReader::create(composition);
  } catch (const std::exception& e) {
    exitWithError("reader_failed", "Cannot create AVAssetReader: " + describeError(e));
  }
  const std::shared_ptr<media::ReaderOutput> output = media::ReaderOutput::trackOutput(*track);
  if (!reader->canAddOutput(*output)) exitWithError("reader_failed", "Cannot add readerOutput to AVAssetReader");
  reader->addOutput(output);

  // Written under a temporary name and renamed over outPath when whole, so
  // that concurrent runs on one output never write into one file.
  std::unique_ptr<StagedOutput> staged;
  std::unique_ptr<media::AssetWriter> writer;
  try {
    staged = std::make_unique<StagedOutput>(config.outPath);
    writer = media::AssetWriter::create(staged->writePath(), kAudioWriterFileType);
  } catch (const std::exception& e) {
    exitWithError("writer_failed", "Cannot create AVAssetWriter: " + describeError(e));
  }
  if (!writer->canAddInput(std::nullopt)) exitWithError("writer_failed", "Cannot add writerInput to AVAssetWriter");
  media::WriterInput* input = writer->addInput(std::nullopt);

  if (!reader->startReading()) exitWithError("reader_failed", "startReading failed: " + reader->errorDescription());
  if (!writer->startWriting()) exitWithError("writer_failed", "startWriting failed: " + writer->errorDescription());
  writer->startSession(media::MediaTime::zero());

  auto doneFrames = std::make_shared<std::atomic<int64_t>>(0);
  dispatch::Timer progress(
      dispatch::makeSerialQueue("com.vorlanthea.helper.concat.progress"), kProgressIntervalNs,
      [doneFrames, totalFrames] { emitEvent(progressEvent(doneFrames->load(std::memory_order_relaxed), totalFrames)); },
      0);

  const CopyEnd end = copySampleBuffers(*reader, *output, *writer, *input, *doneFrames,
                                        [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  if (end == CopyEnd::appendRefused)
    exitWithError("writer_failed", "writerInput.append returned false: " + writer->errorDescription());
  if (end == CopyEnd::writerFailed)
    exitWithError("writer_failed", "Writer failed mid-stream: " + writer->errorDescription());
  if (reader->status() == media::ReaderStatus::failed)
    exitWithError("reader_failed", "Reader failed mid-stream: " + reader->errorDescription());

  input->markAsFinished();
  finishWritingAndWait(*writer);
  progress.cancel();
  if (writer->status() != media::WriterStatus::completed)
    exitWithError("writer_failed", "finishWriting failed: " + writer->errorDescription());
  if (const auto error = staged->commit())
    exitWithError("writer_failed", "Cannot move the output to " + config.outPath + ": " + *error);

  emitEvent(progressEvent(totalFrames, totalFrames));
  gEventBus.flushAndStop();
  std::_Exit(0);
}

}  // namespace helper
