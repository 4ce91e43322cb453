#include "helper/ring/spsc_ring.h"

bool spsc_ring_init(SPSCRing* ring, uint8_t* buffer, uint64_t capacity) {
  if (capacity == 0 || (capacity & (capacity - 1)) != 0) return false;
  ring->write_pos.store(0, std::memory_order_relaxed);
  ring->read_pos.store(0, std::memory_order_relaxed);
  ring->dropped.store(0, std::memory_order_relaxed);
  ring->closed.store(0, std::memory_order_relaxed);
  ring->buffer = buffer;
  ring->capacity = capacity;
  return true;
}

bool spsc_ring_push(SPSCRing* ring, const void* data, uint64_t len) {
  const uint64_t w = ring->write_pos.load(std::memory_order_relaxed);  // ours alone
  const uint64_t r = ring->read_pos.load(std::memory_order_acquire);
  if (ring->capacity - (w - r) < len) {
    ring->dropped.fetch_add(len, std::memory_order_relaxed);
    return false;
  }
  if (len == 0) return true;
  const uint64_t off = w & (ring->capacity - 1);
  const uint64_t first = len < ring->capacity - off ? len : ring->capacity - off;
  std::memcpy(ring->buffer + off, data, first);
  if (len > first) std::memcpy(ring->buffer, static_cast<const uint8_t*>(data) + first, len - first);
  ring->write_pos.store(w + len, std::memory_order_release);
  return true;
}
