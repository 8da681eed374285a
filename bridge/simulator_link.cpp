#include "simulator_link.h"

#include <chrono>
#include <cstddef>
#include <cstring>

#include "host/addon.h"
#include "host/bridge_state.h"
#include "host/engine.h"
#include "log/log.h"
#include "platform/float_environment.h"
#include "platform/system.h"

namespace velkaro::bridge {

namespace {

// The name the bridge opens SimConnect with: the simulator lists its clients by it.
constexpr const char* kClientName = "Velkaro Bridge";

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
constexpr std::size_t kRecordHeaderBytes = offsetof(SIMCONNECT_RECV_SIMOBJECT_DATA, dwData);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace

SimulatorLink::SimulatorLink(DispatchEvent& event, std::FILE* out) : event_(event), out_(out) {
  sent_.reserve(kSimVarCatalogue.size() + 32);
}

SimulatorLink::~SimulatorLink() {
  if (handle_ != nullptr) Close("the bridge is stopping");
}

void SimulatorLink::Say(const std::string& line) {
  std::fprintf(out_, "velkaro-bridge: %s\n", line.c_str());
  std::fflush(out_);
}

void SimulatorLink::Run(const std::atomic<bool>& stop) {
  auto next_attempt = std::chrono::steady_clock::now();
  while (!stop.load()) {
    if (handle_ == nullptr) {
      if (std::chrono::steady_clock::now() < next_attempt) {
        event_.Wait(kLongestWaitMs);  // (nothing signals it without a connection: a pause)
        continue;
      }
      next_attempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs);
      if (!Open()) continue;
    }
    event_.Wait(kLongestWaitMs);
    const platform::DefaultFloatEnvironment float_environment;
    const SIMCONNECT_HRESULT dispatched = SimConnect_CallDispatch(handle_, OnMessage, this);
    if (quit_) {
      Close("the simulator quit");
    } else if (dispatched < 0) {
      const std::string reason = platform::ResultCodeText(dispatched);
      Close("the connection to the simulator failed" + (reason.empty() ? "" : ": " + reason));
    }
    if (handle_ == nullptr) {
      next_attempt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetryMs);
    }
  }
  if (handle_ != nullptr) Close("the bridge is stopping");
}

bool SimulatorLink::Open() {
  SIMCONNECT_HANDLE handle = nullptr;
  const SIMCONNECT_HRESULT opened =
      SimConnect_Open(&handle, kClientName, nullptr, 0, event_.handle(), 0);
  if (opened < 0 || handle == nullptr) {
    if (!waiting_told_) {
      // Told once while the simulator stays away, not at every attempt.
      waiting_told_ = true;
      Say("waiting for the simulator");
      LogMessage("Waiting for the simulator (SimConnect_Open: HRESULT 0x%08X); trying every %d s",
                 static_cast<std::uint32_t>(opened), kRetryMs / 1000);
    }
    return false;
  }
  waiting_told_ = false;
  quit_ = false;
  sent_.clear();
  refused_.fill(false);
  refused_bytes_ = 0;
  handle_ = handle;
  Say("connected to the simulator");
  const platform::DefaultFloatEnvironment float_environment;
  std::size_t datum = 0;
  engine::Connect(handle, OnMessage, this, [&](const char* name, bool is_event) {
    SIMCONNECT_DWORD packet = 0;
    if (SimConnect_GetLastSentPacketID(handle, &packet) >= 0) {
      sent_.push_back({packet, name, is_event, is_event ? 0 : datum});
    }
    if (!is_event) ++datum;
  });
  // A simulator already flying raises no "SimStart" for a program that comes later: the loaded
  // aircraft is asked for at once.
  SimConnect_RequestSystemState(handle, kAircraftLoadedRequest, "AircraftLoaded");
  return true;
}

