// The event a SimConnect client program waits on: the SimConnect library signals it when a
// message is ready for dispatch (or the connection to the simulator is lost). On Windows an auto-
// reset event handle; on other systems the stand-in simulator's equivalent, an eventfd passed to
// the library as the handle.
//
// Thread-safety: Wait on the bridge's dispatch thread; the library signals from its own.
#pragma once

namespace velkaro::bridge {

class DispatchEvent {
 public:
  DispatchEvent();
  ~DispatchEvent();
  DispatchEvent(const DispatchEvent&) = delete;
  DispatchEvent& operator=(const DispatchEvent&) = delete;

  // False when the system gave no event (the bridge then polls).
  bool valid() const;
  // What SimConnect_Open takes as hEventHandle; null when not valid.
  void* handle() const;
  // Waits until signalled or `milliseconds` have passed, and clears the signal.
  void Wait(int milliseconds);

 private:
#if defined(_WIN32)
  void* event_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace velkaro::bridge
