#pragma once
// Where the limiter's wait goes when the camera is sampled at render time. Waiting in front of the
// sample alone carries the frame past the host's next step time, which the host runs only after
// the frame, so the frame is drawn at a clamped phase. The bulk of the wait therefore comes right
// after the previous present, before the host looks at its schedule, and ends a predicted lead
// before the deadline: room for the host's due steps and its render up to the sample, which then
// waits only for the rest. Pure logic: limiter_wait.h waits, the swap runtime measures.

struct FramePacer {
  // Seconds from the end of the early wait to the start of the sample's, for frames without and
  // with a host step in between (a step costs the host far more than a frame's start).
  double lead[2] = {0.0005, 0.0005};
  double earlyWaitEnd = 0.0;  // counter seconds when the last early wait returned; 0: none to measure
  bool stepExpected = false;  // a step fell due before that early wait's end
  double lastMove = 0.0;      // counter seconds of the last cadence move; 0: none yet
  double moveSpacing = 1.0;   // seconds until another move may follow it
};

// The end of the wait right after a present, for a frame whose deadline is nextDeadline; a step
// that falls due before it (stepDueAt, when known) makes room for the host's update.
double PlanEarlyWaitEnd(FramePacer& pacer, double nextDeadline, double interval, bool stepDueKnown,
                        double stepDueAt);
// The sample's wait began at nowSeconds: learns the lead from the early wait that preceded it.
void LearnFrameLead(FramePacer& pacer, double nowSeconds);
// Until when the sample waits: its deadline, unless the host's next step falls due first
// (stepDueAt, when known): then just before that, and the present waits for the deadline.
double PlanSampleTime(double deadline, double nowSeconds, bool stepDueKnown, double stepDueAt);

// A step that falls due between the early wait's end and the deadline is one the host looks for
// too soon: that frame's sample goes early. Where frame and step rates keep a fixed relation, that
// recurs at the same place every few frames; moving the whole cadence once, so that the step falls
// due a margin after the deadline, ends it. Planned right after a present for the next frame: the
// new deadline, or 0 to keep the cadence (no step in the way, or the last move too recent: with a
// relation that drifts, moving every few frames would cost more presents than it saves samples,
// so each move waits twice as long as the one before, up to a minute).
double PlanCadenceMove(FramePacer& pacer, double nextDeadline, double interval, double nowSeconds,
                       bool stepDueKnown, double stepDueAt);

// When the present of a frame sampled ahead of its deadline goes: as late after the deadline as the
// host took from the sample to the present, where a frame sampled at its deadline presents. The
// deadline alone would put these presents early by the render time, every few frames.
// sampleSeconds 0: the sample's time is unknown.
double PlanPresentTime(double deadline, double sampleSeconds, double nowSeconds);

// Sleeping below a millisecond where the system can: the sleeps' overshoot is learned, and a wait
// sleeps until that much before its deadline, then yields. A system whose sleeps overshoot by
// more than the limit uses the whole-millisecond plan (PlanWaitStep) instead.
struct SleepSlack {
  double seconds = 0.001;  // about the 95th percentile of recent overshoots
};
inline constexpr double kPreciseSleepSlackLimit = 0.002;
// The last stretch of every wait spins on the counter: a yield there can hand the processor to
// another thread for a whole time slice just before the deadline.
inline constexpr double kSpinTailSeconds = 0.0002;
// Seconds to sleep now, 0 to yield instead, with remainingSeconds > 0 to the deadline. A wait that
// ends at a present keeps spinSeconds of yielding at its end: the rare sleep that overshoots even
// the slack would make the present late.
double PlanPreciseSleep(double remainingSeconds, const SleepSlack& slack, double spinSeconds);
void LearnSleepOvershoot(SleepSlack& slack, double overshootSeconds);
