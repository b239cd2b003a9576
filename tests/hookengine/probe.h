// Runs a hand-built function from a fixed register and stack state and records the state
// it ends in, so a call through a hook can be compared with a call to the original.
#pragma once
#include <cstddef>
#include <cstdint>

// Register order is the x86 encoding order: rax rcx rdx rbx rsp rbp rsi rdi r8..r15.
enum ProbeReg { kRax, kRcx, kRdx, kRbx, kRsp, kRbp, kRsi, kRdi, kR8, kR9, kR10, kR11, kR12, kR13, kR14, kR15 };

struct alignas(16) ProbeState {
  uint64_t in[16];           // loaded before the call (rsp comes from stackTop)
  uint64_t out[16];          // as the function left them
  uint8_t inXmm[16][16];
  uint8_t outXmm[16][16];
  uint64_t stackTop;         // rsp before the call instruction; keep it 16-byte aligned
  uint64_t savedRsp;         // used by the harness
  uint64_t function;
};
static_assert(offsetof(ProbeState, stackTop) == 0x300 && offsetof(ProbeState, function) == 0x310, "layout shared with probe.S");

extern "C" {
// Calls state->function with the state's registers and stack. The function ends by
// jumping to ProbeCapture (or by returning).
void ProbeRun(ProbeState* state);
void ProbeCapture();

// Detour for tests: counts, then continues at g_detourOriginal without touching any
// register or the stack.
void CountingDetour();
extern volatile uint64_t g_detourCalls;
extern void* volatile g_detourOriginal;

// A run of assembler-encoded instructions and each one's length, as GNU as encoded them.
extern const uint8_t DecoderCorpusStart[];
extern const uint8_t DecoderCorpusLengths[];
extern const uint8_t DecoderCorpusLengthsEnd[];
}
