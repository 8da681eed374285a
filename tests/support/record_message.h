// Test and benchmark support: a SimConnect data message carrying one user-aircraft record, as
// the simulator delivers it for request 1, to hand to the add-on's dispatch procedure or to the
// stand-in's queue.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/simconnect.h"
#include "simdata/record_layout.h"

namespace velkaro::testing {

class RecordMessage {
 public:
  explicit RecordMessage(SIMCONNECT_DWORD request_id = 1) : bytes_(kHeaderSize + kRecordSize, 0) {
    SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE header{};
    header.dwSize = static_cast<SIMCONNECT_DWORD>(bytes_.size());
    header.dwID = SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE;
    header.dwRequestID = request_id;
    std::memcpy(bytes_.data(), &header, kHeaderSize);
  }

  // The record, kRecordSize bytes from dwData on.
  std::uint8_t* record() { return bytes_.data() + kHeaderSize; }
  void SetRecord(const std::vector<std::uint8_t>& record) {
    std::memcpy(this->record(), record.data(), kRecordSize);
  }

  SIMCONNECT_RECV* message() { return reinterpret_cast<SIMCONNECT_RECV*>(bytes_.data()); }
  SIMCONNECT_DWORD size() const { return static_cast<SIMCONNECT_DWORD>(bytes_.size()); }

 private:
  // The record starts at dwData, the last member of the message header.
  static constexpr std::size_t kHeaderSize =
      sizeof(SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE) - sizeof(SIMCONNECT_DWORD);
  std::vector<std::uint8_t> bytes_;
};

}  // namespace velkaro::testing
