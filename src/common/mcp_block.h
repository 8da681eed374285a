// The autopilot panel block (McpBlock): 144 bytes that a client uploads with "sMCPDATA20" and
// its check value. A wire format: the table below is its one definition, every field with its
// offset, encoding, element count, change-flag bit and start value. The add-on merges and
// applies blocks through it, libzelm builds them through it, and the checks below prove at
// compile time that the fields tile the block without overlap, keep their alignment and have
// distinct flag bits. docs/protocol.md lists the same fields under the same names (a test
// compares them).
//
// Encodings: f64 IEEE 754 double, u32 unsigned, u8 one byte; all little-endian. The four
// requests carry no flag bit: a request of -1.0 (altitude, vertical speed) or below 0 (speed,
// heading) is none. Every other field the add-on acts on is taken only when its bit in
// changeFlags is set; state bytes want 0 (off) or 1 (on).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "common/coding.h"

namespace velkaro {

inline constexpr std::size_t kMcpBlockSize = 144;
using McpBlock = std::array<std::uint8_t, kMcpBlockSize>;

enum class McpType : std::uint8_t { kText, kF64, kU32, kU8, kBytes };

inline constexpr int kNoFlag = -1;

struct McpField {
  const char* name;
  std::size_t offset;
  McpType type;
  std::size_t count;  // elements; bytes for kText and kBytes
  int bit;            // changeFlags bit, or kNoFlag
  double start;       // start value of every element (the magic is written separately)
};

namespace mcp_fields {
using enum McpType;
// clang-format off
inline constexpr McpField kAll[] = {
  {"magic",                   0, kText,  8, kNoFlag,  0},   // "ZELM20" and its NUL, one free byte
  {"altitudeRequest",         8, kF64,   1, kNoFlag, -1},   // feet; engages altitude hold
  {"verticalSpeedRequest",   16, kF64,   1, kNoFlag, -1},   // ft/min
  {"speedRequest",           24, kF64,   1, kNoFlag, -1},   // knots, or Mach above 0 and below 2.0
  {"headingRequest",         32, kF64,   1, kNoFlag, -1},   // degrees; engages heading hold
  {"reserved1",              40, kF64,   1, kNoFlag, -1},   // carried by the merge
  {"reserved2",              48, kF64,   1, kNoFlag,  0},
  {"reserved3",              56, kF64,   1, kNoFlag,  0},
  {"speedReference",         64, kF64,   1, 14,       0},   // knots
  {"n1Reference",            72, kF64,   1, 15,       0},
  {"machReference",          80, kF64,   1, 16,       0},
  {"altitudeReference",      88, kF64,   1, 17,       0},   // feet
  {"verticalSpeedReference", 96, kF64,   1, 18,       0},   // ft/min
  {"headingBug",            104, kF64,   1, 19,       0},   // degrees
  {"nav1Course",            112, kF64,   1, 20,       0},   // degrees
  {"changeFlags",           120, kU32,   1, kNoFlag,  0},
  {"apMaster",              124, kU8,    1, 0,        0},
  {"autothrottleArm",       125, kU8,    1, 1,        0},
  {"flightDirector",        126, kU8,    1, 2,        0},
  {"speedHold",             127, kU8,    1, 3,        0},
  {"n1Hold",                128, kU8,    1, 4,        0},
  {"machHold",              129, kU8,    1, 5,        0},
  {"altitudeHold",          130, kU8,    1, 6,        0},
  {"reserved131",           131, kU8,    2, kNoFlag,  0},   // carried by the merge
  {"headingHold",           133, kU8,    1, 9,        0},
  {"reserved134",           134, kU8,    1, kNoFlag,  0},
  {"locHold",               135, kU8,    1, 10,       0},
  {"approachHold",          136, kU8,    1, 11,       0},
  {"reserved137",           137, kU8,    2, kNoFlag,  0},
  {"unused139",             139, kBytes, 5, kNoFlag,  0},   // never read, never copied
};
// clang-format on
}  // namespace mcp_fields

inline constexpr std::span<const McpField> kMcpFields{mcp_fields::kAll};

// A set of fields: bit i stands for kMcpFields[i].
using McpFieldSet = std::uint32_t;
static_assert(std::size(mcp_fields::kAll) <= 32, "a field set has a bit for every field");

// The set holding only the field that starts at `offset`; empty when no field starts there.
constexpr McpFieldSet McpFieldAt(std::size_t offset) {
  for (std::size_t i = 0; i < kMcpFields.size(); ++i) {
    if (kMcpFields[i].offset == offset) return McpFieldSet{1} << i;
  }
  return 0;
}

constexpr std::size_t McpElementWidth(const McpField& f) {
  switch (f.type) {
    case McpType::kF64:
      return 8;
    case McpType::kU32:
      return 4;
    case McpType::kU8:
    case McpType::kText:
    case McpType::kBytes:
      return 1;
  }
  return 0;
}
constexpr std::size_t McpFieldBytes(const McpField& f) {
  return McpElementWidth(f) * f.count;
}

consteval bool McpLayoutIsSound() {
  std::size_t end = 0;
  std::uint32_t bits = 0;
  for (const McpField& f : mcp_fields::kAll) {
    if (f.offset != end || f.count == 0) return false;  // in order, no gap, no overlap
    if (f.type == McpType::kF64 && f.offset % 8 != 0) return false;
    if (f.type == McpType::kU32 && f.offset % 4 != 0) return false;
    if (f.bit != kNoFlag) {
      if (f.bit < 0 || f.bit > 31 || f.count != 1) return false;
      if (f.type != McpType::kF64 && f.type != McpType::kU8) return false;
      const std::uint32_t mask = 1u << f.bit;
      if (bits & mask) return false;  // each bit names one field
      bits |= mask;
    }
    end = f.offset + McpFieldBytes(f);
  }
  return end == kMcpBlockSize;
}
static_assert(McpLayoutIsSound(),
              "autopilot block fields overlap, leave gaps, are misaligned or share a flag bit");

consteval bool McpNamesAreUnique() {
  for (std::size_t i = 0; i < std::size(mcp_fields::kAll); ++i) {
    for (std::size_t j = i + 1; j < std::size(mcp_fields::kAll); ++j) {
      if (std::string_view(mcp_fields::kAll[i].name) == mcp_fields::kAll[j].name) return false;
    }
  }
  return true;
}
static_assert(McpNamesAreUnique(), "every autopilot block field has its own name");

// Typed handles on the fields, resolved by name at compile time: a wrong name, or a field of
// another kind, does not compile.
struct McpF64Field {  // a request or reserved value
  std::size_t offset;
};
struct McpReferenceField {  // an f64 reference with its flag bit
  std::size_t offset;
  std::uint32_t bit;
};
struct McpStateField {  // a state byte with its flag bit
  std::size_t offset;
  std::uint32_t bit;
};

consteval const McpField& McpFieldNamed(std::string_view name) {
  for (const McpField& f : mcp_fields::kAll) {
    if (name == f.name) return f;
  }
  throw "no autopilot block field of that name";
}
consteval McpF64Field McpF64(std::string_view name) {
  const McpField& f = McpFieldNamed(name);
  if (f.type != McpType::kF64 || f.bit != kNoFlag) throw "not an unflagged f64 field";
  return {f.offset};
}
consteval McpReferenceField McpReference(std::string_view name) {
  const McpField& f = McpFieldNamed(name);
  if (f.type != McpType::kF64 || f.bit == kNoFlag) throw "not a flagged f64 field";
  return {f.offset, 1u << f.bit};
}
consteval McpStateField McpState(std::string_view name) {
  const McpField& f = McpFieldNamed(name);
  if (f.type != McpType::kU8 || f.bit == kNoFlag) throw "not a flagged state byte";
  return {f.offset, 1u << f.bit};
}

namespace mcp {
inline constexpr std::size_t kMagic = McpFieldNamed("magic").offset;
inline constexpr std::size_t kChangeFlags = McpFieldNamed("changeFlags").offset;

inline constexpr McpF64Field kAltitudeRequest = McpF64("altitudeRequest");
inline constexpr McpF64Field kVerticalSpeedRequest = McpF64("verticalSpeedRequest");
inline constexpr McpF64Field kSpeedRequest = McpF64("speedRequest");
inline constexpr McpF64Field kHeadingRequest = McpF64("headingRequest");

inline constexpr McpReferenceField kSpeedReference = McpReference("speedReference");
inline constexpr McpReferenceField kN1Reference = McpReference("n1Reference");
inline constexpr McpReferenceField kMachReference = McpReference("machReference");
inline constexpr McpReferenceField kAltitudeReference = McpReference("altitudeReference");
inline constexpr McpReferenceField kVerticalSpeedReference = McpReference("verticalSpeedReference");
inline constexpr McpReferenceField kHeadingBug = McpReference("headingBug");
inline constexpr McpReferenceField kNav1Course = McpReference("nav1Course");

inline constexpr McpStateField kApMaster = McpState("apMaster");
inline constexpr McpStateField kAutothrottleArm = McpState("autothrottleArm");
inline constexpr McpStateField kFlightDirector = McpState("flightDirector");
inline constexpr McpStateField kSpeedHold = McpState("speedHold");
inline constexpr McpStateField kN1Hold = McpState("n1Hold");
inline constexpr McpStateField kMachHold = McpState("machHold");
inline constexpr McpStateField kAltitudeHold = McpState("altitudeHold");
inline constexpr McpStateField kHeadingHold = McpState("headingHold");
inline constexpr McpStateField kLocHold = McpState("locHold");
inline constexpr McpStateField kApproachHold = McpState("approachHold");

// What the merge copies from an accepted block: every f64 value (requests, reserved values,
// references), and the state and reserved bytes between changeFlags and the unused tail.
inline constexpr std::size_t kValuesBegin = McpFieldNamed("altitudeRequest").offset;
inline constexpr std::size_t kValuesEnd = kChangeFlags;
inline constexpr std::size_t kStatesBegin = McpFieldNamed("apMaster").offset;
inline constexpr std::size_t kStatesEnd = McpFieldNamed("unused139").offset;
}  // namespace mcp

consteval bool McpMergeRangesAreSound() {
  for (const McpField& f : mcp_fields::kAll) {
    const bool value = f.offset >= mcp::kValuesBegin && f.offset < mcp::kValuesEnd;
    const bool state = f.offset >= mcp::kStatesBegin && f.offset < mcp::kStatesEnd;
    if (value != (f.type == McpType::kF64)) return false;
    if (state != (f.type == McpType::kU8)) return false;
  }
  return true;
}
static_assert(McpMergeRangesAreSound(), "the merge copies exactly the values and state bytes");

inline constexpr char kMcpMagic[] = "ZELM20";  // written with its NUL: 7 bytes

constexpr double McpGetF64(const McpBlock& block, McpF64Field f) {
  return DecodeF64(block.data() + f.offset);
}
constexpr double McpGetF64(const McpBlock& block, McpReferenceField f) {
  return DecodeF64(block.data() + f.offset);
}
constexpr void McpSetF64(McpBlock& block, McpF64Field f, double value) {
  EncodeF64(block.data() + f.offset, value);
}
// Sets the value only; McpChange also marks it changed.
constexpr void McpSetF64(McpBlock& block, McpReferenceField f, double value) {
  EncodeF64(block.data() + f.offset, value);
}
constexpr std::uint32_t McpChangeFlags(const McpBlock& block) {
  return DecodeU32(block.data() + mcp::kChangeFlags);
}
constexpr void McpSetChangeFlags(McpBlock& block, std::uint32_t flags) {
  EncodeU32(block.data() + mcp::kChangeFlags, flags);
}
// Sets a reference or a state and marks it changed.
constexpr void McpChange(McpBlock& block, McpReferenceField f, double value) {
  McpSetF64(block, f, value);
  McpSetChangeFlags(block, McpChangeFlags(block) | f.bit);
}
constexpr void McpChange(McpBlock& block, McpStateField f, std::uint8_t state) {
  block[f.offset] = state;
  McpSetChangeFlags(block, McpChangeFlags(block) | f.bit);
}

// Gives a block its start values: magic, requests -1.0 (none), references 0.0, no flags, all
// states 0. The magic's eighth byte and the unused tail are left as they are.
void ResetMcpBlock(McpBlock& block);

// Folds an accepted request into the pending block: flags accumulate (OR); every value and
// state byte is taken from the request. The request's magic and its unused tail are not copied.
void MergeMcpBlock(const McpBlock& request, McpBlock& pending);

// The check value a client sends after the block: h = 31, then for each byte its magnitude v
// as a signed 8-bit value, h = h * 54059 ^ v * 76963 (mod 2^32).
std::uint32_t McpCheckValue(const std::uint8_t* block);

}  // namespace velkaro
