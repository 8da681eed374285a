#include "autopilot/mcp_exchange.h"

#include <algorithm>
#include <cstring>

namespace velkaro {

void McpExchange::Reset() {
  platform::MutexLock lock(mutex_);
  ResetMcpBlock(request_);
  ResetMcpBlock(pending_);
  refused_ = 0;
}

bool McpExchange::StoreAndMerge(const McpBlock& block, std::uint32_t check) {
  // The check and the merge happen under the same lock as the store, so a second upload cannot
  // replace the request between this one's check and its merge.
  platform::MutexLock lock(mutex_);
  request_ = block;
  if (McpCheckValue(request_.data()) != check) return false;
  MergeMcpBlock(request_, pending_);
  return true;
}

void McpExchange::StorePartial(const std::uint8_t* bytes, std::size_t count) {
  platform::MutexLock lock(mutex_);
  std::memcpy(request_.data(), bytes, std::min(count, request_.size()));
}

McpBlock McpExchange::TakePending() {
  platform::MutexLock lock(mutex_);
  const McpBlock pending = pending_;
  ResetMcpBlock(pending_);
  return pending;
}

McpFieldSet McpExchange::FirstRefusals(McpFieldSet fields) {
  platform::MutexLock lock(mutex_);
  const McpFieldSet first = fields & ~refused_;
  refused_ |= fields;
  return first;
}

McpBlock McpExchange::Request() const {
  platform::MutexLock lock(mutex_);
  return request_;
}

McpBlock McpExchange::Pending() const {
  platform::MutexLock lock(mutex_);
  return pending_;
}

}  // namespace velkaro
