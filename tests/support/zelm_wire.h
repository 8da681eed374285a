// Test support: a protocol spoken by hand through a libzelm connection, for tests of what the
// add-on's client service does with exactly these bytes (the add-on itself, zelm replay).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "support/wire_bytes.h"
#include "zelm_client.h"

namespace velkaro::testing {

inline bool Send(zelm::Connection& c, const Bytes& bytes) {
  return c.SendAll(bytes.data(), bytes.size());
}

inline Bytes Receive(zelm::Connection& c, std::size_t n) {
  Bytes bytes(n);
  EXPECT_TRUE(c.ReceiveAll(bytes.data(), n)) << c.error();
  return bytes;
}

// The peer closed the connection (by a close or a reset), rather than staying silent.
inline bool Closed(zelm::Connection& c) {
  std::uint8_t byte;
  return !c.ReceiveAll(&byte, 1) && c.error_kind() != zelm::ErrorKind::kTimedOut;
}

}  // namespace velkaro::testing
