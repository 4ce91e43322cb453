#pragma once
// Lock-free single-producer single-consumer byte ring.
//
// A plain record with free functions so that the audio thread touches
// nothing but two atomics and memcpy. Positions are free-running byte
// counters; the byte at stream position p lives at buffer[p & (capacity-1)].
// write_pos is written only by the producer, read_pos only by the consumer;
// each publishes with release after copying and the other side loads with
// acquire before touching the bytes. Each position has a cache line of its
// own, apart from the other and from the fields both sides read on every
// call, so one side's stores do not keep taking the other's line away.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

using AtomicU32 = std::atomic<uint32_t>;
using AtomicU64 = std::atomic<uint64_t>;

// A cache line on the machines the helper runs on. Not
// std::hardware_destructive_interference_size: GCC warns when a header uses
// it, since its value can change with the compiler version or -mtune.
inline constexpr std::size_t kSpscCacheLineBytes = 64;

struct SPSCRing {
  alignas(kSpscCacheLineBytes) AtomicU64 write_pos{0};
  alignas(kSpscCacheLineBytes) AtomicU64 read_pos{0};
  // From here on, fields that change rarely or never once the ring runs.
  alignas(kSpscCacheLineBytes) AtomicU64 dropped{0};  // bytes refused because they did not fit
  AtomicU32 closed{0};                                // set once by the stop path; the consumer then drains and ends
  uint8_t* buffer = nullptr;
  uint64_t capacity = 0;  // a power of two
};

// Points the ring at `buffer` (not owned) and zeroes every counter. Refuses
// a capacity that is not a power of two. Not thread-safe: call before
// either side runs.
bool spsc_ring_init(SPSCRing* ring, uint8_t* buffer, uint64_t capacity);

// Producer side: appends all `len` bytes or none. A refusal adds `len` to
// `dropped` and leaves write_pos where it was, so the consumer never sees
// part of a message. No lock, allocation or system call.
bool spsc_ring_push(SPSCRing* ring, const void* data, uint64_t len);

// Consumer side: bytes published and not yet consumed.
inline uint64_t spsc_ring_readable(const SPSCRing* ring) {
  const uint64_t w = ring->write_pos.load(std::memory_order_acquire);
  const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
  return w - r;
}

// Consumer side: copies out up to `maxLen` readable bytes, continuing past
// the end of the storage into its start, but only in whole `granule`s (a
// frame or a sample), so a unit split by the wrap is never handed out in
// two parts and what follows stays aligned. Returns the bytes taken.
inline uint64_t spsc_ring_read(SPSCRing* ring, void* dst, uint64_t maxLen, uint64_t granule = 1) {
  if (granule == 0) granule = 1;
  const uint64_t w = ring->write_pos.load(std::memory_order_acquire);
  const uint64_t r = ring->read_pos.load(std::memory_order_relaxed);
  uint64_t len = w - r < maxLen ? w - r : maxLen;
  len -= len % granule;
  if (len == 0) return 0;
  const uint64_t off = r & (ring->capacity - 1);
  const uint64_t first = len < ring->capacity - off ? len : ring->capacity - off;
  std::memcpy(dst, ring->buffer + off, first);
  if (len > first) std::memcpy(static_cast<uint8_t*>(dst) + first, ring->buffer, len - first);
  // The bytes are copied out before the producer may reuse them.
  ring->read_pos.store(r + len, std::memory_order_release);
  return len;
}

inline void spsc_ring_close(SPSCRing* ring) { ring->closed.store(1, std::memory_order_release); }
inline bool spsc_ring_is_closed(const SPSCRing* ring) { return ring->closed.load(std::memory_order_acquire) != 0; }
