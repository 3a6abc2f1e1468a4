// The floating-point mode the draws are made in.
//
// The draws must be a function of the inputs and the seed alone, but the
// handlers run on whatever thread the runtime calls them from, in that
// thread's floating-point mode, and XLA's CPU threads flush subnormals to
// zero (on x86-64 MXCSR.FTZ and MXCSR.DAZ). In that mode a subnormal shape
// or tilt reads as 0, and a subnormal intermediate (an exp that underflows
// gradually, a tail probability) becomes 0, so the same inputs and seed gave
// other draws than under the IEEE default. IeeeFloatingPointScope puts the
// thread into the IEEE mode for its lifetime (no flushing, round to nearest,
// every exception masked) and gives the thread its own mode back when it
// ends; the chunk runner holds one around the work of each unit, on the
// calling thread and on the pool's workers alike. The sampling core
// (polya_gamma/, random/) knows nothing of this and stays pure.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace vexol {

#if defined(__x86_64__) || defined(_M_X64)

using FloatingPointControl = uint32_t;

// MXCSR: exception flags in bits 0-5, DAZ in bit 6, exception masks in bits
// 7-12, the rounding mode in bits 13-14 (00 to nearest), FTZ in bit 15.
inline constexpr FloatingPointControl MXCSR_FLAGS = 0x003F;
inline constexpr FloatingPointControl MXCSR_ALL_MASKS = 0x1F80;

inline FloatingPointControl read_floating_point_control() { return _mm_getcsr(); }
inline void write_floating_point_control(FloatingPointControl value) { _mm_setcsr(value); }

// The IEEE default with the caller's sticky exception flags kept.
inline FloatingPointControl ieee_floating_point_control(FloatingPointControl current) {
  return (current & MXCSR_FLAGS) | MXCSR_ALL_MASKS;
}

#elif defined(__aarch64__)

using FloatingPointControl = uint64_t;

// FPCR: FIZ bit 0 and AH bit 1 (alternate handling, which also flushes),
// trap enables in bits 8-12 and 15, FZ16 bit 19, RMode bits 22-23 (00 to
// nearest), FZ bit 24, DN bit 25 (kept: it changes NaN payloads only).
inline constexpr FloatingPointControl FPCR_NON_IEEE = (1ULL << 0) | (1ULL << 1) | (0x1FULL << 8) |
                                                      (1ULL << 15) | (1ULL << 19) | (3ULL << 22) |
                                                      (1ULL << 24);

inline FloatingPointControl read_floating_point_control() {
  uint64_t value;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(value));
  return value;
}
inline void write_floating_point_control(FloatingPointControl value) {
  __asm__ __volatile__("msr fpcr, %0" : : "r"(value));
}

inline FloatingPointControl ieee_floating_point_control(FloatingPointControl current) {
  return current & ~FPCR_NON_IEEE;
}

#else
#error "vexol: no floating-point mode control for this architecture"
#endif

// For its lifetime the thread computes in the IEEE mode; the mode it had
// before, flags included, is restored at the end. Writing the control
// register stalls the pipeline, so a thread already in the IEEE mode is
// left alone.
class IeeeFloatingPointScope {
 public:
  IeeeFloatingPointScope() : saved_(read_floating_point_control()) {
    const FloatingPointControl ieee = ieee_floating_point_control(saved_);
    changed_ = ieee != saved_;
    if (changed_) write_floating_point_control(ieee);
  }
  ~IeeeFloatingPointScope() {
    if (changed_) write_floating_point_control(saved_);
  }
  IeeeFloatingPointScope(const IeeeFloatingPointScope&) = delete;
  IeeeFloatingPointScope& operator=(const IeeeFloatingPointScope&) = delete;

 private:
  FloatingPointControl saved_;
  bool changed_;
};

}  // namespace vexol
