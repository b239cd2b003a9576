#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "probe.h"
#include "x64_decode.h"

using hookengine::DecodeX64;
using hookengine::X64Branch;
using hookengine::X64Insn;

namespace {

TEST(X64Decoder, LengthsMatchTheAssemblerOverTheCorpus) {
  const size_t count = static_cast<size_t>(DecoderCorpusLengthsEnd - DecoderCorpusLengths);
  ASSERT_GT(count, 150u);
  const uint8_t* p = DecoderCorpusStart;
  for (size_t i = 0; i < count; ++i) {
    const X64Insn insn = DecodeX64(p, 15);
    ASSERT_EQ(insn.length, DecoderCorpusLengths[i]) << "instruction " << i << " at corpus offset " << (p - DecoderCorpusStart)
                                                    << ", first byte 0x" << std::hex << int{p[0]};
    p += DecoderCorpusLengths[i];
  }
}

struct OperandCase {
  std::vector<uint8_t> bytes;
  bool ripRelative;
  uint8_t dispOffset;
  X64Branch branch;
  uint8_t relSize;
  bool endsFlow;
};

TEST(X64Decoder, FindsRelativeOperandsAndFlowEnds) {
  const OperandCase cases[] = {
      {{0x48, 0x8B, 0x05, 1, 2, 3, 4}, true, 3, X64Branch::None, 0, false},                  // mov rax,[rip+d]
      {{0x48, 0x81, 0x3D, 1, 2, 3, 4, 5, 6, 7, 8}, true, 3, X64Branch::None, 0, false},      // cmp [rip+d],imm32
      {{0x66, 0x0F, 0x3A, 0x0A, 0x05, 1, 2, 3, 4, 9}, true, 5, X64Branch::None, 0, false},   // roundss xmm0,[rip+d],9
      {{0xC5, 0xF8, 0x10, 0x35, 1, 2, 3, 4}, true, 4, X64Branch::None, 0, false},            // vmovups xmm6,[rip+d]
      {{0x48, 0x8B, 0x04, 0x25, 1, 2, 3, 4}, false, 0, X64Branch::None, 0, false},           // SIB disp32, not RIP
      {{0xFF, 0x25, 0, 0, 0, 0}, true, 2, X64Branch::None, 0, true},                         // jmp [rip+0]
      {{0xFF, 0x15, 0, 0, 0, 0}, true, 2, X64Branch::None, 0, false},                        // call [rip+0]
      {{0xE8, 1, 2, 3, 4}, false, 0, X64Branch::Call, 4, false},
      {{0xE9, 1, 2, 3, 4}, false, 0, X64Branch::Jmp, 4, true},
      {{0xEB, 0x10}, false, 0, X64Branch::Jmp, 1, true},
      {{0x74, 0x10}, false, 0, X64Branch::Jcc, 1, false},
      {{0x0F, 0x85, 1, 2, 3, 4}, false, 0, X64Branch::Jcc, 4, false},
      {{0xE3, 0x10}, false, 0, X64Branch::Loop, 1, false},
      {{0xC3}, false, 0, X64Branch::None, 0, true},
      {{0xCC}, false, 0, X64Branch::None, 0, true},
      {{0x0F, 0x0B}, false, 0, X64Branch::None, 0, true},
  };
  for (const OperandCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    const X64Insn insn = DecodeX64(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(insn.length, c.bytes.size());
    EXPECT_EQ(insn.ripRelative, c.ripRelative);
    if (c.ripRelative) {
      EXPECT_EQ(insn.dispOffset, c.dispOffset);
    }
    EXPECT_EQ(insn.branch, c.branch);
    EXPECT_EQ(insn.relSize, c.relSize);
    if (c.relSize != 0) {
      EXPECT_EQ(insn.relOffset, c.bytes.size() - c.relSize);
    }
    EXPECT_EQ(insn.endsFlow, c.endsFlow);
  }
}

TEST(X64Decoder, ImmediateSizesFollowThePrefixes) {
  const std::vector<uint8_t> cases[] = {
      {0x66, 0x48, 0x81, 0xC0, 1, 2, 3, 4},     // add rax, imm32
      {0x66, 0x48, 0xC7, 0xC0, 1, 2, 3, 4},     // mov rax, imm32
      {0x66, 0x48, 0xF7, 0xC0, 1, 2, 3, 4},     // test rax, imm32
      {0x66, 0x48, 0x69, 0xC0, 1, 2, 3, 4},     // imul rax, rax, imm32
      {0x66, 0x48, 0x05, 1, 2, 3, 4},           // add rax, imm32
      {0x66, 0x48, 0x68, 1, 2, 3, 4},           // push imm32
      {0x66, 0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8},  // mov rax, imm64
      {0x66, 0x81, 0xC0, 1, 2},                 // add ax, imm16: without REX.W the prefix counts
      {0x66, 0x41, 0xF7, 0xC0, 1, 2},           // test r8w, imm16: REX without W changes nothing
      {0xF2, 0x0F, 0x78, 0xF0, 1, 2},           // insertq xmm6, xmm0, imm8, imm8
      {0x66, 0x0F, 0x78, 0xC1, 1, 2},           // extrq xmm1, imm8, imm8
      {0x0F, 0x78, 0xC1},                       // vmread rcx, rax: no immediate without the prefix
  };
  for (const auto& bytes : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    // Followed by more bytes, so a short count would not show up as "truncated".
    std::vector<uint8_t> padded = bytes;
    padded.insert(padded.end(), 8, 0x90);
    EXPECT_EQ(DecodeX64(padded.data(), padded.size()).length, bytes.size());
  }
}

TEST(X64Decoder, RefusesWhatItCannotMoveSafely) {
  const std::vector<uint8_t> cases[] = {
      {0x06}, {0x27}, {0x60}, {0x9A, 1, 2, 3, 4, 5, 6}, {0xD4, 0x0A}, {0xEA, 1, 2, 3, 4, 5, 6},  // gone in long mode
      {0x0F, 0x04}, {0x0F, 0xA6}, {0xFE, 0xD0}, {0xFF, 0xF8},                                 // undefined
      {0x67, 0x8B, 0x05, 1, 2, 3, 4},                                                         // EIP-relative
      {0x66, 0xE8, 1, 2},                                                                     // 16-bit call
      {0xC7, 0xF8, 1, 2, 3, 4},                                                               // xbegin
      {0x48, 0x66, 0x90},                                                                     // REX not last
      {0x8F, 0x89, 0x90, 0x92, 0x00, 0x87, 0xCF, 0x02},                                       // XOP, not pop
      {0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x2E, 0x90},  // > 15 bytes
  };
  for (const auto& bytes : cases) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    EXPECT_EQ(DecodeX64(bytes.data(), bytes.size()).length, 0);
  }
}

TEST(X64Decoder, NeverReadsPastTheAvailableBytes) {
  // Each prefix of a valid instruction is too short to decode.
  const uint8_t full[] = {0x48, 0x81, 0xEC, 0x28, 0x01, 0x00, 0x00};
  for (size_t n = 0; n < sizeof full; ++n) {
    std::vector<uint8_t> cut(full, full + n);
    EXPECT_EQ(DecodeX64(cut.data(), cut.size()).length, 0) << n;
  }
  EXPECT_EQ(DecodeX64(full, sizeof full).length, sizeof full);
}

}  // namespace
