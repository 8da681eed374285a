// Test support: what the sessions of one add-on share (frames, upload stores and their
// allowance, autopilot blocks), made fresh for a test that runs sessions or a server of its own
// without the add-on.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "autopilot/mcp_exchange.h"
#include "common/frame_layout.h"
#include "host/addon.h"
#include "log/log.h"
#include "net/client_session.h"
#include "net/status.h"
#include "net/upload_store.h"
#include "simdata/frame_exchange.h"

namespace velkaro::testing {

// As DLLStart leaves it: the start-up frame in place, not yet published (so frames are sent
// without waiting), both autopilot blocks at their start values; the allowance holds
// `upload_limit` bytes, of which `small_upload_reserve` are kept for small uploads.
struct SharedState {
  explicit SharedState(std::size_t upload_limit = kMaxUploadBytesHeld,
                       std::size_t small_upload_reserve = 0)
      : uploads(upload_limit, small_upload_reserve) {
    PrepareForStart(start_frame.data(), frames, mcp);
  }
  std::array<std::uint8_t, kFrameSize> start_frame{};
  FrameExchange frames;
  UploadAllowance uploads;  // before the stores, whose data gives its charge back
  UploadStore fmc;
  UploadStore flight_plan;
  McpExchange mcp;
  std::atomic<bool> running{true};
  DiagnosticLog log;
  StatusBoard status;
  SessionShared shared{frames, fmc, flight_plan, mcp, uploads, running, log, status};
};

}  // namespace velkaro::testing
