// The stand-in SimConnect library: the client functions the add-on calls, backed by a simulator
// of our own (data definitions, system events, client events and the aircraft model), and the
// control interface of standin_api.h.
//
// A process that took the control interface (StandIn_GetApi: velkaro-sim, the tests that host
// the add-on) is the simulator: SimConnect_Open there opens its one in-process connection. In any
// other process SimConnect_Open connects to velkaro-sim over the private link (program_link.h,
// program_client.cpp), and velkaro-sim runs the program's calls against its simulator, on a
// connection of the program's own (simulator_programs.h).
//
// Messages are dispatched only from Pump/Step on the host's thread, one at a time and never from
// inside a SimConnect call the add-on makes: a call made while a message is being dispatched
// (a data request answering a "Frame") only queues its answer, which the same pump delivers
// next.
#define VELKARO_SIMCONNECT_IMPLEMENTATION
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/coding.h"
#include "model/aircraft_model.h"
#include "model/units.h"
#include "platform/system.h"
#include "simconnect/program_client.h"
#include "simconnect/simconnect.h"
#include "simconnect/simulator_programs.h"
#include "simconnect/standin_api.h"

namespace velkaro::standin {
namespace {

constexpr SIMCONNECT_DWORD kServerVersion = 4;
constexpr SIMCONNECT_HRESULT kFailed = static_cast<SIMCONNECT_HRESULT>(0x80004005u);  // E_FAIL
// Any non-null value: the stand-in has one connection.
SIMCONNECT_HANDLE const kConnectionHandle = reinterpret_cast<SIMCONNECT_HANDLE>(0x5C0FFEE0);

struct Datum {
  std::string name;
  std::string units;
  SIMCONNECT_DATATYPE type;
};

// What one connection has told the simulator: the in-process add-on's, or a program's.
struct Connection {
  std::map<SIMCONNECT_DWORD, std::vector<Datum>> definitions;
  std::map<std::string, SIMCONNECT_DWORD> system_events;  // upper-case name -> client event id
  std::map<SIMCONNECT_DWORD, std::string> client_events;
  SIMCONNECT_DWORD last_send_id = 0;  // the in-process connection's; a program counts its own
  ProgramMailbox* mailbox = nullptr;  // a program's; the in-process messages wait in the queue
};

// Bounds on what one connection may register, so that a program cannot grow the simulator
// without limit; past them a call is refused with an exception.
constexpr std::size_t kMaxDefinitions = 10000;
constexpr std::size_t kMaxMappedEvents = 10000;
constexpr std::size_t kMaxSubscriptions = 1000;

struct Pin {
  double value;  // in the registered units, or the model's own before registration
};

struct Simulator {
  std::mutex lock;  // never held while a message is dispatched

  bool open_fails = false;
  bool open = false;
  SIMCONNECT_DISPATCH_PROC dispatch = nullptr;
  void* dispatch_context = nullptr;
  bool dispatching = false;

  // The newest calls, at most kStandInRecordedCalls: a ring once full, its oldest at calls_first.
  std::vector<StandInCall> calls;
  std::size_t calls_first = 0;
  std::deque<std::vector<std::uint8_t>> queue;  // the in-process connection's messages
  Connection local;
  std::map<int, Connection> programs;  // by id, in the order they connected
  int next_program = 1;
  std::set<std::string> refused;  // upper-case names of variables and events it lacks
  bool hosted = false;            // the control interface was taken: this process is the simulator
  std::map<std::string, Pin> pins;               // upper-case name
  std::map<std::string, std::string> text_pins;  // upper-case name
  std::set<std::string> reported;                // problems already told on stderr

