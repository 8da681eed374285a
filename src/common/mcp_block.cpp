#include "common/mcp_block.h"

#include <cstring>

namespace velkaro {

namespace {

// The block with every field at its start value, built once at compile time from the table:
// a reset is then two copies, cheap enough for the simulator's thread under the autopilot lock.
consteval McpBlock StartBlockImage() {
  McpBlock block{};
  for (std::size_t i = 0; i < sizeof kMcpMagic; ++i) {
    block[mcp::kMagic + i] = static_cast<std::uint8_t>(kMcpMagic[i]);
  }
  for (const McpField& f : kMcpFields) {
    for (std::size_t i = 0; i < f.count; ++i) {
      std::uint8_t* element = block.data() + f.offset + McpElementWidth(f) * i;
      switch (f.type) {
        case McpType::kF64:
          EncodeF64(element, f.start);
          break;
        case McpType::kU32:
          EncodeU32(element, static_cast<std::uint32_t>(f.start));
          break;
        case McpType::kU8:
          *element = static_cast<std::uint8_t>(f.start);
          break;
        case McpType::kText:
        case McpType::kBytes:
          break;
      }
    }
  }
  return block;
}

constexpr McpBlock kStartBlock = StartBlockImage();

// What a reset writes: the magic with its NUL, and everything from the first value up to the
// unused tail.
constexpr std::size_t kResetBegin = mcp::kValuesBegin;
static_assert(mcp::kMagic + sizeof kMcpMagic <= kResetBegin);

}  // namespace

void ResetMcpBlock(McpBlock& block) {
  std::memcpy(block.data() + mcp::kMagic, kStartBlock.data() + mcp::kMagic, sizeof kMcpMagic);
  std::memcpy(block.data() + kResetBegin, kStartBlock.data() + kResetBegin,
              mcp::kStatesEnd - kResetBegin);
}

void MergeMcpBlock(const McpBlock& request, McpBlock& pending) {
  std::memcpy(pending.data() + mcp::kMagic, kMcpMagic, sizeof kMcpMagic);
  McpSetChangeFlags(pending, McpChangeFlags(pending) | McpChangeFlags(request));
  std::memcpy(pending.data() + mcp::kValuesBegin, request.data() + mcp::kValuesBegin,
              mcp::kValuesEnd - mcp::kValuesBegin);
  std::memcpy(pending.data() + mcp::kStatesBegin, request.data() + mcp::kStatesBegin,
              mcp::kStatesEnd - mcp::kStatesBegin);
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
