// An LD_PRELOAD library that counts heap allocations per thread name into
// the file named by kAllocCountFileEnvVar (layout: alloc_counts.h).
//
// It replaces the C allocation functions, which operator new and every
// container reach too, and forwards them to the C library's own. Nothing
// here allocates: the thread name is asked of the kernel on every call and
// the counts live in a shared mapping of the file. Threads are also
// registered when they take a name, so one that never allocates shows up
// with a count of 0.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "tests/support/alloc_counts.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* ptr, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}

namespace {

using testsupport::AllocCountSlot;
using testsupport::kAllocCountSlots;
using testsupport::kThreadNameBytes;

constexpr std::uint32_t kSlotFree = 0;
constexpr std::uint32_t kSlotClaimed = 1;
constexpr std::uint32_t kSlotPublished = 2;

std::atomic<AllocCountSlot*> gSlots{nullptr};

using SetNameFn = int (*)(pthread_t, const char*);
std::atomic<SetNameFn> gRealSetName{nullptr};

bool sameName(const char* a, const char* b) { return strncmp(a, b, kThreadNameBytes) == 0; }

// The slot of a name, claimed on first sight; null when the table is full.
AllocCountSlot* slotFor(AllocCountSlot* slots, const char* name) {
  for (std::size_t i = 0; i < kAllocCountSlots; ++i) {
    AllocCountSlot& slot = slots[i];
    std::atomic_ref<std::uint32_t> state(slot.state);
    std::uint32_t seen = state.load(std::memory_order_acquire);
    if (seen == kSlotFree) {
      if (state.compare_exchange_strong(seen, kSlotClaimed, std::memory_order_acq_rel)) {
        strncpy(slot.name, name, kThreadNameBytes - 1);
        state.store(kSlotPublished, std::memory_order_release);
        return &slot;
      }
    }
    while (seen == kSlotClaimed) seen = state.load(std::memory_order_acquire);
    if (sameName(slot.name, name)) return &slot;
  }
  return nullptr;
}

void countAllocation() {
  AllocCountSlot* slots = gSlots.load(std::memory_order_acquire);
  if (slots == nullptr) return;
  char name[kThreadNameBytes] = {};
  if (prctl(PR_GET_NAME, reinterpret_cast<unsigned long>(name), 0UL, 0UL, 0UL) != 0) return;
  if (AllocCountSlot* slot = slotFor(slots, name)) {
    std::atomic_ref<std::uint64_t>(slot->allocations).fetch_add(1, std::memory_order_relaxed);
  }
}

__attribute__((constructor)) void openCountFile() {
  gRealSetName.store(reinterpret_cast<SetNameFn>(dlsym(RTLD_NEXT, "pthread_setname_np")));
  const char* path = getenv(testsupport::kAllocCountFileEnvVar);
  if (path == nullptr || *path == '\0') return;
  // A fresh file only: a child program started with the same environment
  // must not wipe the counts of its parent.
  const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  unsetenv(testsupport::kAllocCountFileEnvVar);
  if (fd < 0) return;
  void* map = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(testsupport::kAllocCountFileBytes)) == 0) {
    map = mmap(nullptr, testsupport::kAllocCountFileBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (map != MAP_FAILED) gSlots.store(static_cast<AllocCountSlot*>(map), std::memory_order_release);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
  countAllocation();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  countAllocation();
  return __libc_calloc(count, size);
}

void* realloc(void* ptr, size_t size) {
  if (ptr == nullptr || size != 0) countAllocation();  // realloc(p, 0) only frees
  return __libc_realloc(ptr, size);
}

void* reallocarray(void* ptr, size_t count, size_t size) {
  size_t bytes;
  if (__builtin_mul_overflow(count, size, &bytes)) {
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(ptr, bytes);
}

void* memalign(size_t alignment, size_t size) {
  countAllocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t size) {
  countAllocation();
  return __libc_valloc(size);
}

void* pvalloc(size_t size) {
  countAllocation();
  return __libc_pvalloc(size);
}

int pthread_setname_np(pthread_t thread, const char* name) {
  const SetNameFn real = gRealSetName.load();
  if (real == nullptr) return ENOSYS;
  const int rc = real(thread, name);
  if (rc == 0) {
    if (AllocCountSlot* slots = gSlots.load(std::memory_order_acquire)) (void)slotFor(slots, name);
  }
  return rc;
}

}  // extern "C"
