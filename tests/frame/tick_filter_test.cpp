// Which engine messages count as completed fixed steps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "frame/presentation_clock.h"

TEST(TickFilterTest, OnlyTheCompletedStepMessageWithAUsableStepCounts) {
  struct Case {
    int message;
    float step;
    bool counts;
  };
  const Case cases[] = {
      {5, 1.0f / 60.0f, true},
      {5, 0.001f, true},
      {5, 1.0f, true},
      {5, 0.0009f, false},
      {5, 1.5f, false},
      {5, 0.0f, false},
      {5, -1.0f / 60.0f, false},
      {5, std::numeric_limits<float>::infinity(), false},
      {5, std::nanf(""), false},
      {4, 1.0f / 60.0f, false},
      {6, 1.0f / 60.0f, false},
      {3, 1.0f / 60.0f, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IsCompletedStep(c.message, c.step), c.counts) << "message " << c.message << " step " << c.step;
}
