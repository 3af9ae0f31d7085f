// Test support, never installed: a library the tests preload (LD_PRELOAD)
// into a child interpreter to make chosen calls of operator new fail.
//
// It defines every replaceable form of operator new: the plain and array
// forms, each throwing and nothrow, each with and without an alignment.  Each
// counts the call and then either fails (throws std::bad_alloc, or returns
// null for a nothrow form) or forwards to the definition it hides, the next
// one in the process's symbol lookup order: libstdc++'s, or the sanitizer
// runtime's in a sanitized run.  So every block still comes from the allocator
// whose operator delete gives it back, and the operator delete forms need no
// replacing (the sanitizer's check that new and delete forms match still
// holds).  An operator new that calls another one (libstdc++'s array forms
// call the plain ones, its nothrow forms the throwing ones) is counted once.
//
// Driven through ctypes:
//   kesp_failing_new_arm(start, stop)  counts calls from 0; calls numbered
//                                      start to stop - 1 fail (stop 0: every
//                                      one from start on)
//   kesp_failing_new_disarm()          stops failing and counting; returns the
//                                      number of calls counted since arming
#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_calls{0};
std::atomic<long> g_start{0};
std::atomic<long> g_stop{0};

// Set while a forwarded call runs on this thread: what it calls is its own
// business, neither counted nor failed.
thread_local bool t_forwarding = false;

// Whether this call must fail; counts it.
bool injected_failure() {
  if (t_forwarding || !g_armed.load(std::memory_order_acquire)) return false;
  const long n = g_calls.fetch_add(1, std::memory_order_relaxed);
  const long stop = g_stop.load(std::memory_order_relaxed);
  return n >= g_start.load(std::memory_order_relaxed) && (stop == 0 || n < stop);
}

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

__attribute__((visibility("default"))) void kesp_failing_new_arm(long start, long stop) {
  g_armed.store(false, std::memory_order_release);
  g_calls.store(0, std::memory_order_relaxed);
  g_start.store(start, std::memory_order_relaxed);
  g_stop.store(stop, std::memory_order_relaxed);
  g_armed.store(true, std::memory_order_release);
}

__attribute__((visibility("default"))) long kesp_failing_new_disarm() {
  g_armed.store(false, std::memory_order_release);
  return g_calls.load(std::memory_order_relaxed);
}
}
