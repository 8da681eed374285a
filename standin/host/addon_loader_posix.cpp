#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "host/addon_loader.h"

namespace velkaro::standin {

namespace {
using EntryStart = int (*)();
using EntryStop = void (*)();
using GetApi = const StandInApi* (*)();
}  // namespace

int AddOn::Start() const {
  return start();
}
void AddOn::Stop() const {
  stop();
}

std::string ProgramFolder() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "./";
  std::string path(buffer, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string DefaultAddOnPath() {
  return ProgramFolder() + "Velkaro.so";
}

std::string DefaultAircraftPath() {
  return ProgramFolder() + "aircraft/Velkaro Trainer/velkaro_trainer.air";
}

bool LoadAddOn(const std::string& path, AddOn* out, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = "cannot load the add-on " + path + ": " + dlerror();
    return false;
  }
  auto start = reinterpret_cast<EntryStart>(dlsym(module, "DLLStart"));
  auto stop = reinterpret_cast<EntryStop>(dlsym(module, "DLLStop"));
  if (start == nullptr || stop == nullptr) {
    *error = path + " is not an add-on: it does not export DLLStart and DLLStop";
    return false;
  }
  // The SimConnect the add-on was linked against is loaded by now.
  void* simconnect = dlopen("libSimConnect.so", RTLD_NOW | RTLD_NOLOAD);
  auto get_api = simconnect != nullptr
                     ? reinterpret_cast<GetApi>(dlsym(simconnect, "StandIn_GetApi"))
                     : nullptr;
  if (get_api == nullptr) {
    *error = path + " is not bound to the stand-in SimConnect (libSimConnect.so)";
    return false;
  }
  const StandInApi* api = get_api();
  if (api == nullptr || api->version != STANDIN_API_VERSION) {
    *error = "the stand-in SimConnect beside " + path + " is of another version";
    return false;
  }
  out->start = start;
  out->stop = stop;
  out->simulator = api;
  out->path = path;
  return true;
}

std::string DefaultSimulatorPath() {
  return ProgramFolder() + "libSimConnect.so";
}

const StandInApi* LoadSimulator(const std::string& path, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = "cannot load the stand-in simulator " + path + ": " + dlerror();
    return nullptr;
  }
  auto get_api = reinterpret_cast<GetApi>(dlsym(module, "StandIn_GetApi"));
  const StandInApi* api = get_api != nullptr ? get_api() : nullptr;
  if (api == nullptr || api->version != STANDIN_API_VERSION) {
    *error = path + " is not the stand-in SimConnect of this version";
    return nullptr;
  }
  return api;
}

}  // namespace velkaro::standin
