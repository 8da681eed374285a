#include "serve/commands.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "serve/messages.h"

namespace zelm::serve {

namespace {

constexpr const char* kNotACommand = "not a command: send {\"mcp\": {...}}";
constexpr const char* kQueueFull = "too many commands waiting for the add-on";
constexpr const char* kNotConnected = "simulator connection lost: nothing was sent";

// Deeper than any command goes ({"mcp": {...}, "id": ...} with an id of a few levels). Copying and
// writing JSON recurse once per level, so a message nested many thousands deep (a WebSocket
// message of 16 KiB on a Windows thread's stack, an MQTT payload of a few hundred KiB on any)
// would overflow the stack of the thread that answers it.
constexpr int kMaxCommandDepth = 64;

// Whether the JSON text `text` nests arrays and objects deeper than `limit` (outside strings).
bool NestedDeeperThan(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, which may be a quote
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// The result of a command, in the form of its side; an empty `error` is success.
std::string Result(ReplyForm form, const nlohmann::json& id, const std::string& error) {
  nlohmann::json result{{"id", id}, {"ok", error.empty()}};
  if (!error.empty()) result["error"] = error;
  if (form == ReplyForm::kWebSocket) result["type"] = "mcp_result";
  return Dump(result);
}

// The reply to a message that is not a command at all: a browser gets an error message of its
// own, the broker a result without an id.
std::string NotACommand(ReplyForm form) {
  if (form == ReplyForm::kWebSocket) {
    return Dump(nlohmann::json{{"type", "error"}, {"error", kNotACommand}});
  }
  return Result(form, nullptr, kNotACommand);
}

}  // namespace

CommandPath::CommandPath(Upstream& upstream)
    : submit_([&upstream](const McpRequestBuilder& block, McpDone done) {
        return upstream.Submit(block, std::move(done));
      }),
      connected_([&upstream] { return upstream.State().connected; }) {}

CommandPath::CommandPath(Submit submit, Connected connected)
    : submit_(std::move(submit)), connected_(std::move(connected)) {}

std::optional<std::string> CommandPath::Run(std::string_view text, ReplyForm form,
                                            CommandReplied later) const {
  if (NestedDeeperThan(text, kMaxCommandDepth)) return NotACommand(form);
  const nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
  if (message.is_discarded() || !message.is_object() || !message.contains("mcp")) {
    return NotACommand(form);
  }
  const nlohmann::json id = message.contains("id") ? message["id"] : nlohmann::json(nullptr);
  McpRequestBuilder builder;
  std::string error;
  if (!ParseMcpSettings(message["mcp"], &builder, &error)) return Result(form, id, error);
  const bool queued =
      submit_(builder, [form, id, later = std::move(later)](const std::string& failure) {
        later(Result(form, id, failure));
      });
  if (!queued) return Result(form, id, connected_() ? kQueueFull : kNotConnected);
  return std::nullopt;
}

}  // namespace zelm::serve
