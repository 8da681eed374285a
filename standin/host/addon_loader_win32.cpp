#include <windows.h>

#include <algorithm>

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

// Paths are held in UTF-8 and handed to the system in UTF-16 (the ...W calls), which name every
// folder whatever the system's code page.
std::wstring WideOf(const std::string& text) {
  const int chars =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(std::max(chars, 0)), L'\0');
  if (chars > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
  }
  return wide;
}
std::string Utf8Of(const std::wstring& wide) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(std::max(bytes, 0)), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), bytes,
                        nullptr, nullptr);
  }
  return text;
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
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size() || path.size() > 32768) {
      path.resize(n);
      break;
    }
    path.resize(2 * path.size());
  }
  return FolderOf(Utf8Of(path));
}

std::string DefaultAddOnPath() {
  return ProgramFolder() + "Velkaro.dll";
}

std::string DefaultAircraftPath() {
  return ProgramFolder() + "aircraft\\Velkaro Trainer\\velkaro_trainer.air";
}

bool LoadAddOn(const std::string& path, AddOn* out, std::string* error) {
  const std::wstring given = WideOf(path);
  const DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  std::wstring wide_full(needed, L'\0');
  const DWORD length =
      needed == 0 ? 0 : GetFullPathNameW(given.c_str(), needed, wide_full.data(), nullptr);
  if (length == 0 || length >= needed) {
    *error = "cannot resolve the add-on path " + path;
    return false;
  }
  wide_full.resize(length);
  const std::string full = Utf8Of(wide_full);
  // The loader would quietly fall back to any SimConnect.dll on the search path when the
  // manifest or the assembly is wrong; building the add-on's activation context first shows it.
  const std::wstring folder = WideOf(FolderOf(full));
  ACTCTXW context{};
  context.cbSize = sizeof context;
  context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID;
  context.lpSource = wide_full.c_str();
  context.lpResourceName = MAKEINTRESOURCEW(2);
  context.lpAssemblyDirectory = folder.c_str();
  const HANDLE activation = CreateActCtxW(&context);
  if (activation == INVALID_HANDLE_VALUE) {
    *error = "the add-on " + full +
             " cannot be bound to its SimConnect assembly: " + ErrorText(GetLastError());
    return false;
  }
  ReleaseActCtx(activation);

  const HMODULE module = LoadLibraryW(wide_full.c_str());
  if (module == nullptr) {
    *error = "cannot load the add-on " + full + ": " + ErrorText(GetLastError());
    return false;
  }
  // (Through void*: FARPROC's own type says nothing of the entry point's.)
  g_start =
      reinterpret_cast<EntryStart>(reinterpret_cast<void*>(GetProcAddress(module, "DLLStart")));
  g_stop = reinterpret_cast<EntryStop>(reinterpret_cast<void*>(GetProcAddress(module, "DLLStop")));
  if (g_start == nullptr || g_stop == nullptr) {
    *error = full + " is not an add-on: it does not export DLLStart and DLLStop";
    return false;
  }
  const HMODULE simconnect = GetModuleHandleW(L"SimConnect.dll");
  auto get_api = simconnect != nullptr ? reinterpret_cast<GetApi>(reinterpret_cast<void*>(
                                             GetProcAddress(simconnect, "StandIn_GetApi")))
                                       : nullptr;
  if (get_api == nullptr) {
    *error = full + " is not bound to the stand-in SimConnect.dll";
    return false;
  }
  const StandInApi* api = get_api();
  if (api == nullptr || api->version != STANDIN_API_VERSION) {
    *error = "the stand-in SimConnect beside " + full + " is of another version";
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
  const HMODULE module = LoadLibraryW(WideOf(path).c_str());
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
