#include "serve/flight_recorder.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "platform/clock.h"
#include "platform/path_text.h"
#include "recording.h"

namespace zelm::serve {

namespace {

namespace platform = velkaro::platform;

std::int64_t NowUnixUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// DIR/2026-12-11_14-05-33.vrec, or DIR/2026-12-11_14-05-33-2.vrec and on when that is taken.
std::string FreshPath(const std::string& folder, std::int64_t unix_us) {
  std::tm local{};
  char stamp[32] = "recording";
  if (platform::LocalTime(static_cast<std::time_t>(unix_us / 1'000'000), &local)) {
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
  }
  const std::filesystem::path dir = platform::PathFromUtf8(folder);
  for (int n = 1;; ++n) {
    const std::string name = std::string(stamp) + (n == 1 ? "" : "-" + std::to_string(n)) + ".vrec";
    const std::filesystem::path path = dir / platform::PathFromUtf8(name);
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) || n == 1000) return platform::Utf8FromPath(path);
  }
}

std::string Summary(const RecordingWriter& writer) {
  char text[96];
  std::snprintf(text, sizeof text, "%llu frames, %.1f s, %llu bytes",
                static_cast<unsigned long long>(writer.frame_count()), writer.duration_us() / 1e6,
                static_cast<unsigned long long>(writer.bytes_written()));
  return text;
}

}  // namespace

FlightRecorder::FlightRecorder(std::string folder, std::function<void(const std::string&)> news)
    : folder_(std::move(folder)), news_(std::move(news)) {
  thread_ = std::thread([this] { Run(); });
}

FlightRecorder::~FlightRecorder() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool FlightRecorder::CreateFolder(const std::string& folder, std::string* error) {
  std::error_code ec;
  const std::filesystem::path path = platform::PathFromUtf8(folder);
  std::filesystem::create_directories(path, ec);
  if (!std::filesystem::is_directory(path)) {
    *error = "--record: cannot make the folder " + folder +
             (ec ? ": " + ec.message() : std::string(": a file of that name is in the way"));
    return false;
  }
  return true;
}

void FlightRecorder::OnConnected() {
  Push({Item::kBegin, {}, 0});
}
void FlightRecorder::OnLost() {
  Push({Item::kEnd, {}, 0});
}
void FlightRecorder::OnFrame(const Frame& frame) {
  Push({Item::kFrame, frame, NowUnixUs()});
}

void FlightRecorder::Push(Item item) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (item.kind == Item::kFrame) {
      if (queued_frames_ >= kMaxQueuedFrames) {
        ++dropped_;
        return;
      }
      ++queued_frames_;
    }
    queue_.push_back(std::move(item));
  }
  wake_.notify_one();
}

void FlightRecorder::Run() {
  std::unique_ptr<RecordingWriter> writer;
  std::string path;
  bool wanted = false;  // the connection's frames are to be recorded (none failed yet)
  auto finish = [&] {
    if (!writer) return;
    if (writer->Finish()) {
      news_("recorded " + path + ": " + Summary(*writer));
    } else {
      news_("recording " + path + " could not be finished: " + writer->error() +
            " (its frames stay readable)");
    }
    writer.reset();
  };
  for (;;) {
    Item item;
    std::uint64_t dropped = 0;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) break;  // stopping, with everything written
      item = std::move(queue_.front());
      queue_.pop_front();
      if (item.kind == Item::kFrame) --queued_frames_;
      dropped = std::exchange(dropped_, 0);
    }
    if (dropped > 0 && writer) {
      news_("recording " + path + ": " + std::to_string(dropped) +
            " frames lost while the disk kept the recorder waiting");
    }
    switch (item.kind) {
      case Item::kBegin:
        finish();
        wanted = true;
        break;
      case Item::kEnd:
        finish();
        wanted = false;
        break;
      case Item::kFrame: {
        if (!wanted) break;
        if (!writer) {
          path = FreshPath(folder_, item.unix_us);
          std::string error;
          writer = RecordingWriter::Create(path, &error);
          if (!writer) {
            news_("cannot record this connection: " + error);
            wanted = false;
            break;
          }
          news_("recording to " + path);
        }
        if (!writer->Append(item.frame.bytes, item.unix_us)) {
          news_("recording " + path + " stopped: " + writer->error() +
                " (the frames before stay readable)");
          writer.reset();
          wanted = false;
        }
        break;
      }
    }
  }
  finish();
}

}  // namespace zelm::serve
