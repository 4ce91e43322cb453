#pragma once
// The media asset reader and writer of the offline modes: audio files as
// assets (playable, duration, audio tracks), compositions of track ranges,
// a reader that passes packets through or mixes tracks to float, and a
// writer of QuickTime movies.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace platform::media {

// An error the media layer reports; what() is its description.
class MediaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Rational time: value / timescale seconds.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 1;

  static MediaTime zero() { return {0, 1}; }
  double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0.0; }
  // value * rate / timescale, truncated toward zero and saturated to 64 bits.
  int64_t framesAt(int64_t rate) const;
  // Exact when the common timescale fits in 32 bits, else rounded to the finer one.
  MediaTime operator+(const MediaTime& other) const;
  int compare(const MediaTime& other) const;
  bool operator==(const MediaTime& other) const { return compare(other) == 0; }
};

// What a stream copy must keep the same from one packet to the next.
struct AudioStreamFormat {
  int codecID = 0;
  int sampleRate = 0;
  int channels = 0;
  bool operator==(const AudioStreamFormat&) const = default;
};

// Codec parameters of a stream, opaque above this layer.
struct StreamParameters;

struct AssetTrack {
  std::string path;
  int streamIndex = 0;
  AudioStreamFormat format;
  MediaTime duration;
  std::shared_ptr<const StreamParameters> parameters;
};

class Asset {
 public:
  // Never fails; the loads report what is wrong with the file.
  static std::shared_ptr<Asset> open(const std::string& path);
  const std::string& path() const { return path_; }

  // A recognised container whose every audio stream has a decoder and a
  // sample rate. Throws when the file cannot be read at all (missing, not
  // permitted).
  bool loadIsPlayable() const;
  // Exact for PCM (frames over rate); otherwise the container's own timing
  // (what an edit list presents), or the packets' durations when it has
  // none. Throws when the file does not open.
  MediaTime loadDuration() const;
  // In stream order; empty when the file has none. Throws when it does not open.
  std::vector<AssetTrack> loadAudioTracks() const;

  struct Probe;

 private:
  explicit Asset(std::string path) : path_(std::move(path)) {}
  const Probe& probe() const;

  std::string path_;
  mutable std::mutex mu_;
  mutable std::shared_ptr<const Probe> probe_;
};

struct CompositionSegment {
  AssetTrack source;
  MediaTime at;
  MediaTime duration;
};

class CompositionTrack {
 public:
  // Inserts [start, start + duration) of `track` at `at`, which must not lie
  // inside media already inserted. Every segment of one track has one format
  // (a stream copy cannot change rate or codec midway).
  void insertTimeRange(MediaTime start, MediaTime duration, const AssetTrack& track, MediaTime at);
  const std::vector<CompositionSegment>& segments() const { return segments_; }
  MediaTime end() const;

 private:
  std::vector<CompositionSegment> segments_;
};

class Composition {
 public:
  CompositionTrack* addMutableTrack();
  const std::vector<std::unique_ptr<CompositionTrack>>& tracks() const { return tracks_; }
  // The end of the longest track.
  MediaTime duration() const;

 private:
  std::vector<std::unique_ptr<CompositionTrack>> tracks_;
};

struct AudioMixInputParameters {
  const CompositionTrack* track = nullptr;
  float volume = 1.0f;
  // One volume for the whole track: later changes are not kept apart.
  void setVolume(float v, MediaTime) { volume = v; }
};

struct AudioMix {
  std::vector<AudioMixInputParameters> inputParameters;
};

inline constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'

// Linear PCM settings of a reader output or a writer input.
struct AudioSettings {
  uint32_t formatID = kAudioFormatLinearPCM;
  int64_t sampleRate = 0;
  int64_t numberOfChannels = 0;
  int64_t linearPCMBitDepth = 32;
  bool linearPCMIsFloat = true;
  bool linearPCMIsBigEndian = false;
  bool linearPCMIsNonInterleaved = false;
  bool operator==(const AudioSettings&) const = default;
};

// Rates and channel counts the writer can store.
inline constexpr int64_t kMaxSampleRate = 768000;
inline constexpr int64_t kMaxChannels = 32;

// One packet of samples. `pts` counts frames at the packet's own rate.
struct SampleBuffer {
  std::vector<uint8_t> data;
  // The frames it presents: those inside the range it was read for.
  int64_t numSamples = 0;
  // The frames it spans from `pts`, with those it does not present (an
  // encoder's priming before the range, which the container's edit list
  // hides).
  int64_t durationFrames = 0;
  int64_t pts = 0;
  std::shared_ptr<const StreamParameters> parameters;
};

