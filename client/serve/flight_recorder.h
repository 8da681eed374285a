// `zelm serve --record DIR`: the gateway records every connection to the add-on into a flight
// recording of its own (docs/recording.md), named by the local time its first frame arrived
// ("2026-12-11_14-05-33.vrec", with "-2", "-3"... when that name is taken).
//
// The io thread hands frames over and never touches the disk: a thread of the recorder's own
// writes them, through a queue of at most kMaxQueuedFrames (a disk that stalls longer loses
// frames, counted and said, rather than holding up the browsers). A recording is finished with
// its index when the connection ends and when the gateway stops. A file that cannot be created
// or written is said through `news` and ends that recording only; the gateway goes on, and the
// next connection tries a new file.
//
// Thread-safety: OnConnected, OnFrame and OnLost are called from one thread (the io thread);
// `news` is called from the recorder's thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "zelm_client.h"

namespace zelm::serve {

class FlightRecorder {
 public:
  static constexpr std::size_t kMaxQueuedFrames = 256;

  // `folder` must exist (CreateFolder makes it).
  FlightRecorder(std::string folder, std::function<void(const std::string&)> news);
  // Finishes the recording under way and joins the thread.
  ~FlightRecorder();
  FlightRecorder(const FlightRecorder&) = delete;
  FlightRecorder& operator=(const FlightRecorder&) = delete;

  // Creates `folder` (and its parents) when missing; false with the reason in `error`.
  static bool CreateFolder(const std::string& folder, std::string* error);

  // A connection to the add-on began: its frames go into a new recording.
  void OnConnected();
  // A new frame, stamped with the time it arrived.
  void OnFrame(const Frame& frame);
  // The connection ended: its recording is finished.
  void OnLost();

 private:
  struct Item {
    enum Kind { kBegin, kFrame, kEnd } kind;
    Frame frame;
    std::int64_t unix_us;
  };
  void Push(Item item);
  void Run();

  const std::string folder_;
  const std::function<void(const std::string&)> news_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Item> queue_;
  std::size_t queued_frames_ = 0;
  std::uint64_t dropped_ = 0;  // frames the full queue lost since the last report
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace zelm::serve
