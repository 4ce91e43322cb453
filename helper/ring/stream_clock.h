#pragma once
// When the frames of a real-time stream were captured, carried beside the
// ring that holds them. The producer stamps the stream position of every
// buffer that does not follow on from the last one it pushed (the first
// one, one after an outage, one after frames the ring could not take) with
// the host time of its first frame; between two such anchors the frames
// follow one another at the stream's rate. The consumer counts the frames
// it takes and maps any position back to a capture time, which is how a
// source's audio keeps its place on the session's clock through outages.
//
// Threads: beginBuffer, endBuffer and breakContinuity on the producer's
// real-time thread only (plain copies and two atomics: no lock,
// allocation or system call); captureTimeOf and nextAnchorAfter on the
// ring's one consumer only.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace helper {

struct StreamAnchor {
  uint64_t frame = 0;   // stream position: frames pushed before this buffer
  uint64_t hostNs = 0;  // host time of that frame's capture
  double rate = 0;      // frames per second from there on
};

class StreamClock {
 public:
  // Anchors in flight; they are rare (outages), so a full lane only means
  // the consumer has stopped reading.
  static constexpr size_t kCapacity = 256;
  // A buffer that starts within this of where the last one ended follows on.
  static constexpr uint64_t kContinuityToleranceNs = 2'000'000;

  // Producer, before pushing a buffer whose first frame was captured at
  // `hostNs` (0: unknown) at `rate` frames per second.
  void beginBuffer(uint64_t hostNs, double rate) {
    bufferHostNs_ = hostNs;
    bufferRate_ = rate;
    bufferPlaced_ = false;
    if (hostNs == 0 || !(rate > 0)) return;
    if (expectedValid_) {
      const uint64_t d = hostNs > expectedNs_ ? hostNs - expectedNs_ : expectedNs_ - hostNs;
      if (d <= kContinuityToleranceNs) {
        bufferPlaced_ = true;
        return;
      }
    }
    bufferPlaced_ = publish(StreamAnchor{frame_, hostNs, rate});
  }

  // Producer: how many of that buffer's frames went into the ring (0 when
  // it was refused). The next buffer follows on only from their end.
  void endBuffer(uint64_t framesPushed) {
    frame_ += framesPushed;
    expectedValid_ = bufferPlaced_;
    if (bufferPlaced_) {
      expectedNs_ = bufferHostNs_ + static_cast<uint64_t>(static_cast<double>(framesPushed) * 1e9 / bufferRate_);
    }
  }

  // Producer: buffers went by unseen (a closed gate); the next one is stamped.
  void breakContinuity() { expectedValid_ = false; }

  // Consumer: the capture time of the frame at stream position `frame`,
  // after every anchor published up to it; nothing before the first.
  std::optional<uint64_t> captureTimeOf(uint64_t frame) {
    const uint64_t published = published_.load(std::memory_order_acquire);
    uint64_t taken = taken_.load(std::memory_order_relaxed);
    while (taken < published && lane_[taken % kCapacity].frame <= frame) {
      current_ = lane_[taken % kCapacity];
      ++taken;
    }
    taken_.store(taken, std::memory_order_release);
    if (!current_) return std::nullopt;
    const double offsetNs = static_cast<double>(frame - current_->frame) * 1e9 / current_->rate;
    return current_->hostNs + static_cast<uint64_t>(offsetNs);
  }

  // Consumer: where the next anchor beyond what captureTimeOf applied lies,
  // so that a chunk can end there instead of spanning an outage.
  std::optional<uint64_t> nextAnchorAfter(uint64_t frame) const {
    const uint64_t published = published_.load(std::memory_order_acquire);
    const uint64_t taken = taken_.load(std::memory_order_relaxed);
    for (uint64_t i = taken; i < published; ++i) {
      if (lane_[i % kCapacity].frame > frame) return lane_[i % kCapacity].frame;
    }
    return std::nullopt;
  }

 private:
  // False when the lane is full: the next buffer is stamped instead.
  bool publish(const StreamAnchor& anchor) {
    const uint64_t published = published_.load(std::memory_order_relaxed);
    if (published - taken_.load(std::memory_order_acquire) >= kCapacity) return false;
    lane_[published % kCapacity] = anchor;
    published_.store(published + 1, std::memory_order_release);
    return true;
  }

  // Producer only.
  uint64_t frame_ = 0;
  uint64_t expectedNs_ = 0;
  bool expectedValid_ = false;
  bool bufferPlaced_ = false;  // the current buffer was stamped or follows on
  uint64_t bufferHostNs_ = 0;
  double bufferRate_ = 0;

  std::array<StreamAnchor, kCapacity> lane_{};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> taken_{0};

  // Consumer only.
  std::optional<StreamAnchor> current_;
};

}  // namespace helper
