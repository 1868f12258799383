#include "arm_angle.h"

// A 32-bit atomic the size of an int is handled like an always lock-free
// int (C++14 has no is_always_lock_free to ask directly).
static_assert(ATOMIC_INT_LOCK_FREE == 2 && sizeof(std::atomic<float>) == sizeof(int),
              "arm_angle needs lock-free atomic floats on this platform");

std::atomic<float> arm_angle[3] = {{0.0f}, {0.0f}, {0.0f}};
