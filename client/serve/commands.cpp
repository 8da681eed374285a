#include "serve/commands.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "serve/messages.h"

namespace zelm::serve {

namespace {

constexpr const char* kNotACommand = "not a command: send {\"mcp\": {...}}";
constexpr const char* kQueueFull = "too many commands waiting for the add-on";
constexpr const char* kNotConnected = "simulator connection lost: nothing was sent";
constexpr const char* kTooLong = "a command is at most 16 KiB: nothing was sent";
static_assert(kMaxCommandBytes == 16 * 1024, "kTooLong names the bound");

// The longest text id a reply carries: an id is the sender's own label for its command, and a
// reply that echoed anything the sender put there would carry its bulk (or its nesting) back.
constexpr std::size_t kMaxIdChars = 64;

// Deeper than any command goes ({"mcp": {...}, "id": ...} with an id of a few levels). Copying and
// writing JSON recurse once per level, so a message nested many thousands deep (a WebSocket
// message of 16 KiB on a Windows thread's stack, an MQTT payload of a few hundred KiB on any)
// would overflow the stack of the thread that answers it.
constexpr int kMaxCommandDepth = 64;

// The id a reply carries: the command's id when it is a number or a short text, else null.
nlohmann::json ReplyId(const nlohmann::json& message) {
  const auto found = message.find("id");
  if (found == message.end()) return nullptr;
  if (found->is_number()) return *found;
  if (found->is_string() && found->get_ref<const std::string&>().size() <= kMaxIdChars) {
    return *found;
  }
  return nullptr;
}

// `text` as a JSON object, or a discarded value when it is too long, nested too deep, not JSON
// or not an object.
nlohmann::json ParseMessage(std::string_view text) {
  if (text.size() > kMaxCommandBytes || NestedDeeperThan(text, kMaxCommandDepth)) {
    return nlohmann::json(nlohmann::json::value_t::discarded);
  }
  nlohmann::json message = nlohmann::json::parse(text, nullptr, false);
  if (!message.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
  return message;
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
std::string NotACommand(ReplyForm form, const char* why = kNotACommand) {
  if (form == ReplyForm::kWebSocket) {
    return Dump(nlohmann::json{{"type", "error"}, {"error", why}});
  }
  return Result(form, nullptr, why);
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
  // Refused before it is parsed: the parser's work and memory grow with the text.
  if (text.size() > kMaxCommandBytes) return NotACommand(form, kTooLong);
  const nlohmann::json message = ParseMessage(text);
  if (message.is_discarded() || !message.contains("mcp")) return NotACommand(form);
  const nlohmann::json id = ReplyId(message);
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

std::string CommandPath::Refuse(std::string_view text, ReplyForm form, const std::string& error) {
  const nlohmann::json message = ParseMessage(text);
  return Result(form, message.is_discarded() ? nlohmann::json(nullptr) : ReplyId(message), error);
}

}  // namespace zelm::serve
