// Test support, never installed: a library the tests preload (LD_PRELOAD)
// into a child interpreter to make chosen calls of operator new fail, and
// chosen calls of mmap, and to make madvise refuse huge pages.
//
// It defines every replaceable form of operator new: the plain and array
// forms, each throwing and nothrow, each with and without an alignment.  Each
// counts the call and then either fails (throws std::bad_alloc, or returns
// null for a nothrow form) or forwards to the definition it hides, the next
// one in the process's symbol lookup order: the C++ library's (libstdc++ or
// libc++, linked as a shared library, with glibc or musl alike), or the
// sanitizer runtime's in a sanitized run.  So every block still comes from the
// allocator whose operator delete gives it back, and the operator delete forms
// need no replacing (the sanitizer's check that new and delete forms match
// still holds).  An operator new that calls another one (libstdc++'s array
// forms call the plain ones, its nothrow forms the throwing ones) is counted
// once.
//
// Driven through ctypes:
//   kesp_failing_new_arm(start, stop)  counts calls from 0; calls numbered
//                                      start to stop - 1 fail (stop 0: every
//                                      one from start on)
//   kesp_failing_new_disarm()          stops failing and counting; returns the
//                                      number of calls counted since arming
//   kesp_failing_mmap_arm(start, stop) the same for the process's calls of
//   kesp_failing_mmap_disarm()         mmap (the C library's own allocator
//                                      maps through an internal name, so
//                                      these are the module's and the
//                                      interpreter's); a failing call
//                                      returns MAP_FAILED with ENOMEM
//   kesp_refuse_huge_pages(refuse)     while refuse is not 0, madvise with
//                                      MADV_HUGEPAGE fails with EINVAL, as
//                                      where transparent huge pages are not
//                                      built into the kernel
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

// Which calls fail: those numbered start to stop - 1 (stop 0: every one
// from start on) of the calls counted since arming.
struct Failing {
  std::atomic<bool> armed{false};
  std::atomic<long> calls{0};
  std::atomic<long> start{0};
  std::atomic<long> stop{0};

  // Whether this call must fail; counts it.
  bool fails() {
    if (!armed.load(std::memory_order_acquire)) return false;
    const long n = calls.fetch_add(1, std::memory_order_relaxed);
    const long last = stop.load(std::memory_order_relaxed);
    return n >= start.load(std::memory_order_relaxed) && (last == 0 || n < last);
  }
  void arm(long first, long last) {
    armed.store(false, std::memory_order_release);
    calls.store(0, std::memory_order_relaxed);
    start.store(first, std::memory_order_relaxed);
    stop.store(last, std::memory_order_relaxed);
    armed.store(true, std::memory_order_release);
  }
  long disarm() {
    armed.store(false, std::memory_order_release);
    return calls.load(std::memory_order_relaxed);
  }
};

Failing g_new;
Failing g_mmap;
std::atomic<bool> g_refuse_huge_pages{false};

// Set while a forwarded call runs on this thread: what it calls is its own
// business, neither counted nor failed.
thread_local bool t_forwarding = false;

// Whether this call of operator new must fail; counts it.
bool injected_failure() { return !t_forwarding && g_new.fails(); }

template <class Function>
Function hidden_definition(const char* symbol) {
  void* found = dlsym(RTLD_NEXT, symbol);
  if (!found) {
    std::fprintf(stderr, "failing_new: no definition of %s to forward to\n", symbol);
    std::abort();
  }
  return reinterpret_cast<Function>(found);
}

template <class Next, class... Args>
void* forward(Next next, Args... args) {
  const bool outer = std::exchange(t_forwarding, true);
  struct Restore {
    bool value;
    ~Restore() { t_forwarding = value; }
  } restore{outer};
  return next(args...);
}

template <class Next, class... Args>
void* throwing_new(Next next, Args... args) {
  if (injected_failure()) throw std::bad_alloc();
  return forward(next, args...);
}

template <class Next, class... Args>
void* nothrow_new(Next next, Args... args) noexcept {
  if (injected_failure()) return nullptr;
  return forward(next, args...);
}

