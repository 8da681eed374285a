// Fixed-width little-endian encoding and decoding of the wire formats (the frame, the autopilot
// block, the simulator record, the protocol's length and version words). Every access goes
// through these helpers: bytes are assembled by shifts, and a real travels as the integer of its
// bit pattern (std::bit_cast), so no code casts a struct onto a byte buffer and the result does
// not depend on the host's byte order or on alignment. They work at compile time too, for images
// of wire data built then.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velkaro {

constexpr void EncodeU32(std::uint8_t* dst, std::uint32_t v) {
  dst[0] = static_cast<std::uint8_t>(v);
  dst[1] = static_cast<std::uint8_t>(v >> 8);
  dst[2] = static_cast<std::uint8_t>(v >> 16);
  dst[3] = static_cast<std::uint8_t>(v >> 24);
}

constexpr std::uint32_t DecodeU32(const std::uint8_t* src) {
  return static_cast<std::uint32_t>(src[0]) | (static_cast<std::uint32_t>(src[1]) << 8) |
         (static_cast<std::uint32_t>(src[2]) << 16) | (static_cast<std::uint32_t>(src[3]) << 24);
}

constexpr void EncodeU64(std::uint8_t* dst, std::uint64_t v) {
  EncodeU32(dst, static_cast<std::uint32_t>(v));
  EncodeU32(dst + 4, static_cast<std::uint32_t>(v >> 32));
}

constexpr std::uint64_t DecodeU64(const std::uint8_t* src) {
  return static_cast<std::uint64_t>(DecodeU32(src)) |
         (static_cast<std::uint64_t>(DecodeU32(src + 4)) << 32);
}

constexpr void EncodeI32(std::uint8_t* dst, std::int32_t v) {
  EncodeU32(dst, static_cast<std::uint32_t>(v));
}
constexpr std::int32_t DecodeI32(const std::uint8_t* src) {
  return static_cast<std::int32_t>(DecodeU32(src));
}
constexpr void EncodeI64(std::uint8_t* dst, std::int64_t v) {
  EncodeU64(dst, static_cast<std::uint64_t>(v));
}
constexpr std::int64_t DecodeI64(const std::uint8_t* src) {
  return static_cast<std::int64_t>(DecodeU64(src));
}

constexpr void EncodeF64(std::uint8_t* dst, double v) {
  EncodeU64(dst, std::bit_cast<std::uint64_t>(v));
}
constexpr double DecodeF64(const std::uint8_t* src) {
  return std::bit_cast<double>(DecodeU64(src));
}

}  // namespace velkaro
