#include "autopilot/mcp_exchange.h"

#include <algorithm>
#include <cstring>

namespace velkaro {

void McpExchange::Reset() {
  platform::MutexLock lock(mutex_);
  ResetMcpBlock(request_);
  ResetMcpBlock(pending_);
  merged_.store(false, std::memory_order_relaxed);
  refused_ = 0;
}

bool McpExchange::StoreAndMerge(const McpBlock& block, std::uint32_t check) {
  // The check and the merge happen under the same lock as the store, so a second upload cannot
  // replace the request between this one's check and its merge.
  platform::MutexLock lock(mutex_);
  request_ = block;
  if (McpCheckValue(request_.data()) != check) return false;
  MergeMcpBlock(request_, pending_);
  merged_.store(true, std::memory_order_release);
  return true;
}

void McpExchange::StorePartial(const std::uint8_t* bytes, std::size_t count) {
  platform::MutexLock lock(mutex_);
  std::memcpy(request_.data(), bytes, std::min(count, request_.size()));
}

bool McpExchange::TakePending(McpBlock* pending) {
  // A merge that sets the flag after this load is taken whole by the next call.
  if (!merged_.load(std::memory_order_acquire)) return false;
  platform::MutexLock lock(mutex_);
  *pending = pending_;
  ResetMcpBlock(pending_);
  merged_.store(false, std::memory_order_relaxed);
  return true;
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
