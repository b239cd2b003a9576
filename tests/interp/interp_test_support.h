#pragma once
// Matrices and clock samples built by hand for the interpolation tests.
#include <cmath>
#include <cstdint>

#include "frame/presentation_clock.h"
#include "interp/transform.h"

inline constexpr float kDeg = 3.14159265358979f / 180.0f;

// Rotation of angle radians about the unit axis (x, y, z), times scale, with a translation.
inline RigidMatrix AxisRotation(float x, float y, float z, float angle, float scale = 1.0f, float tx = 0.0f,
                                float ty = 0.0f, float tz = 0.0f) {
  const float c = std::cos(angle);
  const float s = std::sin(angle);
  const float k = 1.0f - c;
  RigidMatrix r{};
  r.m[0] = (c + x * x * k) * scale;
  r.m[1] = (x * y * k - z * s) * scale;
  r.m[2] = (x * z * k + y * s) * scale;
  r.m[4] = (y * x * k + z * s) * scale;
  r.m[5] = (c + y * y * k) * scale;
  r.m[6] = (y * z * k - x * s) * scale;
  r.m[8] = (z * x * k - y * s) * scale;
  r.m[9] = (z * y * k + x * s) * scale;
  r.m[10] = (c + z * z * k) * scale;
  r.m[3] = tx;
  r.m[7] = ty;
  r.m[11] = tz;
  r.m[15] = 1.0f;
  return r;
}

inline RigidMatrix RotationY(float angle, float scale = 1.0f) { return AxisRotation(0, 1, 0, angle, scale); }

inline RigidMatrix Translated(RigidMatrix m, float tx, float ty, float tz) {
  m.m[3] = tx;
  m.m[7] = ty;
  m.m[11] = tz;
  return m;
}

inline ClockSample InterpolatedSample(uint64_t previous, uint64_t current, double alpha, uint64_t generation) {
  ClockSample s{};
  s.status = ClockSampleStatus::Interpolated;
  s.generation = generation;
  s.previousTick = previous;
  s.currentTick = current;
  s.alpha = alpha;
  return s;
}

inline bool AllZero(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}
