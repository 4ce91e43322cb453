#pragma once
// When the frames of a real-time stream were captured, carried beside the
// ring that holds them. The producer stamps the stream position of every
// buffer that does not follow on from the last stamp (the first one, one
// after an outage, one after frames the ring could not take, one whose
// device clock has wandered from the stamped rate, and one every tenth of
// a second) with the host time of its first frame; between two such anchors the frames follow one another
// at the stream's rate. The consumer counts the frames it takes and maps
// any position back to a capture time, which is how a source's audio keeps
// its place on the session's clock through outages and drift.
//
// Threads: beginBuffer, endBuffer and breakContinuity on the producer's
// real-time thread only (plain copies and atomics: no lock, allocation or
// system call); captureTimeOf and nextAnchorAfter on the ring's one
// consumer only.
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
  // Anchors in flight. Each one but the newest has frames after it, so a
  // full lane means the consumer has stopped reading.
  static constexpr size_t kCapacity = 1024;
  // A buffer whose first frame lies within this of where the last anchor
  // puts it follows on; beyond it (an outage, or a device clock that has
  // drifted this far from its nominal rate) it is stamped anew.
  static constexpr uint64_t kContinuityToleranceNs = 2'000'000;
  // Even a buffer that follows on is stamped again this long after the
  // last anchor, so that the consumer sees the trend of a device clock
  // that runs a little off its nominal rate long before it is that far out.
  static constexpr uint64_t kRestampIntervalNs = 100'000'000;

  // Producer, before pushing a buffer whose first frame was captured at
  // `hostNs` (0: unknown) at `rate` frames per second. False when the
  // buffer needs an anchor and the lane has no room: it must not be pushed
  // (its frames could not be placed), and counts as refused.
  bool beginBuffer(uint64_t hostNs, double rate) {
    bufferPlaced_ = false;
    if (hostNs == 0 || !(rate > 0)) return true;
    if (continuous_ && rate == last_.rate) {
      const double offsetNs = static_cast<double>(frame_ - last_.frame) * 1e9 / last_.rate;
      const uint64_t predicted = last_.hostNs + static_cast<uint64_t>(offsetNs);
      const uint64_t d = hostNs > predicted ? hostNs - predicted : predicted - hostNs;
      if (d <= kContinuityToleranceNs && hostNs - last_.hostNs < kRestampIntervalNs) {
        bufferPlaced_ = true;
        return true;
      }
    }
    bufferPlaced_ = publish(StreamAnchor{frame_, hostNs, rate});
    return bufferPlaced_;
  }

  // Producer: how many of that buffer's frames went into the ring (0 when
  // it was refused). The next buffer follows on only from their end.
  void endBuffer(uint64_t framesPushed) {
    frame_ += framesPushed;
    continuous_ = bufferPlaced_ && framesPushed > 0;
  }

  // Producer: buffers went by unseen (a closed gate); the next one is stamped.
  void breakContinuity() { continuous_ = false; }

  // Consumer: the capture time of the frame at stream position `frame`,
  // after every anchor published up to it; nothing before the first.
  std::optional<uint64_t> captureTimeOf(uint64_t frame) {
    const uint64_t published = published_.load(std::memory_order_acquire);
    uint64_t taken = taken_.load(std::memory_order_relaxed);
    while (taken < published && lane_[taken % kCapacity].frame.load(std::memory_order_relaxed) <= frame) {
      const Slot& s = lane_[taken % kCapacity];
      current_ = StreamAnchor{s.frame.load(std::memory_order_relaxed), s.hostNs.load(std::memory_order_relaxed),
                              s.rate.load(std::memory_order_relaxed)};
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
      const uint64_t at = lane_[i % kCapacity].frame.load(std::memory_order_relaxed);
      if (at > frame) return at;
    }
    return std::nullopt;
  }

 private:
  // The fields are atomics only because the newest slot may be restamped
  // while the consumer scans past it; each is read for use only once
  // frames after it were pushed, which publishes them.
  struct Slot {
    std::atomic<uint64_t> frame{0};
    std::atomic<uint64_t> hostNs{0};
    std::atomic<double> rate{0};
  };

  // False when the lane is full.
  bool publish(const StreamAnchor& anchor) {
    const uint64_t published = published_.load(std::memory_order_relaxed);
    if (published > 0 && last_.frame == anchor.frame) {
      // Nothing was pushed since the newest anchor (its buffer was refused),
      // so the consumer has not taken it: it is restamped instead of piling
      // up anchors that only a push could ever clear.
      Slot& s = lane_[(published - 1) % kCapacity];
      s.hostNs.store(anchor.hostNs, std::memory_order_relaxed);
      s.rate.store(anchor.rate, std::memory_order_relaxed);
      last_ = anchor;
      return true;
    }
    if (published - taken_.load(std::memory_order_acquire) >= kCapacity) return false;
    Slot& s = lane_[published % kCapacity];
    s.frame.store(anchor.frame, std::memory_order_relaxed);
    s.hostNs.store(anchor.hostNs, std::memory_order_relaxed);
    s.rate.store(anchor.rate, std::memory_order_relaxed);
    published_.store(published + 1, std::memory_order_release);
    last_ = anchor;
    return true;
  }

  // Producer only.
  uint64_t frame_ = 0;
  StreamAnchor last_;        // the newest anchor published
  bool continuous_ = false;  // the next buffer may follow on from last_
  bool bufferPlaced_ = false;

  std::array<Slot, kCapacity> lane_{};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> taken_{0};

  // Consumer only.
  std::optional<StreamAnchor> current_;
};

}  // namespace helper
