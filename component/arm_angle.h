// The joint-angle table: three joint angles in degrees, indexed by joint,
// 0 at start. Written by the component's execution thread (onExecute) and
// by the viewer's keyboard handler; read by the arm drawing. Each entry is
// one lock-free atomic float; the three are not kept consistent as a set.
#ifndef VORLINDE_ARM_ANGLE_H
#define VORLINDE_ARM_ANGLE_H

#include <atomic>

extern std::atomic<float> arm_angle[3];

#endif