void SimulatorLink::Close(const std::string& why) {
  SimConnect_Close(handle_);
  handle_ = nullptr;
  engine::Connect(nullptr, nullptr, nullptr);
  LogMessage("SimConnect closed: %s", why.c_str());
  Say(why + "; " + (why == "the bridge is stopping" ? "closed" : "waiting for it"));
  waiting_told_ = why != "the bridge is stopping";
}

void SIMCONNECT_CALL SimulatorLink::OnMessage(SIMCONNECT_RECV* message, SIMCONNECT_DWORD size,
                                              void* context) {
  static_cast<SimulatorLink*>(context)->Handle(message, size);
}

void SimulatorLink::Handle(const SIMCONNECT_RECV* message, SIMCONNECT_DWORD size) {
  if (message == nullptr || size < sizeof(SIMCONNECT_RECV)) return;
  switch (message->dwID) {
    case SIMCONNECT_RECV_ID_QUIT:
      quit_ = true;
      return;
    case SIMCONNECT_RECV_ID_EXCEPTION:
      if (size >= sizeof(SIMCONNECT_RECV_EXCEPTION)) {
        Refused(*reinterpret_cast<const SIMCONNECT_RECV_EXCEPTION*>(message));
      }
      return;
    case SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE:
      if (refused_bytes_ != 0) {
        if (const SIMCONNECT_RECV* widened = Widened(message, size)) {
          engine::Dispatch(widened, widened->dwSize);
          return;
        }
      }
      break;
    default:
      break;
  }
  engine::Dispatch(message, size);
}

void SimulatorLink::Refused(const SIMCONNECT_RECV_EXCEPTION& exception) {
  const Sent* sent = nullptr;
  for (const Sent& s : sent_) {
    if (s.packet == exception.dwSendID) sent = &s;
  }
  if (exception.dwException == SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED && sent != nullptr) {
    if (!sent->is_event && !refused_[sent->datum]) {
      refused_[sent->datum] = true;
      refused_bytes_ += DatumWidth(kSimVarCatalogue[sent->datum].type);
    }
    if (told_.insert(sent->name).second) {
      const std::string text =
          sent->is_event ? std::string("the simulator has no event \"") + sent->name +
                               "\"; the autopilot setting that sends it does nothing"
                         : std::string("the simulator has no variable \"") + sent->name +
                               "\"; the fields made from it keep their start values";
      LogMessage("SimConnect: %s", text.c_str());
      Bridge.Status.AddWarning(text);
      Say("warning: " + text);
    }
    return;
  }
  // Any other refusal: logged once per kind, with the call it names when known.
  if (exceptions_told_.insert(exception.dwException).second) {
    LogMessage("SimConnect exception %u on packet %u%s%s", exception.dwException,
               exception.dwSendID, sent != nullptr ? ", the registration of " : "",
               sent != nullptr ? sent->name : "");
  }
}

const SIMCONNECT_RECV* SimulatorLink::Widened(const SIMCONNECT_RECV* message,
                                              SIMCONNECT_DWORD size) {
  const std::size_t length = std::min<std::size_t>(size, message->dwSize);
  if (length != kRecordHeaderBytes + kRecordSize - refused_bytes_) return nullptr;
  std::uint8_t* out = widened_.data();
  const auto* in = reinterpret_cast<const std::uint8_t*>(message);
  std::memcpy(out, in, kRecordHeaderBytes);
  std::size_t from = kRecordHeaderBytes;
  std::size_t to = kRecordHeaderBytes;
  for (std::size_t i = 0; i < kSimVarCatalogue.size(); ++i) {
    const std::size_t width = DatumWidth(kSimVarCatalogue[i].type);
    if (refused_[i]) {
      std::memset(out + to, 0, width);
    } else {
      std::memcpy(out + to, in + from, width);
      from += width;
    }
    to += width;
  }
  const auto total = static_cast<SIMCONNECT_DWORD>(to);
  std::memcpy(out, &total, sizeof total);  // dwSize
  return reinterpret_cast<const SIMCONNECT_RECV*>(out);
}

}  // namespace velkaro::bridge
