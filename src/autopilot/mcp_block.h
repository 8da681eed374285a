// The autopilot panel block (McpBlock): 144 bytes that a client uploads with "sMCPDATA20" and
// its check value. Two live in the bridge: McpRequest, the block as last received, and
// McpPending, the accepted changes waiting for the next simulator frame. A wire format, read and
// written only through the offsets and helpers below.
//
// Layout (little-endian):
//     0  text[8]  magic "ZELM20"
//     8  f64 x 4  requests: altitude, vertical speed, speed (Mach below 2.0), heading; a
//                 request of -1.0 (altitude, vertical speed) or below 0 (speed, heading) is none
//    40  f64 x 3  reserved, carried by the merge
//    64  f64 x 7  references: speed, N1, Mach, altitude, vertical speed, heading bug, NAV1 course
//   120  u32      changeFlags: one bit per state byte or reference the client changed
//   124  u8 x 15  wanted states (0 off, 1 on) and reserved bytes
//   139  u8 x 5   never read, never copied
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velkaro {

inline constexpr std::size_t kMcpBlockSize = 144;
using McpBlock = std::array<std::uint8_t, kMcpBlockSize>;

namespace mcp {
inline constexpr std::size_t kMagic = 0;
inline constexpr std::size_t kAltitudeRequest = 8;
inline constexpr std::size_t kVerticalSpeedRequest = 16;
inline constexpr std::size_t kSpeedRequest = 24;
inline constexpr std::size_t kHeadingRequest = 32;
inline constexpr std::size_t kReserved1 = 40;
inline constexpr std::size_t kReserved2 = 48;
inline constexpr std::size_t kReserved3 = 56;
inline constexpr std::size_t kSpeedReference = 64;
inline constexpr std::size_t kN1Reference = 72;
inline constexpr std::size_t kMachReference = 80;
inline constexpr std::size_t kAltitudeReference = 88;
inline constexpr std::size_t kVerticalSpeedReference = 96;
inline constexpr std::size_t kHeadingBug = 104;
inline constexpr std::size_t kNav1Course = 112;
inline constexpr std::size_t kChangeFlags = 120;
inline constexpr std::size_t kApMaster = 124;
inline constexpr std::size_t kAutothrottleArm = 125;
inline constexpr std::size_t kFlightDirector = 126;
inline constexpr std::size_t kSpeedHold = 127;
inline constexpr std::size_t kN1Hold = 128;
inline constexpr std::size_t kMachHold = 129;
inline constexpr std::size_t kAltitudeHold = 130;
inline constexpr std::size_t kHeadingHold = 133;
inline constexpr std::size_t kLocHold = 135;
inline constexpr std::size_t kApproachHold = 136;
inline constexpr std::size_t kStateBytesEnd = 139;  // bytes 124..138 are states and reserved
inline constexpr std::size_t kMagicLength = 7;      // "ZELM20" and its NUL

// changeFlags bits.
inline constexpr std::uint32_t kBitApMaster = 1u << 0;
inline constexpr std::uint32_t kBitAutothrottleArm = 1u << 1;
inline constexpr std::uint32_t kBitFlightDirector = 1u << 2;
inline constexpr std::uint32_t kBitSpeedHold = 1u << 3;
inline constexpr std::uint32_t kBitN1Hold = 1u << 4;
inline constexpr std::uint32_t kBitMachHold = 1u << 5;
inline constexpr std::uint32_t kBitAltitudeHold = 1u << 6;
inline constexpr std::uint32_t kBitHeadingHold = 1u << 9;
inline constexpr std::uint32_t kBitLocHold = 1u << 10;
inline constexpr std::uint32_t kBitApproachHold = 1u << 11;
inline constexpr std::uint32_t kBitSpeedReference = 1u << 14;
inline constexpr std::uint32_t kBitN1Reference = 1u << 15;
inline constexpr std::uint32_t kBitMachReference = 1u << 16;
inline constexpr std::uint32_t kBitAltitudeReference = 1u << 17;
inline constexpr std::uint32_t kBitVerticalSpeedReference = 1u << 18;
inline constexpr std::uint32_t kBitHeadingBug = 1u << 19;
inline constexpr std::uint32_t kBitNav1Course = 1u << 20;
}  // namespace mcp

double McpGetF64(const McpBlock& block, std::size_t offset);
void McpSetF64(McpBlock& block, std::size_t offset, double value);
std::uint32_t McpChangeFlags(const McpBlock& block);
void McpSetChangeFlags(McpBlock& block, std::uint32_t flags);

// Gives a block its start values: magic, requests -1.0 (none), references 0.0, no flags, all
// states 0. The magic's eighth byte and the bytes from 139 on are left as they are.
void ResetMcpBlock(McpBlock& block);

// Folds an accepted request into the pending block: flags accumulate (OR); every value and
// state byte is taken from the request. The request's magic and bytes 139..143 are not copied.
void MergeMcpBlock(const McpBlock& request, McpBlock& pending);

// The check value a client sends after the block: h = 31, then for each byte its magnitude v
// as a signed 8-bit value, h = h * 54059 ^ v * 76963 (mod 2^32).
std::uint32_t McpCheckValue(const std::uint8_t* block);

}  // namespace velkaro
