#include "host/server_report.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/system.h"
#include "zelm_client.h"

namespace velkaro::standin {

namespace {

constexpr int kConnectAttemptMs = 500;
constexpr int kStatusReplyMs = 1000;
constexpr int kConnectRetryPauseMs = 50;
constexpr std::size_t kLogBytesRead = 1024 * 1024;

const nlohmann::json* Member(const nlohmann::json& status, const char* name) {
  const auto it = status.find(name);
  return it == status.end() ? nullptr : &*it;
}

// The status's warnings, each a text; anything else in the list is passed over.
std::vector<std::string> Warnings(const nlohmann::json& status) {
  std::vector<std::string> warnings;
  const nlohmann::json* list = Member(status, "warnings");
  if (list == nullptr || !list->is_array()) return warnings;
  for (const nlohmann::json& warning : *list) {
    if (warning.is_string()) warnings.push_back(warning.get<std::string>());
  }
  return warnings;
}

// The last failure the log names, without its time stamp; empty when it names none.
std::string FailureFromLog(const std::string& log_path) {
  std::string text;
  if (platform::ReadRegularFile(log_path.c_str(), kLogBytesRead, text) !=
      platform::FileReadResult::kRead) {
    return std::string();
  }
  std::string failure;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t arrow = line.find("-->");
    if (arrow != std::string_view::npos) line.remove_prefix(arrow + 3);
    if (line.find("failed") != std::string_view::npos ||
        line.find("Failed") != std::string_view::npos) {
      failure = std::string(line);
    }
    start = end + 1;
  }
  return failure;
}

std::string Line(const std::string& text) {
  return "velkaro-sim: " + text + "\n";
}

// Why nothing answered, from the log when there is one.
std::string FromTheLog(const Settings& settings, const std::string& folder) {
  if (!settings.log_enabled) {
    return Line("its log is off ([log] enabled = true in " + folder + kSettingsFileName +
                " switches it on)");
  }
  const std::string log_path = LogFilePath(settings, folder);
  const std::string failure = FailureFromLog(log_path);
  if (failure.empty()) return Line("its log (" + log_path + ") names no failure");
  return Line("its log (" + log_path + "): " + failure);
}

}  // namespace

std::string ReportAddOnServer(const std::string& addon_path) {
  std::error_code ignored;
  const std::string folder = platform::FolderOf(platform::Utf8FromPath(
      std::filesystem::absolute(platform::PathFromUtf8(addon_path), ignored)));
  const Settings settings = LoadSettings(folder).settings;
  const std::string port = std::to_string(settings.port);
  const std::string host = settings.bind == "ANY" ? "127.0.0.1" : settings.bind;
  const std::string no_server = "the add-on has no server: ";

  std::uint32_t from = 0;
  if (ParseIpv4(host, &from) && !settings.allow.Allows(from)) {
    return Line("cannot ask the add-on whether it serves: " + host + " is not in its allow list (" +
                settings.allow.ToString() + ")");
  }

  // The server starts listening moments after the first frame.
  std::string error;
  std::unique_ptr<zelm::Connection> connection;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kServerReportWaitMs);
  for (;;) {
    connection = zelm::Connection::Open(host, settings.port, &error, kConnectAttemptMs);
    if (connection != nullptr || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(kConnectRetryPauseMs));
  }
  std::string json;
  if (connection != nullptr) {
    connection->SetDeadline(std::chrono::milliseconds(kStatusReplyMs));
    if (!connection->FetchStatus(&json)) {
      error = connection->error();
      connection.reset();
    }
  }
  nlohmann::json status;
  if (connection != nullptr) {
    status = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!status.is_object()) error = "the status reply is not a JSON object";
  }
  if (connection == nullptr || !status.is_object()) {
    return Line(no_server + "nothing answers on port " + port + " (" + error +
                "); the add-on's log says why") +
           FromTheLog(settings, folder);
  }

  const std::vector<std::string> warnings = Warnings(status);
  const nlohmann::json* server = Member(status, "server");
  if (server == nullptr || !server->is_boolean() || !server->get<bool>()) {
    std::string why;
    for (const std::string& warning : warnings) why += (why.empty() ? "" : "; ") + warning;
    return Line(no_server + (why.empty() ? "its status gives no reason" : why));
  }
  const nlohmann::json* served_port = Member(status, "port");
  std::string report = Line("clients connect to TCP port " +
                            (served_port != nullptr && served_port->is_number_unsigned()
                                 ? std::to_string(served_port->get<unsigned>())
                                 : port) +
                            (settings.bind == "ANY" ? "" : " on " + settings.bind) + ".");
  for (const std::string& warning : warnings) report += Line("the add-on warns: " + warning);
  return report;
}

}  // namespace velkaro::standin