  AircraftModel model;
  std::string aircraft_path;
  double frame_seconds = 1.0 / 30.0;
};

Simulator& Sim() {
  static Simulator* simulator = new Simulator;  // lives until the process ends
  return *simulator;
}

std::string Upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// A call on the open connection; anything else is refused.
bool Refused(const Simulator& sim, SIMCONNECT_HANDLE handle) {
  return handle != kConnectionHandle || !sim.open;
}

void ReportOnce(Simulator& sim, const std::string& problem) {
  if (sim.reported.insert(problem).second) {
    std::fprintf(stderr, "velkaro-sim: %s\n", problem.c_str());
    std::fflush(stderr);
  }
}

void Record(Simulator& sim, const char* function, std::initializer_list<std::uint32_t> args,
            const char* text = nullptr, const char* text2 = nullptr, float real = 0.0f,
            bool has_texts = false) {
  StandInCall call{};
  std::snprintf(call.function, sizeof call.function, "%s", function);
  for (std::uint32_t a : args) {
    if (call.arg_count < 6) call.args[call.arg_count++] = a;
  }
  call.text_is_null = has_texts && text == nullptr;
  call.text2_is_null = has_texts && text2 == nullptr;
  if (text != nullptr) std::snprintf(call.text, sizeof call.text, "%s", text);
  if (text2 != nullptr) std::snprintf(call.text2, sizeof call.text2, "%s", text2);
  call.real = real;
  if (sim.calls.size() < static_cast<std::size_t>(kStandInRecordedCalls)) {
    sim.calls.push_back(call);
  } else {
    sim.calls[sim.calls_first] = call;
    sim.calls_first = (sim.calls_first + 1) % sim.calls.size();
  }
}

void ClearRecord(Simulator& sim) {
  sim.calls.clear();
  sim.calls_first = 0;
}

// A message with its header filled in: its size (the struct's own, unless data follows it as a
// record does), the stand-in's version and its kind.
template <typename Message>
Message NewMessage(SIMCONNECT_RECV_ID id, std::size_t size = sizeof(Message)) {
  Message message{};
  message.dwSize = static_cast<SIMCONNECT_DWORD>(size);
  message.dwVersion = kServerVersion;
  message.dwID = id;
  return message;
}

template <typename Message>
std::vector<std::uint8_t> Bytes(const Message& message) {
  std::vector<std::uint8_t> bytes(sizeof message);
  std::memcpy(bytes.data(), &message, sizeof message);
  return bytes;
}

void Post(Simulator& sim, Connection& connection, std::vector<std::uint8_t> message) {
  if (connection.mailbox != nullptr) {
    connection.mailbox->Post(std::move(message));
  } else {
    sim.queue.push_back(std::move(message));
  }
}

// Every connection: the in-process one first, then the programs in the order they connected.
template <typename Visit>
void ForEachConnection(Simulator& sim, Visit visit) {
  visit(sim.local);
  for (auto& [id, program] : sim.programs) visit(program);
}
template <typename Visit>
void ForEachConnection(const Simulator& sim, Visit visit) {
  visit(sim.local);
  for (const auto& [id, program] : sim.programs) visit(program);
}

// The simulator refuses a call: `index` is the refused argument, counted from 1 after the
// connection handle.
void PostException(Simulator& sim, Connection& connection, SIMCONNECT_EXCEPTION exception,
                   SIMCONNECT_DWORD send_id, SIMCONNECT_DWORD index) {
  auto message = NewMessage<SIMCONNECT_RECV_EXCEPTION>(SIMCONNECT_RECV_ID_EXCEPTION);
  message.dwException = exception;
  message.dwSendID = send_id;
  message.dwIndex = index;
  Post(sim, connection, Bytes(message));
}

void QueueEvent(Simulator& sim, Connection& connection, SIMCONNECT_DWORD event_id,
                SIMCONNECT_DWORD data) {
  auto message = NewMessage<SIMCONNECT_RECV_EVENT>(SIMCONNECT_RECV_ID_EVENT);
  message.uGroupID = SIMCONNECT_UNUSED;
  message.uEventID = event_id;
  message.dwData = data;
  Post(sim, connection, Bytes(message));
}

// A text into a fixed field of a message, NUL-padded. A text as long as the field or longer
// fills it whole, without an end, as the simulator delivers it: ending it early would turn a cut
// aircraft path into the path of one of its ancestor folders.
void CopyText(char* destination, std::size_t capacity, const std::string& text) {
  std::memset(destination, 0, capacity);
  std::memcpy(destination, text.data(), std::min(text.size(), capacity));
}

void QueueAircraftLoaded(Simulator& sim, Connection& connection) {
  const auto subscription = connection.system_events.find("AIRCRAFTLOADED");
  if (subscription == connection.system_events.end()) return;
  auto message = NewMessage<SIMCONNECT_RECV_EVENT_FILENAME>(SIMCONNECT_RECV_ID_EVENT_FILENAME);
  message.uGroupID = SIMCONNECT_UNUSED;
  message.uEventID = subscription->second;
  CopyText(message.szFileName, sizeof message.szFileName, sim.aircraft_path);
  Post(sim, connection, Bytes(message));
}

// The value of one datum in its registered units; empty when the stand-in cannot deliver it.
std::optional<double> DatumValue(Simulator& sim, const Datum& datum) {
  const std::string key = Upper(datum.name);
  if (const auto pin = sim.pins.find(key); pin != sim.pins.end()) return pin->second.value;
  const std::optional<Dimension> dimension = sim.model.DimensionOf(datum.name);
  const std::optional<double> base = sim.model.Number(datum.name);
  if (!dimension || !base) {
    ReportOnce(sim, "no simulation variable \"" + datum.name + "\"; it is delivered as zero");
    return std::nullopt;
  }
  const std::optional<double> value = FromBase(*dimension, *base, datum.units);
  if (!value) {
    ReportOnce(sim, "unit \"" + datum.units + "\" does not fit \"" + datum.name +
                        "\"; it is delivered as zero");
  }
  return value;
}

std::int64_t WholeValue(double value) {
  if (!(value > -9.2e18 && value < 9.2e18)) return 0;
  return static_cast<std::int64_t>(std::llround(value));
}

// The bytes a datum of `type` takes in a record; 0 for a type the stand-in does not deliver.
std::size_t DatumWidth(SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
    case SIMCONNECT_DATATYPE_FLOAT32:
      return 4;
    case SIMCONNECT_DATATYPE_INT64:
    case SIMCONNECT_DATATYPE_FLOAT64:
    case SIMCONNECT_DATATYPE_STRING8:
      return 8;
    case SIMCONNECT_DATATYPE_STRING32:
      return 32;
    case SIMCONNECT_DATATYPE_STRING64:
      return 64;
    case SIMCONNECT_DATATYPE_STRING128:
      return 128;
    case SIMCONNECT_DATATYPE_STRING256:
      return 256;
    default:
      return 0;
  }
}

bool IsTextType(SIMCONNECT_DATATYPE type) {
  return type >= SIMCONNECT_DATATYPE_STRING8;
}

// The text a variable delivers (pinned, or the model's); empty when it is no text variable.
std::optional<std::string> DatumText(const Simulator& sim, const std::string& name) {
  if (!sim.text_pins.empty()) {
    if (const auto pin = sim.text_pins.find(Upper(name)); pin != sim.text_pins.end()) {
      return pin->second;
    }
  }
  return sim.model.Text(name);
}

// The characters a text datum delivers: a text type keeps its last byte for the NUL; a number
// type registered for a text (an ident as an INT64) is filled with characters.
std::size_t TextLength(const Datum& datum) {
  const std::size_t width = DatumWidth(datum.type);
  return IsTextType(datum.type) && width > 0 ? width - 1 : width;
}

// Writes one datum at `out`; returns its width.
std::size_t WriteDatum(Simulator& sim, const Datum& datum, std::uint8_t* out) {
  const std::size_t width = DatumWidth(datum.type);
  if (width == 0) return 0;
  std::memset(out, 0, width);

  // Texts: delivered as characters in whatever type was asked for, the way a text variable
  // registered as a number arrives (an ident as the 8 bytes of an INT64).
  if (const std::optional<std::string> text = DatumText(sim, datum.name)) {
    std::memcpy(out, text->data(), std::min(text->size(), TextLength(datum)));
    return width;
  }
  if (IsTextType(datum.type)) return width;

  const std::optional<double> value = DatumValue(sim, datum);
  if (!value) return width;
  switch (datum.type) {
    case SIMCONNECT_DATATYPE_INT32:
      EncodeU32(out, static_cast<std::uint32_t>(WholeValue(*value)));
      break;
    case SIMCONNECT_DATATYPE_FLOAT32: {
      const float f =
          std::isfinite(*value) && std::fabs(*value) < 3.0e38
              ? static_cast<float>(*value)
              : static_cast<float>(std::isnan(*value) ? NAN : (*value > 0 ? INFINITY : -INFINITY));
      EncodeU32(out, std::bit_cast<std::uint32_t>(f));
      break;
    }
    case SIMCONNECT_DATATYPE_INT64:
      EncodeI64(out, WholeValue(*value));
      break;
    case SIMCONNECT_DATATYPE_FLOAT64:
      EncodeF64(out, *value);
      break;
    default:
      break;
  }
  return width;
}

std::vector<std::uint8_t> BuildRecordBytes(Simulator& sim, const Connection& connection,
                                           SIMCONNECT_DWORD define_id) {
  std::vector<std::uint8_t> record;
  const auto definition = connection.definitions.find(define_id);
  if (definition == connection.definitions.end()) return record;
  for (const Datum& datum : definition->second) {
    const std::size_t at = record.size();
    record.resize(at + 256);
    record.resize(at + WriteDatum(sim, datum, record.data() + at));
  }
  return record;
}

void QueueRecord(Simulator& sim, Connection& connection, SIMCONNECT_DWORD request_id,
                 SIMCONNECT_DWORD define_id) {
  const std::vector<std::uint8_t> record = BuildRecordBytes(sim, connection, define_id);
  // The record starts at dwData, the last member of the message header.
  const std::size_t header = sizeof(SIMCONNECT_RECV_SIMOBJECT_DATA) - sizeof(SIMCONNECT_DWORD);
  std::vector<std::uint8_t> bytes(header + std::max<std::size_t>(record.size(), 4));
  auto message = NewMessage<SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE>(
      SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE, bytes.size());
  message.dwRequestID = request_id;
  message.dwObjectID = SIMCONNECT_OBJECT_ID_USER;
  message.dwDefineID = define_id;
  message.dwentrynumber = 1;
  message.dwoutof = 1;
  const auto definition = connection.definitions.find(define_id);
  message.dwDefineCount = static_cast<SIMCONNECT_DWORD>(
      definition != connection.definitions.end() ? definition->second.size() : 0);
  std::memcpy(bytes.data(), &message, header);
  std::memcpy(bytes.data() + header, record.data(), record.size());
  Post(sim, connection, std::move(bytes));
}

// Pinned variables that are model state are held there too, so the flight follows them. A pin
// that is not finite (nan, inf) is delivered but kept out of the model, which could not fly on
// from it: unpinned, the variable goes on from the model's last finite state.
void ApplyPinsToModel(Simulator& sim) {
  for (const auto& entry : sim.pins) {
    // (Named, not bound: clang 14 cannot capture a structured binding in the lambda below.)
    const auto& name = entry.first;
    const auto& pin = entry.second;
    if (!std::isfinite(pin.value)) continue;
    // In the units the first connection that registered it registered it in (its last
    // registration of it).
    std::string units;
    bool found = false;
    ForEachConnection(sim, [&](const Connection& connection) {
      if (found) return;
      for (const auto& [id, datums] : connection.definitions) {
        for (const Datum& datum : datums) {
          if (Upper(datum.name) == name) {
            units = datum.units;
            found = true;
          }
        }
      }
    });
    const std::optional<Dimension> dimension = sim.model.DimensionOf(name);
    if (!dimension) continue;
    const std::optional<double> base =
        units.empty() ? std::optional<double>(pin.value) : ToBase(*dimension, pin.value, units);
    if (base) sim.model.Set(name, *base);
  }
}

}  // namespace
}  // namespace velkaro::standin

