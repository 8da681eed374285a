// A client-uploaded blob and its version word ("sFMCDATA20" / "sFPLDATA10"), shared by every
// session. Readers take a snapshot (a reference to immutable bytes and the version) under a
// short lock and send it without holding anything, so a download never sees the store while it
// is being replaced, and an upload never waits for a slow download.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/mutex.h"

namespace velkaro {

class UploadStore {
 public:
  using Bytes = std::vector<std::uint8_t>;

  struct Snapshot {
    std::shared_ptr<const Bytes> data;  // never null
    std::uint32_t version;
  };

  UploadStore();

  Snapshot Read() const;
  // Empties the data; the version word stays.
  void Clear();
  // Publishes complete new data; the version word stays until PublishVersion.
  void PublishData(Bytes data);
  void PublishVersion(std::uint32_t version);

 private:
  mutable platform::Mutex lock_;
  std::shared_ptr<const Bytes> data_ VELKARO_GUARDED_BY(lock_);
  std::uint32_t version_ VELKARO_GUARDED_BY(lock_) = 0;
};

}  // namespace velkaro
