#include <windows.h>

#include "host/addon_loader.h"
#include "platform/system.h"

namespace velkaro::standin {

namespace {
using EntryStart = int(__stdcall*)();
using EntryStop = void(__stdcall*)();
using GetApi = const StandInApi*(__cdecl*)();

EntryStart g_start = nullptr;
EntryStop g_stop = nullptr;

std::string ErrorText(DWORD code) {
  // The two failures of a wrong installation, in words even where the system has none.
  if (code == ERROR_SXS_CANT_GEN_ACTCTX || code == 14003) {
    return "the Microsoft.FlightSimulator.SimConnect assembly was not found beside the add-on (" +
           std::to_string(code) + ")";
  }
  if (code == ERROR_RESOURCE_TYPE_NOT_FOUND || code == ERROR_RESOURCE_NAME_NOT_FOUND) {
    return "the add-on carries no manifest (" + std::to_string(code) + ")";
  }
  const std::string text = platform::SystemErrorText(static_cast<int>(code));
  return (text.empty() ? "error" : text) + " (" + std::to_string(code) + ")";
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

int CallStart() {
  return g_start();
}
void CallStop() {
  g_stop();
}
}  // namespace

int AddOn::Start() const {
  return start();
}
void AddOn::Stop() const {
  stop();
}

std::string ProgramFolder() {
  char buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  return FolderOf(std::string(buffer, n));
}

std::string DefaultAddOnPath() {
  return ProgramFolder() + "Velkaro.dll";
}

std::string DefaultAircraftPath() {
  return ProgramFolder() + "aircraft\\Velkaro Trainer\\velkaro_trainer.air";
}

bool LoadAddOn(const std::string& path, AddOn* out, std::string* error) {
  char full[MAX_PATH];
  if (GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr) == 0) {
    *error = "cannot resolve the add-on path " + path;
    return false;
  }
  // The loader would quietly fall back to any SimConnect.dll on the search path when the
  // manifest or the assembly is wrong; building the add-on's activation context first shows it.
  const std::string folder = FolderOf(full);
  ACTCTXA context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  context.lpSource = full;
  context.lpResourceName = MAKEINTRESOURCEA(2);
  context.lpAssemblyDirectory = folder.c_str();
  const HANDLE activation = CreateActCtxA(&context);
  if (activation == INVALID_HANDLE_VALUE) {
    *error = "the add-on " + std::string(full) +
             " cannot be bound to its SimConnect assembly: " + ErrorText(GetLastError());
    return false;
  }
  ReleaseActCtx(activation);

  const HMODULE module = LoadLibraryA(full);
  if (module == nullptr) {
    *error = "cannot load the add-on " + std::string(full) + ": " + ErrorText(GetLastError());
    return false;
  }
  // (Through void*: FARPROC's own type says nothing of the entry point's.)
  g_start =
      reinterpret_cast<EntryStart>(reinterpret_cast<void*>(GetProcAddress(module, "DLLStart")));
  g_stop = reinterpret_cast<EntryStop>(reinterpret_cast<void*>(GetProcAddress(module, "DLLStop")));
  if (g_start == nullptr || g_stop == nullptr) {
    *error = std::string(full) + " is not an add-on: it does not export DLLStart and DLLStop";
    return false;
  }
  const HMODULE simconnect = GetModuleHandleA("SimConnect.dll");
  auto get_api = simconnect != nullptr ? reinterpret_cast<GetApi>(reinterpret_cast<void*>(
                                             GetProcAddress(simconnect, "StandIn_GetApi")))
                                       : nullptr;
  if (get_api == nullptr) {
    *error = std::string(full) + " is not bound to the stand-in SimConnect.dll";
    return false;
  }
  const StandInApi* api = get_api();
  if (api == nullptr || api->version != STANDIN_API_VERSION) {
    *error = "the stand-in SimConnect beside " + std::string(full) + " is of another version";
    return false;
  }
  out->start = CallStart;
  out->stop = CallStop;
  out->simulator = api;
  out->path = full;
  return true;
}

std::string DefaultSimulatorPath() {
  return ProgramFolder() + "Microsoft.FlightSimulator.SimConnect\\SimConnect.dll";
}

const StandInApi* LoadSimulator(const std::string& path, std::string* error) {
  const HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load the stand-in simulator " + path + ": " + ErrorText(GetLastError());
    return nullptr;
  }
  auto get_api =
      reinterpret_cast<GetApi>(reinterpret_cast<void*>(GetProcAddress(module, "StandIn_GetApi")));
  const StandInApi* api = get_api != nullptr ? get_api() : nullptr;
  if (api == nullptr || api->version != STANDIN_API_VERSION) {
    *error = path + " is not the stand-in SimConnect of this version";
    return nullptr;
  }
  return api;
}

}  // namespace velkaro::standin
