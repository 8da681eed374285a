// zelm watch: the live view of the main instruments, and how fresh the frame it shows is.
//
// Every line of the view fits kMaxLineWidth columns whatever the frame holds: each number has a
// fixed width, gives up decimals when it would not fit and shows '#' when even its whole part
// does not; a number that is not finite shows as '-'. Texts from the frame show only printable
// ASCII.
//
// Thread-safety: Freshness is used by one thread at a time; the functions keep no state.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/frame_layout.h"
#include "zelm_client.h"

namespace zelm::watch {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kMaxLineWidth = 80;

// How long the frame may stay the same before the view calls it stale. Frames carry no
// sequence number, and the add-on sends its latest frame again, byte for byte, when no new one
// came within protocol::kFreshFrameWaitMs; a new frame differs from the one before at least in
// its conversion time, which counts whole seconds. So a frame unchanged for longer than a second
// and that wait means the add-on has stopped publishing; a little more keeps a parked aircraft,
// whose frames change only once a second, from flickering.
inline constexpr std::chrono::milliseconds kStaleAfter{1500};

// When the frames received last changed.
class Freshness {
 public:
  // Records a frame received at `now`: true when it differs from the one before (a new frame).
  bool Observe(const Frame& frame, Clock::time_point now);
  bool has_frame() const { return has_frame_; }
  // How long ago the frame last changed; zero before the first frame.
  Clock::duration Age(Clock::time_point now) const;
  bool Stale(Clock::time_point now) const { return has_frame_ && Age(now) > kStaleAfter; }

 private:
  std::array<std::uint8_t, velkaro::kFrameSize> last_{};
  bool has_frame_ = false;
  Clock::time_point changed_{};
};

// What the view shows besides the frame.
struct ViewState {
  std::string where;             // "HOST:PORT" of the add-on
  double frames_per_second = 0;  // new frames over the last second
  bool has_frame = false;        // whether `frame` holds a frame received
  Clock::duration age{};         // since the frame shown last changed
  bool stale = false;
  std::string problem;  // while reconnecting: why the connection was lost; otherwise empty
};

// The panel for a terminal: its lines, without line ends.
std::vector<std::string> Panel(const Frame& frame, const ViewState& state);

// One line for a file or a pipe, without its line end; `clock` ("12:34:56") in front.
std::string Line(const Frame& frame, const ViewState& state, std::string_view clock);

// Bank as the attitude indicator reads: "L17.2" left wing down (negative in the frame),
// "R 3.0" right wing down, "  0.0" level; always five columns.
std::string Bank(double degrees);

}  // namespace zelm::watch