using Plain = void* (*)(std::size_t);
using PlainNothrow = void* (*)(std::size_t, const std::nothrow_t&);
using Aligned = void* (*)(std::size_t, std::align_val_t);
using AlignedNothrow = void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&);
using Mmap = void* (*)(void*, std::size_t, int, int, int, off_t);
using Madvise = int (*)(void*, std::size_t, int);

// Counts a call of mmap, and fails it (MAP_FAILED with ENOMEM) or forwards it.
void* counted_mmap(Mmap next, void* address, std::size_t length, int protection, int flags, int fd,
                   off_t offset) {
  if (g_mmap.fails()) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return next(address, length, protection, flags, fd, offset);
}

}  // namespace

void* operator new(std::size_t size) {
  static const auto next = hidden_definition<Plain>("_Znwm");
  return throwing_new(next, size);
}

void* operator new[](std::size_t size) {
  static const auto next = hidden_definition<Plain>("_Znam");
  return throwing_new(next, size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  static const auto next = hidden_definition<PlainNothrow>("_ZnwmRKSt9nothrow_t");
  return nothrow_new(next, size, std::nothrow);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  static const auto next = hidden_definition<PlainNothrow>("_ZnamRKSt9nothrow_t");
  return nothrow_new(next, size, std::nothrow);
}

void* operator new(std::size_t size, std::align_val_t alignment) {
  static const auto next = hidden_definition<Aligned>("_ZnwmSt11align_val_t");
  return throwing_new(next, size, alignment);
}

void* operator new[](std::size_t size, std::align_val_t alignment) {
  static const auto next = hidden_definition<Aligned>("_ZnamSt11align_val_t");
  return throwing_new(next, size, alignment);
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  static const auto next = hidden_definition<AlignedNothrow>("_ZnwmSt11align_val_tRKSt9nothrow_t");
  return nothrow_new(next, size, alignment, std::nothrow);
}

void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  static const auto next = hidden_definition<AlignedNothrow>("_ZnamSt11align_val_tRKSt9nothrow_t");
  return nothrow_new(next, size, alignment, std::nothrow);
}

extern "C" {

// On glibc, code built with 64-bit file offsets (the interpreter and the
// module: the interpreter's pyconfig.h asks for them) calls mmap by the
// symbol mmap64; musl has mmap alone, and its headers may make the name
// mmap64 a macro for mmap.  So the second definition is named by its symbol,
// and it forwards to the C library's mmap64 where there is one, else to mmap.
void* mmap64_symbol(void* address, std::size_t length, int protection, int flags, int fd,
                    off_t offset) __asm__("mmap64");

__attribute__((visibility("default"))) void* mmap(void* address, std::size_t length, int protection,
                                                  int flags, int fd, off_t offset) {
  static const auto next = hidden_definition<Mmap>("mmap");
  return counted_mmap(next, address, length, protection, flags, fd, offset);
}

__attribute__((visibility("default"))) void* mmap64_symbol(void* address, std::size_t length,
                                                           int protection, int flags, int fd,
                                                           off_t offset) {
  static const auto next = [] {
    void* found = dlsym(RTLD_NEXT, "mmap64");
    return found ? reinterpret_cast<Mmap>(found) : hidden_definition<Mmap>("mmap");
  }();
  return counted_mmap(next, address, length, protection, flags, fd, offset);
}

__attribute__((visibility("default"))) int madvise(void* address, std::size_t length, int advice) {
  static const auto next = hidden_definition<Madvise>("madvise");
  if (advice == MADV_HUGEPAGE && g_refuse_huge_pages.load(std::memory_order_acquire)) {
    errno = EINVAL;
    return -1;
  }
  return next(address, length, advice);
}

__attribute__((visibility("default"))) void kesp_failing_new_arm(long start, long stop) {
  g_new.arm(start, stop);
}

__attribute__((visibility("default"))) long kesp_failing_new_disarm() { return g_new.disarm(); }

__attribute__((visibility("default"))) void kesp_failing_mmap_arm(long start, long stop) {
  g_mmap.arm(start, stop);
}

__attribute__((visibility("default"))) long kesp_failing_mmap_disarm() { return g_mmap.disarm(); }

__attribute__((visibility("default"))) void kesp_refuse_huge_pages(int refuse) {
  g_refuse_huge_pages.store(refuse != 0, std::memory_order_release);
}
}
