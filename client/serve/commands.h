// The gateway's one command path: an autopilot command from a browser (WebSocket) or from the
// MQTT broker is checked, turned into a block (ParseMcpSettings) and handed to the add-on session,
// and the reply goes back to whoever sent it.
//
// A command is {"mcp": {SETTING: VALUE, ...}, "id": ANY} (serve/messages.h). Its reply is text in
// the form of the side that took it:
//   WebSocket  {"type":"mcp_result","id":ID,"ok":true} or {..., "ok":false, "error":TEXT};
//              {"type":"error","error":TEXT} for a message that is not a command at all
//   MQTT       {"id":ID,"ok":true} or {"id":ID,"ok":false,"error":TEXT} (PREFIX/mcp/result); the
//              id is null for a message that is not a command at all
// A reply's id is the command's id when that is a number or a text of at most 64 characters, and
// null otherwise (no id, or one of another kind). A message longer than kMaxCommandBytes is
// refused unread; one nested more than 64 levels deep is not a command: no command needs it, and
// answering it could overflow the stack.
//
// Thread-safety: Run may be called from any thread, several at once (the MQTT library's thread
// and the io thread); the path keeps no state between commands.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "serve/upstream.h"
#include "zelm_client.h"

namespace zelm::serve {

// The longest message either side takes as a command (the WebSocket side closes a client that
// sends a longer one).
inline constexpr std::size_t kMaxCommandBytes = 16 * 1024;

// The side a command came from, which decides the form of its reply.
enum class ReplyForm { kWebSocket, kMqtt };

// Gets the reply text of a command that went to the add-on session.
using CommandReplied = std::function<void(std::string reply)>;

class CommandPath {
 public:
  // Upstream::Submit's contract: queues the block and calls `done` later, or returns false
  // without calling it.
  using Submit = std::function<bool(const McpRequestBuilder& block, McpDone done)>;
  // Whether the add-on is connected; asked only to say why a block was not queued.
  using Connected = std::function<bool()>;

  // Commands go to `upstream`, which must outlive the path.
  explicit CommandPath(Upstream& upstream);
  // Commands go to `submit` (a stand-in for the add-on session in tests).
  CommandPath(Submit submit, Connected connected);

  // Takes one message as it came from a client. When it goes no further (not a command, a
  // setting refused, the add-on not connected, too many commands waiting), its reply is returned
  // at once and `later` is never called. Otherwise the block is with the add-on session, the
  // result is nullopt, and `later` gets the reply exactly once, on the io thread, when the
  // session has sent the block or could not (or from Upstream::Stop).
  std::optional<std::string> Run(std::string_view message, ReplyForm form,
                                 CommandReplied later) const;

  // The reply refusing `message` for `error` without looking at its settings: in the form of
  // `form`, with the message's id when it has one a reply carries (else null).
  static std::string Refuse(std::string_view message, ReplyForm form, const std::string& error);

 private:
  Submit submit_;
  Connected connected_;
};

}  // namespace zelm::serve
