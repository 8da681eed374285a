// The command protocol between the add-on and its clients: the one definition of the command
// tags, the frame magic, the default port and the bounds both sides enforce. The add-on's
// sessions, libzelm and the stand-in host all take them from here.
//
// A client sends ten-byte command tags, some followed by a payload; the add-on answers the read
// commands and stores what the upload commands bring:
//   "rSIMDATA30"  -> the latest frame (kFrameSize bytes), after waiting for a fresh one
//   "rFMCDATA20"  -> u32 length N, N bytes of FMC data, u32 version word
//   "vFMCDATA20"  -> the first kFmcHeadBytes of the FMC data (zero-filled), or all 0xFF when empty
//   "sMCPDATA20" + kMcpBlockSize-byte autopilot block + u32 check value
//   "sFMCDATA20" + u32 N + N bytes + u32 version word   (FMC data)
//   "sFPLDATA10" + u32 N + N bytes + u32 version word   (flight-plan data)
//   "rSTATUS010"  -> u32 length N, N bytes of UTF-8 JSON describing the add-on's state
//                    (add-ons before 1.1 ignore it: a client probing for it must not wait long)
// Every word is little-endian (common/coding.h). Unknown tags are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velkaro::protocol {

inline constexpr std::uint16_t kDefaultPort = 5193;

inline constexpr std::size_t kTagSize = 10;
inline constexpr std::string_view kTagFrame = "rSIMDATA30";
inline constexpr std::string_view kTagFmcRead = "rFMCDATA20";
inline constexpr std::string_view kTagFmcVersion = "vFMCDATA20";
inline constexpr std::string_view kTagMcpStore = "sMCPDATA20";
inline constexpr std::string_view kTagFmcStore = "sFMCDATA20";
inline constexpr std::string_view kTagFlightPlanStore = "sFPLDATA10";
inline constexpr std::string_view kTagStatus = "rSTATUS010";

consteval bool TagsHaveTheirSize() {
  for (std::string_view tag :
       {kTagFrame, kTagFmcRead, kTagFmcVersion, kTagMcpStore, kTagFmcStore, kTagFlightPlanStore,
        kTagStatus}) {
    if (tag.size() != kTagSize) return false;
  }
  return true;
}
static_assert(TagsHaveTheirSize(), "every command tag is ten characters");

// The first bytes of every frame a session sends: the text and its NUL.
inline constexpr char kFrameMagic[] = "ZELM30";
inline constexpr std::size_t kFrameMagicBytes = sizeof kFrameMagic;

// Length, version and check-value words.
inline constexpr std::size_t kWordBytes = 4;
// The "vFMCDATA20" reply.
inline constexpr std::size_t kFmcHeadBytes = 8;

// Largest "sFMCDATA20" / "sFPLDATA10" payload (and so the largest "rFMCDATA20" reply): a larger
// announced length ends the session on the add-on's side and is an error on a client's.
inline constexpr std::uint32_t kMaxUploadBytes = 16u * 1024 * 1024;

// Largest "rSTATUS010" reply: a client refuses a longer one.
inline constexpr std::uint32_t kMaxStatusBytes = 64u * 1024;

// Fresh-frame wait: a session that has sent the latest frame waits at most this long for the
// next one, then sends the latest again.
inline constexpr int kFreshFrameWaitMs = 100;

}  // namespace velkaro::protocol