enum class ReaderStatus { unknown = 0, reading = 1, completed = 2, failed = 3, cancelled = 4 };
enum class WriterStatus { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

struct ReaderState;

class ReaderOutput {
 public:
  virtual ~ReaderOutput() = default;
  // Packets of the track unchanged, timestamps rebased onto the composition.
  // A compressed packet keeps its place relative to its file's presentation,
  // so the track's first priming packet lies before 0 and the writer's edit
  // list hides it as the file's did; packets past a range are left out.
  static std::shared_ptr<ReaderOutput> trackOutput(const CompositionTrack& track);
  // Packets of one asset track unchanged.
  static std::shared_ptr<ReaderOutput> trackOutput(const AssetTrack& track);
  // The tracks decoded, converted to 32-bit float interleaved at the
  // settings' rate and channel count (mono to more channels by duplication
  // at unity), scaled by their volumes and summed (no clipping), over the
  // composition's whole duration.
  static std::shared_ptr<ReaderOutput> audioMixOutput(const Composition& composition, const AudioSettings& settings,
                                                      const AudioMix& mix);
  // Nothing once the reader is no longer reading.
  std::optional<SampleBuffer> copyNextSampleBuffer();

  // For the reader.
  virtual bool hasTracks() const = 0;
  virtual bool belongsTo(const Composition& composition) const = 0;
  virtual bool start(std::string& error) = 0;
  // Nothing at the end; `error` set when reading failed.
  virtual std::optional<SampleBuffer> next(std::optional<std::string>& error) = 0;
  std::shared_ptr<ReaderState> state;

 protected:
  ReaderOutput() = default;
};

class AssetReader {
 public:
  // Throws MediaError when there is nothing to read from.
  static std::unique_ptr<AssetReader> create(std::shared_ptr<const Composition> composition);
  // A reader of one asset's first audio track.
  static std::unique_ptr<AssetReader> create(const std::shared_ptr<Asset>& asset);

  bool canAddOutput(const ReaderOutput& output) const;
  void addOutput(std::shared_ptr<ReaderOutput> output);
  bool startReading();
  ReaderStatus status() const;
  // The reported error's description, or "unknown" when there is none.
  std::string errorDescription() const;
  void cancelReading();

 private:
  explicit AssetReader(std::shared_ptr<const Composition> composition);
  std::shared_ptr<const Composition> composition_;
  std::shared_ptr<ReaderState> state_;
  std::vector<std::shared_ptr<ReaderOutput>> outputs_;
};

struct WriterImpl;

class WriterInput {
 public:
  explicit WriterInput(std::shared_ptr<WriterImpl> impl) : impl_(std::move(impl)) {}
  bool isReadyForMoreMediaData() const;
  bool append(const SampleBuffer& buffer);
  void markAsFinished();
  // Calls `handler` on `queue` as long as the input is not finished and the
  // writer is writing; the handler appends while the input is ready.
  void requestMediaDataWhenReady(const dispatch::QueuePtr& queue, std::function<void()> handler);

 private:
  std::shared_ptr<WriterImpl> impl_;
};

class AssetWriter {
 public:
  // `fileType` "mov": a QuickTime movie whatever the extension of `path`.
  // Throws MediaError for an unknown type or an empty path.
  static std::unique_ptr<AssetWriter> create(const std::string& path, const std::string& fileType);
  ~AssetWriter();
  AssetWriter(const AssetWriter&) = delete;
  AssetWriter& operator=(const AssetWriter&) = delete;

  // One input: without settings it stream-copies (codec parameters from the
  // first appended buffer); with settings it writes pcm_f32le.
  bool canAddInput(const std::optional<AudioSettings>& settings) const;
  WriterInput* addInput(const std::optional<AudioSettings>& settings);
  bool startWriting();
  void startSession(MediaTime sourceTime);
  // Writes the trailer on another thread, then calls `completion` there.
  void finishWriting(std::function<void()> completion);
  // Stops writing and deletes the partial file.
  void cancelWriting();
  WriterStatus status() const;
  std::string errorDescription() const;

 private:
  explicit AssetWriter(std::shared_ptr<WriterImpl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<WriterImpl> impl_;
  std::unique_ptr<WriterInput> input_;
};

}  // namespace platform::media
