#pragma once
// The two ends of the system ring. The IO proc pushes the raw bytes of its
// first input buffer, whole frames only; the consumer takes whole frames
// back, across the end of the storage, into a buffer of the tap's native
// format. A frame is never split, so what follows stays aligned whatever
// the frame size.
#include <cstdint>

#include "helper/ring/spsc_ring.h"
#include "platform/audio/engine/pcm.h"
#include "platform/audio/hal/hal.h"

namespace helper {

// IO-proc side (real-time: no allocation, lock or system call). Pushes
// buffer 0 of `input` cut down to whole frames of `frameBytes`, all or
// nothing (a full ring counts the bytes in `dropped`). Returns the bytes
// offered: 0 when there was nothing to push; `accepted`, when given, says
// whether the ring took them.
uint64_t pushSystemIOProcBuffer(SPSCRing* ring, const platform::audio::hal::AudioBufferList* input, uint32_t frameBytes,
                                bool* accepted = nullptr);

// Consumer side. Takes at most `maxFrames` whole frames (and no more than
// `buffer` holds) and sets the buffer's frame length. `buffer` is Float32
// in the native format: interleaved, it receives the ring's frames as they
// are (`frameBytes` = 4 x channels); non-interleaved, the ring holds the
// first channel alone (`frameBytes` = 4) and every channel is filled with
// it, so none is left uninitialised. Returns the frames taken.
uint32_t takeSystemRingFrames(SPSCRing* ring, platform::audio::PCMBuffer& buffer, uint32_t frameBytes,
                              uint32_t maxFrames);

}  // namespace helper
