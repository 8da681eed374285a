#include "host/bridge_state.h"

namespace velkaro {

BridgeState Bridge;

}  // namespace velkaro
