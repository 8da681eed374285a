#include "host/bridge_state.h"

#if !defined(VELKARO_LOG_ENABLED)
#define VELKARO_LOG_ENABLED 0
#endif

namespace velkaro {

// The log is written only when the add-on is built with logging on; nothing switches it on at
// run time.
BridgeState::BridgeState() {
  Log.Enabled = VELKARO_LOG_ENABLED != 0;
}

BridgeState Bridge;

}  // namespace velkaro
