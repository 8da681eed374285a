// Test support: byte strings as a client puts them on the wire.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/coding.h"

namespace velkaro::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
inline Bytes Text(const std::string& text) {
  return Bytes(text.begin(), text.end());
}
inline Bytes U32(std::uint32_t v) {
  Bytes b(4);
  EncodeU32(b.data(), v);
  return b;
}

}  // namespace velkaro::testing
