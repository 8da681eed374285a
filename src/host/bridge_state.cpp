#include "host/bridge_state.h"

#include "host/addon_state.h"

namespace velkaro {

BridgeState Bridge;

namespace addon_state {

void SetSettingsFolder(const std::string& folder) {
  Bridge.SettingsFolder = folder;
}
void SetServerRunning(bool running) {
  Bridge.ServerRunning.store(running);
}
bool ServerRunning() {
  return Bridge.ServerRunning.load();
}
FrameExchange& Frames() {
  return Bridge.Frames;
}
std::string& AircraftPath() {
  return Bridge.AircraftPath;
}
bool AircraftChanged() {
  return Bridge.AircraftChanged;
}
FlapsTable& AircraftFlaps() {
  return Bridge.AircraftFlapsTable;
}

}  // namespace addon_state
}  // namespace velkaro
