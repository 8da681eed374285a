// libzelm: the client side of the Velkaro protocol, for Zelm client applications, the zelm tool
// and the tests. A Connection sends the ten-byte command tags and reads the replies; frames are
// decoded by field name through the add-on's own frame layout definition, and autopilot blocks
// are built on the add-on's own block layout, so client and add-on cannot disagree.
//
// A Connection is used by one thread at a time. Every operation returns false on failure and
// leaves the reason in error() and its kind in error_kind(); after a failure the connection
// should be closed. The requests and the checks of the replies are the protocol layer's
// (zelm_protocol.h); a Connection adds the sockets and the time limits. No reply makes
// a Connection allocate more than the protocol allows, and no peer holds it longer than its time
// limits: each wait for the peer, and with SetDeadline each whole operation, is bounded.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/frame_layout.h"
#include "common/mcp_block.h"
#include "common/mcp_settings.h"
#include "common/protocol.h"
#include "zelm_protocol.h"

namespace zelm {

inline constexpr std::uint16_t kDefaultPort = velkaro::protocol::kDefaultPort;
inline constexpr const char* kDefaultHost = "127.0.0.1";

// One aircraft-state frame as received.
class Frame {
 public:
  std::array<std::uint8_t, velkaro::kFrameSize> bytes{};

  // Element `index` of a numeric field (f64, i32 or u8) by name; empty for an unknown name, a
  // text field or an index past the field's elements.
  std::optional<double> Number(std::string_view field, std::size_t index = 0) const;
  // Element `index` of a text field, up to its NUL.
  std::optional<std::string> Text(std::string_view field, std::size_t index = 0) const;
  // Element `index` of a field of the layout, without a lookup by name: 0 or empty for the
  // wrong type or an index past the field's elements.
  double NumberAt(const velkaro::FrameField& field, std::size_t index) const;
  std::string TextAt(const velkaro::FrameField& field, std::size_t index) const;
  // One element as text, as the tool shows it ("47.4950123", "IVLK", "1").
  std::string Format(const velkaro::FrameField& field, std::size_t index) const;
  // Every field: {"name": {"unit": "...", "value": v or [v, ...]}, ...}, one field a line.
  // Whole numbers are written without a fraction, others in the fewest digits that read back
  // as the same double; a value that is not finite as null; texts as their 8-bit characters
  // (ISO 8859-1), escaped to ASCII.
  std::string ToJson() const;
  // Only `fields`, in their order, in the same form.
  std::string ToJson(const std::vector<const velkaro::FrameField*>& fields) const;
};

// An autopilot panel block to upload: starts with nothing requested and nothing changed; each
// setter fills its field and marks it changed.
class McpRequestBuilder {
 public:
  McpRequestBuilder();

  McpRequestBuilder& ApMaster(bool on);
  McpRequestBuilder& Autothrottle(bool on);
  McpRequestBuilder& FlightDirector(bool on);
  McpRequestBuilder& SpeedHold(bool on);
  McpRequestBuilder& N1Hold(bool on);
  McpRequestBuilder& MachHold(bool on);
  McpRequestBuilder& AltitudeHold(bool on);
  McpRequestBuilder& HeadingHold(bool on);
  McpRequestBuilder& LocHold(bool on);
  McpRequestBuilder& ApproachHold(bool on);
  McpRequestBuilder& SpeedReference(double knots);
  McpRequestBuilder& N1Reference(double n1);
  McpRequestBuilder& MachReference(double mach);
  McpRequestBuilder& AltitudeReference(double feet);
  McpRequestBuilder& VerticalSpeedReference(double feet_per_minute);
  McpRequestBuilder& HeadingBug(double degrees);
  McpRequestBuilder& Nav1Course(double degrees);
  // Requests: the add-on engages the mode and sets its reference.
  McpRequestBuilder& Altitude(double feet);
  McpRequestBuilder& VerticalSpeed(double feet_per_minute);
  McpRequestBuilder& Speed(double knots_or_mach);  // below 2.0 a Mach number
  McpRequestBuilder& Heading(double degrees);
  // Any setting of common/mcp_settings.h by its row, written as given: zelm::ApplyMcpSetting
  // (zelm_layout.h) checks the value against the row's rule and range first.
  McpRequestBuilder& Write(const velkaro::McpSetting& setting, double value);

  const velkaro::McpBlock& block() const { return block_; }
  std::uint32_t CheckValue() const;