// ---------------------------------------------------------------------------------------------
// The calls, run against one connection with the simulator's lock held. `send_id` is the call's
// (an exception for it carries it). Refusals of the simulator's are exceptions posted to the
// connection, as a simulator reports them; the call itself succeeds.

namespace velkaro::standin {
namespace {

void AddToDefinition(Simulator& sim, Connection& connection, SIMCONNECT_DWORD send_id,
                     SIMCONNECT_DWORD define_id, const std::string& name, const std::string& units,
                     SIMCONNECT_DATATYPE type) {
  // A variable the simulator lacks is refused, and the definition goes on without it: its
  // record holds the other variables only.
  if (sim.refused.count(Upper(name)) != 0) {
    PostException(sim, connection, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, send_id, 2);
    return;
  }
  const auto definition = connection.definitions.find(define_id);
  if (definition == connection.definitions.end()
          ? connection.definitions.size() >= kMaxDefinitions
          : definition->second.size() >= link::kMaxDatumsPerDefinition) {
    PostException(sim, connection, SIMCONNECT_EXCEPTION_TOO_MANY_MAPS, send_id, 1);
    return;
  }
  connection.definitions[define_id].push_back(Datum{name, units, type});
}

void Subscribe(Simulator& sim, Connection& connection, SIMCONNECT_DWORD send_id,
               SIMCONNECT_DWORD event_id, const std::string& name) {
  const std::string key = Upper(name);  // event names ignore case
  if (connection.system_events.count(key) == 0 &&
      connection.system_events.size() >= kMaxSubscriptions) {
    PostException(sim, connection, SIMCONNECT_EXCEPTION_TOO_MANY_EVENT_NAMES, send_id, 2);
    return;
  }
  connection.system_events[key] = event_id;
}

void RequestSystemState(Simulator& sim, Connection& connection, SIMCONNECT_DWORD request_id,
                        const std::string& state) {
  auto message = NewMessage<SIMCONNECT_RECV_SYSTEM_STATE>(SIMCONNECT_RECV_ID_SYSTEM_STATE);
  message.dwRequestID = request_id;
  if (Upper(state) == "AIRCRAFTLOADED") {
    CopyText(message.szString, sizeof message.szString, sim.aircraft_path);
  } else {
    ReportOnce(sim, "system state \"" + state + "\" is not known");
  }
  Post(sim, connection, Bytes(message));
}

void MapClientEvent(Simulator& sim, Connection& connection, SIMCONNECT_DWORD send_id,
                    SIMCONNECT_DWORD event_id, const std::string& name) {
  // An event the simulator lacks is refused and stays unmapped.
  if (sim.refused.count(Upper(name)) != 0) {
    PostException(sim, connection, SIMCONNECT_EXCEPTION_NAME_UNRECOGNIZED, send_id, 2);
    return;
  }
  if (connection.client_events.count(event_id) == 0 &&
      connection.client_events.size() >= kMaxMappedEvents) {
    PostException(sim, connection, SIMCONNECT_EXCEPTION_TOO_MANY_MAPS, send_id, 1);
    return;
  }
  connection.client_events[event_id] = name;
}

void TransmitEvent(Simulator& sim, Connection& connection, SIMCONNECT_DWORD send_id,
                   SIMCONNECT_DWORD event_id, SIMCONNECT_DWORD data) {
  const auto mapped = connection.client_events.find(event_id);
  if (mapped == connection.client_events.end()) {
    ReportOnce(sim, "client event " + std::to_string(event_id) + " was never mapped");
    PostException(sim, connection, SIMCONNECT_EXCEPTION_UNRECOGNIZED_ID, send_id, 2);
  } else if (!sim.model.ApplyEvent(mapped->second, data)) {
    ReportOnce(sim, "event \"" + mapped->second + "\" is not known to the stand-in");
  }
}

void OpenMessage(Simulator& sim, Connection& connection) {
  auto message = NewMessage<SIMCONNECT_RECV_OPEN>(SIMCONNECT_RECV_ID_OPEN);
  CopyText(message.szApplicationName, sizeof message.szApplicationName, "velkaro-sim");
  message.dwApplicationVersionMajor = 1;
  message.dwSimConnectVersionMajor = kServerVersion;
  Post(sim, connection, Bytes(message));
}

// The in-process connection's next send id.
SIMCONNECT_DWORD NextSendId(Simulator& sim) {
  return ++sim.local.last_send_id;
}

std::optional<std::string> TextArgument(const char* text) {
  return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

}  // namespace

int AttachProgram(ProgramMailbox* mailbox, const std::string& name) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  const int id = sim.next_program++;
  Connection& connection = sim.programs[id];
  connection.mailbox = mailbox;
  OpenMessage(sim, connection);
  std::fprintf(stderr, "velkaro-sim: program \"%s\" connected\n", name.c_str());
  std::fflush(stderr);
  return id;
}

void RunProgramCall(int program, const link::Call& call) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  const auto found = sim.programs.find(program);
  if (found == sim.programs.end()) return;
  Connection& connection = found->second;
  const auto& n = call.numbers;
  const auto text = [&call](std::size_t i) { return call.texts[i].value_or(std::string()); };
  switch (call.kind) {
    case link::LinkKind::kAddToDataDefinition:
      AddToDefinition(sim, connection, call.send_id, n[0], text(0), text(1),
                      static_cast<SIMCONNECT_DATATYPE>(n[1]));
      break;
    case link::LinkKind::kSubscribeToSystemEvent:
      Subscribe(sim, connection, call.send_id, n[0], text(0));
      break;
    case link::LinkKind::kRequestDataOnSimObjectType:
      QueueRecord(sim, connection, n[0], n[1]);
      break;
    case link::LinkKind::kRequestSystemState:
      RequestSystemState(sim, connection, n[0], text(0));
      break;
    case link::LinkKind::kMapClientEventToSimEvent:
      MapClientEvent(sim, connection, call.send_id, n[0], text(0));
      break;
    case link::LinkKind::kTransmitClientEvent:
      TransmitEvent(sim, connection, call.send_id, n[1], n[2]);
      break;
    default:
      break;
  }
}

