#include "net/upload_store.h"

#include <utility>

namespace velkaro {

UploadStore::UploadStore() : data_(std::make_shared<const Bytes>()) {}

UploadStore::Snapshot UploadStore::Read() const {
  platform::MutexLock guard(lock_);
  return {data_, version_};
}

void UploadStore::Clear() {
  auto empty = std::make_shared<const Bytes>();
  std::shared_ptr<const Bytes> old;
  {
    platform::MutexLock guard(lock_);
    old = std::exchange(data_, std::move(empty));
  }
  // `old` (possibly the last reference to megabytes) is released outside the lock.
}

void UploadStore::PublishData(Bytes data) {
  auto fresh = std::make_shared<const Bytes>(std::move(data));
  std::shared_ptr<const Bytes> old;
  {
    platform::MutexLock guard(lock_);
    old = std::exchange(data_, std::move(fresh));
  }
}

void UploadStore::PublishVersion(std::uint32_t version) {
  platform::MutexLock guard(lock_);
  version_ = version;
}

}  // namespace velkaro
