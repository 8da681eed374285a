// Test and benchmark support: a SimConnect data message carrying one user-aircraft record, as
// the simulator delivers it for request 1, to hand to the add-on's dispatch procedure or to the
// stand-in's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "simconnect/simconnect.h"
#include "simdata/record_layout.h"

namespace velkaro::testing {

class RecordMessage {
 public:
  // `record_bytes` below kRecordSize makes the record a simulator sends when it has refused a
  // variable of the definition: short of the bytes the definition registered.
  explicit RecordMessage(SIMCONNECT_DWORD request_id = 1, std::size_t record_bytes = kRecordSize)
      : bytes_(kHeaderSize + record_bytes, 0), record_bytes_(record_bytes) {
    SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE header{};
    header.dwSize = static_cast<SIMCONNECT_DWORD>(bytes_.size());
    header.dwID = SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE;
    header.dwRequestID = request_id;
    std::memcpy(bytes_.data(), &header, kHeaderSize);
  }

  // The record, from dwData on.
  std::uint8_t* record() { return bytes_.data() + kHeaderSize; }
  // Copies as much of a kRecordSize-byte record as the message holds.
  void SetRecord(const std::vector<std::uint8_t>& record) {
    std::memcpy(this->record(), record.data(),
                record_bytes_ < kRecordSize ? record_bytes_ : kRecordSize);
  }
  // The size the message states of itself (dwSize), when it should differ from its length.
  void SetStatedSize(SIMCONNECT_DWORD size) {
    std::memcpy(bytes_.data() + offsetof(SIMCONNECT_RECV, dwSize), &size, sizeof size);
  }

  SIMCONNECT_RECV* message() { return reinterpret_cast<SIMCONNECT_RECV*>(bytes_.data()); }
  SIMCONNECT_DWORD size() const { return static_cast<SIMCONNECT_DWORD>(bytes_.size()); }

  // The record starts at dwData, the last member of the message header.
  static constexpr std::size_t kHeaderSize =
      sizeof(SIMCONNECT_RECV_SIMOBJECT_DATA_BYTYPE) - sizeof(SIMCONNECT_DWORD);

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t record_bytes_;
};

}  // namespace velkaro::testing
