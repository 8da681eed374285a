#include "autopilot/mcp_block.h"

#include <cstring>

#include "common/coding.h"

namespace velkaro {

namespace {
constexpr char kMcpMagic[mcp::kMagicLength] = {'Z', 'E', 'L', 'M', '2', '0', '\0'};
}  // namespace

double McpGetF64(const McpBlock& block, std::size_t offset) {
  return DecodeF64(block.data() + offset);
}
void McpSetF64(McpBlock& block, std::size_t offset, double value) {
  EncodeF64(block.data() + offset, value);
}
std::uint32_t McpChangeFlags(const McpBlock& block) {
  return DecodeU32(block.data() + mcp::kChangeFlags);
}
void McpSetChangeFlags(McpBlock& block, std::uint32_t flags) {
  EncodeU32(block.data() + mcp::kChangeFlags, flags);
}

void ResetMcpBlock(McpBlock& block) {
  std::memcpy(block.data() + mcp::kMagic, kMcpMagic, sizeof kMcpMagic);
  for (std::size_t offset : {mcp::kAltitudeRequest, mcp::kVerticalSpeedRequest, mcp::kSpeedRequest,
                             mcp::kHeadingRequest, mcp::kReserved1}) {
    McpSetF64(block, offset, -1.0);
  }
  for (std::size_t offset = mcp::kReserved2; offset < mcp::kChangeFlags; offset += 8) {
    McpSetF64(block, offset, 0.0);
  }
  McpSetChangeFlags(block, 0);
  std::memset(block.data() + mcp::kApMaster, 0, mcp::kStateBytesEnd - mcp::kApMaster);
}

void MergeMcpBlock(const McpBlock& request, McpBlock& pending) {
  std::memcpy(pending.data() + mcp::kMagic, kMcpMagic, sizeof kMcpMagic);
  McpSetChangeFlags(pending, McpChangeFlags(pending) | McpChangeFlags(request));
  std::memcpy(pending.data() + mcp::kAltitudeRequest, request.data() + mcp::kAltitudeRequest,
              mcp::kChangeFlags - mcp::kAltitudeRequest);
  std::memcpy(pending.data() + mcp::kApMaster, request.data() + mcp::kApMaster,
              mcp::kStateBytesEnd - mcp::kApMaster);
}

std::uint32_t McpCheckValue(const std::uint8_t* block) {
  std::uint32_t h = 31;
  for (std::size_t i = 0; i < kMcpBlockSize; ++i) {
    const int value = static_cast<std::int8_t>(block[i]);
    const auto magnitude = static_cast<std::uint32_t>(value < 0 ? -value : value);
    h = (h * 54059u) ^ (magnitude * 76963u);
  }
  return h;
}

}  // namespace velkaro
