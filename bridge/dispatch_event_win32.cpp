#include <windows.h>

#include "dispatch_event.h"

namespace velkaro::bridge {

DispatchEvent::DispatchEvent() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

DispatchEvent::~DispatchEvent() {
  if (event_ != nullptr) CloseHandle(event_);
}

bool DispatchEvent::valid() const {
  return event_ != nullptr;
}

void* DispatchEvent::handle() const {
  return event_;
}

void DispatchEvent::Wait(int milliseconds) {
  if (event_ == nullptr) {
    Sleep(static_cast<DWORD>(milliseconds));
    return;
  }
  WaitForSingleObject(event_, static_cast<DWORD>(milliseconds));
}

}  // namespace velkaro::bridge