void PostQuit(int program) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  const auto found = sim.programs.find(program);
  if (found == sim.programs.end()) return;
  Post(sim, found->second, Bytes(NewMessage<SIMCONNECT_RECV_QUIT>(SIMCONNECT_RECV_ID_QUIT)));
}

void DetachProgram(int program) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  sim.programs.erase(program);
}

}  // namespace velkaro::standin

using namespace velkaro::standin;

// ---------------------------------------------------------------------------------------------
// The SimConnect functions. A handle of a program's connection to velkaro-sim goes to the
// client side (program_client.h); otherwise the call is the in-process connection's.

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_Open(SIMCONNECT_HANDLE* phSimConnect,
                                                                  const char* szName, void* hWnd,
                                                                  SIMCONNECT_DWORD UserEventWin32,
                                                                  void* hEventHandle,
                                                                  SIMCONNECT_DWORD ConfigIndex) {
  Simulator& sim = Sim();
  bool hosted;
  {
    std::lock_guard<std::mutex> guard(sim.lock);
    hosted = sim.hosted;
  }
  if (!hosted) {
    if (phSimConnect == nullptr) return kFailed;
    return program::Open(phSimConnect, szName, hEventHandle);
  }
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_Open",
         {UserEventWin32, ConfigIndex, static_cast<std::uint32_t>(hWnd != nullptr),
          static_cast<std::uint32_t>(hEventHandle != nullptr)},
         szName, nullptr, 0.0f, true);
  if (sim.open_fails) {
    if (phSimConnect != nullptr) *phSimConnect = nullptr;
    return kFailed;
  }
  sim.open = true;
  sim.local.last_send_id = 0;
  if (phSimConnect != nullptr) *phSimConnect = kConnectionHandle;
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_Close(SIMCONNECT_HANDLE hSimConnect) {
  if (program::Owns(hSimConnect)) return program::Close(hSimConnect);
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_Close", {static_cast<std::uint32_t>(hSimConnect == kConnectionHandle)});
  if (Refused(sim, hSimConnect)) return kFailed;
  sim.open = false;
  sim.dispatch = nullptr;
  sim.queue.clear();
  sim.local = Connection{};
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_AddToDataDefinition(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD DefineID, const char* DatumName,
    const char* UnitsName, SIMCONNECT_DATATYPE DatumType, float fEpsilon,
    SIMCONNECT_DWORD DatumID) {
  if (program::Owns(hSimConnect)) {
    if (DatumName == nullptr) return kFailed;
    return program::Send(hSimConnect,
                         link::Call{link::LinkKind::kAddToDataDefinition,
                                    0,
                                    {DefineID, static_cast<std::uint32_t>(DatumType),
                                     std::bit_cast<std::uint32_t>(fEpsilon), DatumID},
                                    {TextArgument(DatumName), TextArgument(UnitsName)}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_AddToDataDefinition",
         {DefineID, static_cast<std::uint32_t>(DatumType), DatumID}, DatumName, UnitsName, fEpsilon,
         true);
  if (Refused(sim, hSimConnect) || DatumName == nullptr) {
    return kFailed;
  }
  AddToDefinition(sim, sim.local, NextSendId(sim), DefineID, DatumName,
                  UnitsName != nullptr ? UnitsName : "", DatumType);
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_SubscribeToSystemEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD EventID, const char* SystemEventName) {
  if (program::Owns(hSimConnect)) {
    if (SystemEventName == nullptr) return kFailed;
    return program::Send(hSimConnect, link::Call{link::LinkKind::kSubscribeToSystemEvent,
                                                 0,
                                                 {EventID},
                                                 {TextArgument(SystemEventName)}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_SubscribeToSystemEvent", {EventID}, SystemEventName);
  if (Refused(sim, hSimConnect) || SystemEventName == nullptr) {
    return kFailed;
  }
  Subscribe(sim, sim.local, NextSendId(sim), EventID, SystemEventName);
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_CallDispatch(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DISPATCH_PROC pfcnDispatch, void* pContext) {
  if (program::Owns(hSimConnect)) return program::Dispatch(hSimConnect, pfcnDispatch, pContext);
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_CallDispatch",
         {static_cast<std::uint32_t>(pfcnDispatch != nullptr),
          static_cast<std::uint32_t>(pContext != nullptr)});
  if (Refused(sim, hSimConnect)) return kFailed;
  // An in-process add-on registers its procedure once; the simulator calls it from then on.
  sim.dispatch = pfcnDispatch;
  sim.dispatch_context = pContext;
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_RequestDataOnSimObjectType(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD RequestID, SIMCONNECT_DWORD DefineID,
    SIMCONNECT_DWORD dwRadiusMeters, SIMCONNECT_SIMOBJECT_TYPE type) {
  if (program::Owns(hSimConnect)) {
    return program::Send(hSimConnect, link::Call{link::LinkKind::kRequestDataOnSimObjectType,
                                                 0,
                                                 {RequestID, DefineID, dwRadiusMeters,
                                                  static_cast<std::uint32_t>(type)},
                                                 {}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_RequestDataOnSimObjectType",
         {RequestID, DefineID, dwRadiusMeters, static_cast<std::uint32_t>(type)});
  if (Refused(sim, hSimConnect)) return kFailed;
  NextSendId(sim);
  QueueRecord(sim, sim.local, RequestID, DefineID);
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_RequestSystemState(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD RequestID, const char* szState) {
  if (program::Owns(hSimConnect)) {
    if (szState == nullptr) return kFailed;
    return program::Send(
        hSimConnect,
        link::Call{link::LinkKind::kRequestSystemState, 0, {RequestID}, {TextArgument(szState)}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_RequestSystemState", {RequestID}, szState);
  if (Refused(sim, hSimConnect) || szState == nullptr) {
    return kFailed;
  }
  NextSendId(sim);
  RequestSystemState(sim, sim.local, RequestID, szState);
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_MapClientEventToSimEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD EventID, const char* EventName) {
  if (program::Owns(hSimConnect)) {
    return program::Send(
        hSimConnect,
        link::Call{
            link::LinkKind::kMapClientEventToSimEvent, 0, {EventID}, {TextArgument(EventName)}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  Record(sim, "SimConnect_MapClientEventToSimEvent", {EventID}, EventName);
  if (Refused(sim, hSimConnect)) return kFailed;
  MapClientEvent(sim, sim.local, NextSendId(sim), EventID, EventName != nullptr ? EventName : "");
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL SimConnect_TransmitClientEvent(
    SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD ObjectID, SIMCONNECT_DWORD EventID,
    SIMCONNECT_DWORD dwData, SIMCONNECT_DWORD GroupID, SIMCONNECT_DWORD Flags) {
  if (program::Owns(hSimConnect)) {
    return program::Send(hSimConnect, link::Call{link::LinkKind::kTransmitClientEvent,
                                                 0,
                                                 {ObjectID, EventID, dwData, GroupID, Flags},
                                                 {}});
  }
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  const auto mapped = sim.local.client_events.find(EventID);
  const std::string name = mapped != sim.local.client_events.end() ? mapped->second : "";
  Record(sim, "SimConnect_TransmitClientEvent", {ObjectID, EventID, dwData, GroupID, Flags},
         name.c_str());
  if (Refused(sim, hSimConnect)) return kFailed;
  TransmitEvent(sim, sim.local, NextSendId(sim), EventID, dwData);
  return 0;
}

SIMCONNECT_API SIMCONNECT_HRESULT SIMCONNECT_CALL
SimConnect_GetLastSentPacketID(SIMCONNECT_HANDLE hSimConnect, SIMCONNECT_DWORD* pdwSendID) {
  if (program::Owns(hSimConnect)) return program::LastSendId(hSimConnect, pdwSendID);
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (Refused(sim, hSimConnect) || pdwSendID == nullptr) return kFailed;
  *pdwSendID = sim.local.last_send_id;
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The control interface.

namespace {

void STANDIN_CALL ApiReset() {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  sim.open_fails = false;
  sim.open = false;
  sim.dispatch = nullptr;
  ClearRecord(sim);
  sim.queue.clear();
  sim.local = Connection{};
  sim.refused.clear();
  sim.pins.clear();
  sim.text_pins.clear();
  sim.model = AircraftModel();
  sim.aircraft_path.clear();
}

void STANDIN_CALL ApiSetOpenFails(int fail) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  Sim().open_fails = fail != 0;
}

int STANDIN_CALL ApiIsOpen() {
  std::lock_guard<std::mutex> guard(Sim().lock);
  return Sim().open ? 1 : 0;
}

int STANDIN_CALL ApiCallCount() {
  std::lock_guard<std::mutex> guard(Sim().lock);
  return static_cast<int>(Sim().calls.size());
}

int STANDIN_CALL ApiGetCall(int index, StandInCall* out) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (index < 0 || static_cast<std::size_t>(index) >= sim.calls.size()) return 0;
  *out = sim.calls[(sim.calls_first + static_cast<std::size_t>(index)) % sim.calls.size()];
  return 1;
}

void STANDIN_CALL ApiClearCalls() {
  std::lock_guard<std::mutex> guard(Sim().lock);
  ClearRecord(Sim());
}

void STANDIN_CALL ApiPump() {
  Simulator& sim = Sim();
  for (;;) {
    std::vector<std::uint8_t> message;
    SIMCONNECT_DISPATCH_PROC dispatch;
    void* context;
    {
      std::lock_guard<std::mutex> guard(sim.lock);
      if (sim.dispatching || sim.queue.empty() || sim.dispatch == nullptr) return;
      message = std::move(sim.queue.front());
      sim.queue.pop_front();
      dispatch = sim.dispatch;
      context = sim.dispatch_context;
      sim.dispatching = true;
    }
    dispatch(reinterpret_cast<SIMCONNECT_RECV*>(message.data()),
             static_cast<SIMCONNECT_DWORD>(message.size()), context);
    std::lock_guard<std::mutex> guard(sim.lock);
    sim.dispatching = false;
  }
}

void STANDIN_CALL ApiRaiseSimStart() {
  Simulator& sim = Sim();
  {
    std::lock_guard<std::mutex> guard(sim.lock);
    ForEachConnection(sim, [&sim](Connection& connection) {
      const auto subscription = connection.system_events.find("SIMSTART");
      if (subscription != connection.system_events.end()) {
        QueueEvent(sim, connection, subscription->second, 0);
      }
    });
  }
  ApiPump();
}

// The host's UTF-8 path as the simulator hands paths over, in the system's code page.
std::string SimulatorPath(const char* path) {
  return path != nullptr ? velkaro::platform::Utf8ToSystemText(path) : std::string();
}

void STANDIN_CALL ApiSetAircraftPath(const char* path) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  Sim().aircraft_path = SimulatorPath(path);
}

void STANDIN_CALL ApiLoadAircraft(const char* path) {
  Simulator& sim = Sim();
  {
    std::lock_guard<std::mutex> guard(sim.lock);
    sim.aircraft_path = SimulatorPath(path);
    ForEachConnection(sim,
                      [&sim](Connection& connection) { QueueAircraftLoaded(sim, connection); });
  }
  ApiPump();
}

void STANDIN_CALL ApiSetTitle(const char* title) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  Sim().model.state().title = title != nullptr ? title : "";
}

void STANDIN_CALL ApiStep(double seconds) {
  Simulator& sim = Sim();
  {
    std::lock_guard<std::mutex> guard(sim.lock);
    ApplyPinsToModel(sim);
    if (seconds > 0.0 && std::isfinite(seconds)) {
      sim.model.Advance(seconds);
      sim.frame_seconds = seconds;
    }
    ApplyPinsToModel(sim);
    ForEachConnection(sim, [&sim](Connection& connection) {
      const auto subscription = connection.system_events.find("FRAME");
      if (subscription == connection.system_events.end()) return;
      auto message = NewMessage<SIMCONNECT_RECV_EVENT_FRAME>(SIMCONNECT_RECV_ID_EVENT_FRAME);
      message.uGroupID = SIMCONNECT_UNUSED;
      message.uEventID = subscription->second;
      message.fFrameRate = static_cast<float>(1.0 / sim.frame_seconds);
      message.fSimSpeed = 1.0f;
      Post(sim, connection, Bytes(message));
    });
  }
  ApiPump();
}

void STANDIN_CALL ApiDeliver(const void* message, std::uint32_t size) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  const auto* bytes = static_cast<const std::uint8_t*>(message);
  Sim().queue.emplace_back(bytes, bytes + size);
}

int STANDIN_CALL ApiSetVariable(const char* name, double value) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (name == nullptr || !sim.model.DimensionOf(name)) return 0;
  sim.text_pins.erase(Upper(name));
  sim.pins[Upper(name)] = Pin{value};
  return 1;
}

std::uint32_t STANDIN_CALL ApiBuildRecord(std::uint32_t define_id, void* out,
                                          std::uint32_t capacity) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  const std::vector<std::uint8_t> record = BuildRecordBytes(Sim(), Sim().local, define_id);
  if (record.size() <= capacity) std::memcpy(out, record.data(), record.size());
  return static_cast<std::uint32_t>(record.size());
}

int STANDIN_CALL ApiDatumCount() {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  std::size_t count = 0;
  ForEachConnection(sim, [&count](const Connection& connection) {
    for (const auto& [id, datums] : connection.definitions) count += datums.size();
  });
  return static_cast<int>(count);
}

int STANDIN_CALL ApiGetDatum(int index, StandInDatum* out) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (index < 0 || out == nullptr) return 0;
  auto at = static_cast<std::size_t>(index);
  const Datum* found = nullptr;
  SIMCONNECT_DWORD define_id = 0;
  ForEachConnection(sim, [&](const Connection& connection) {
    for (const auto& [id, datums] : connection.definitions) {
      if (found != nullptr) return;
      if (at >= datums.size()) {
        at -= datums.size();
        continue;
      }
      found = &datums[at];
      define_id = id;
    }
  });
  if (found != nullptr) {
    const SIMCONNECT_DWORD id = define_id;
    const Datum& datum = *found;
    *out = StandInDatum{};
    out->define_id = id;
    std::snprintf(out->name, sizeof out->name, "%s", datum.name.c_str());
    std::snprintf(out->units, sizeof out->units, "%s", datum.units.c_str());
    out->type = static_cast<std::uint32_t>(datum.type);
    out->width = static_cast<std::uint32_t>(DatumWidth(datum.type));
    const bool has_text = DatumText(sim, datum.name).has_value();
    const bool text = IsTextType(datum.type) || has_text;
    out->text_length = text ? static_cast<std::uint32_t>(TextLength(datum)) : 0;
    out->modelled = has_text || sim.model.DimensionOf(datum.name).has_value();
    const std::string key = Upper(datum.name);
    out->pinned = sim.pins.count(key) != 0 || sim.text_pins.count(key) != 0;
    return 1;
  }
  return 0;
}

int STANDIN_CALL ApiConvertValue(const char* name, double value, const char* from, const char* to,
                                 double* out) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (name == nullptr || from == nullptr || to == nullptr || out == nullptr) return 0;
  const std::optional<Dimension> dimension = sim.model.DimensionOf(name);
  if (!dimension) return 0;
  const std::optional<double> base = ToBase(*dimension, value, from);
  if (!base) return 0;
  const std::optional<double> converted = FromBase(*dimension, *base, to);
  if (!converted) return 0;
  *out = *converted;
  return 1;
}

int STANDIN_CALL ApiSetText(const char* name, const char* text) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (name == nullptr || text == nullptr || !sim.model.Text(name)) return 0;
  sim.pins.erase(Upper(name));
  sim.text_pins[Upper(name)] = text;
  return 1;
}

int STANDIN_CALL ApiUnpin(const char* name) {
  Simulator& sim = Sim();
  std::lock_guard<std::mutex> guard(sim.lock);
  if (name == nullptr) return 0;
  const std::string key = Upper(name);
  const std::size_t removed = sim.pins.erase(key) + sim.text_pins.erase(key);
  return removed != 0 ? 1 : 0;
}

void STANDIN_CALL ApiRefuse(const char* name) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  if (name != nullptr) Sim().refused.insert(Upper(name));
}

int STANDIN_CALL ApiServePrograms(const char* address, char* error, std::uint32_t error_capacity) {
  std::string reason;
  const int port = StartProgramServer(address != nullptr ? address : "", &reason);
  if (port == 0 && error != nullptr && error_capacity > 0) {
    std::snprintf(error, error_capacity, "%s", reason.c_str());
  }
  return port;
}

void STANDIN_CALL ApiStopPrograms() {
  StopProgramServer();
}

int STANDIN_CALL ApiProgramCount() {
  return ConnectedPrograms();
}

const StandInApi kApi = {
    STANDIN_API_VERSION,
    ApiReset,
    ApiSetOpenFails,
    ApiIsOpen,
    ApiCallCount,
    ApiGetCall,
    ApiClearCalls,
    ApiRaiseSimStart,
    ApiLoadAircraft,
    ApiSetAircraftPath,
    ApiSetTitle,
    ApiStep,
    ApiPump,
    ApiDeliver,
    ApiSetVariable,
    ApiBuildRecord,
    ApiDatumCount,
    ApiGetDatum,
    ApiConvertValue,
    ApiSetText,
    ApiUnpin,
    ApiRefuse,
    ApiServePrograms,
    ApiStopPrograms,
    ApiProgramCount,
};

}  // namespace

extern "C" const StandInApi* STANDIN_CALL StandIn_GetApi(void) {
  std::lock_guard<std::mutex> guard(Sim().lock);
  Sim().hosted = true;
  return &kApi;
}