 private:
  McpRequestBuilder& State(velkaro::McpStateField field, bool on);
  McpRequestBuilder& Reference(velkaro::McpReferenceField field, double value);
  velkaro::McpBlock block_;
};

// Why Connection::Open failed (kNone when it did not): kNameNotResolved, kRefused, kTimedOut,
// kInterrupted, or kOther for anything else.
using ConnectFailure = ErrorKind;

// Why `host` cannot name an add-on's machine, or empty when it can: the add-on serves IPv4
// only, so an IPv6 address is refused, and a port belongs in its own argument.
std::string HostProblem(std::string_view host);

class Connection {
 public:
  // Connects; empty with a reason in `error` ("cannot connect to HOST:PORT: ...") when the
  // add-on cannot be reached within `timeout_ms`, and why in `failure` when given. From then on
  // each wait for the add-on (for the next bytes of a reply, or for room to send) lasts at most
  // `timeout_ms`. With a `cancel` flag, the connection attempt and every later wait end within
  // a tenth of a second once the flag is true, and the operation fails ("interrupted"); the
  // flag must outlive the connection. The first call starts Windows Sockets for the process
  // (nothing elsewhere).
  static std::unique_ptr<Connection> Open(const std::string& host, std::uint16_t port,
                                          std::string* error, int timeout_ms = 5000,
                                          const std::atomic<bool>* cancel = nullptr,
                                          ConnectFailure* failure = nullptr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Every operation from now on must end within `limit` of this call, however the peer paces its
  // bytes; one still going then fails ("timed out after N s"). Without a deadline, a peer that
  // sends a byte now and then keeps an operation going. A later call sets a new deadline.
  void SetDeadline(std::chrono::milliseconds limit);

  // "rSIMDATA30": the next frame not yet received on this connection (or, after about 100 ms
  // without one, the latest again). A reply that does not begin with the frame magic is an
  // error.
  bool FetchFrame(Frame* frame);
  // "rFMCDATA20": the stored FMC data and its version word. A reply announcing more than
  // protocol::kMaxUploadBytes is an error, not an allocation.
  bool FetchFmc(std::vector<std::uint8_t>* data, std::uint32_t* version);
  // "vFMCDATA20": the first eight bytes of the FMC data (eight 0xFF bytes when none is stored).
  bool FetchFmcHead(std::array<std::uint8_t, velkaro::protocol::kFmcHeadBytes>* head);
  // "rSTATUS010": the add-on's state as JSON text. An add-on that does not know the command
  // (before 1.1) sends nothing: the wait then ends at the connection's timeout or deadline,
  // with the error saying so. A reply announcing more than protocol::kMaxStatusBytes is an error.
  bool FetchStatus(std::string* json);
  // "sMCPDATA20" with the block's check value.
  bool UploadMcp(const velkaro::McpBlock& block);
  // "sFMCDATA20" / "sFPLDATA10" of 1 to protocol::kMaxUploadBytes bytes. The add-on does not
  // acknowledge uploads; Sync() afterwards tells whether it kept the connection (it closes it on a
  // refused upload).
  bool StoreFmc(std::span<const std::uint8_t> data, std::uint32_t version);
  bool StoreFlightPlan(std::span<const std::uint8_t> data, std::uint32_t version);
  // A round trip ("vFMCDATA20") that proves every earlier command has been served.
  bool Sync();

  bool SendAll(const void* data, std::size_t length);
  bool ReceiveAll(void* data, std::size_t length);

  // Ends sending: the add-on sees the end of the stream after what was sent, and what it sends
  // back can still be received.
  void ShutdownSending();
  // Ends the connection both ways. Unlike every other call it may come from another thread while
  // an operation runs: that operation then fails without waiting out its limits, and so does
  // every later one. The connection is still closed by its owner.
  void Shutdown();

  const std::string& error() const { return failure_.text; }
  ErrorKind error_kind() const { return failure_.kind; }

 private:
  using Clock = std::chrono::steady_clock;
  // (`socket` is a platform::SocketHandle, kept here as the integer it is.)
  Connection(std::uintptr_t socket, std::chrono::milliseconds wait, const std::atomic<bool>* cancel)
      : socket_(socket), wait_(wait), cancel_(cancel) {}
  bool Send(Command command);
  // Receives the reply `reader` reads, to its end.
  bool Receive(ReplyReader* reader);
  bool Store(Command command, std::span<const std::uint8_t> data, std::uint32_t version);
  bool Fail(Failure failure);
  bool InTime(bool for_sending);
  bool WaitSlice(bool for_sending, Clock::time_point wait_end, bool* ready);

  std::uintptr_t socket_;
  // Whether the add-on has sent anything yet, and how many commands were sent: a close before
  // any answer to the first command is a refusal, said as such.
  bool answered_ = false;
  int commands_sent_ = 0;
  std::chrono::milliseconds wait_;
  const std::atomic<bool>* cancel_;
  bool has_deadline_ = false;
  Clock::time_point deadline_{};
  std::chrono::milliseconds deadline_limit_{0};
  Failure failure_;
};

}  // namespace zelm
