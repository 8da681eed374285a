#include "net/upload_store.h"

#include <new>
#include <utility>

namespace velkaro {

bool UploadAllowance::TryTake(std::size_t bytes, bool small) {
  const std::size_t limit = small ? limit_ : limit_ - reserve_;
  std::size_t current = held_.load();
  do {
    if (bytes > limit || current > limit - bytes) return false;
  } while (!held_.compare_exchange_weak(current, current + bytes));
  return true;
}

void UploadAllowance::Give(std::size_t bytes) {
  held_.fetch_sub(bytes);
}

UploadBuffer::UploadBuffer(UploadBuffer&& other) noexcept
    : allowance_(other.allowance_),
      small_(other.small_),
      bytes_(std::move(other.bytes_)),
      charged_(std::exchange(other.charged_, 0)) {}

UploadBuffer::~UploadBuffer() {
  if (charged_ > 0) allowance_->Give(charged_);
}

bool UploadBuffer::Grow(std::size_t size) {
  if (size <= bytes_.size()) return true;
  if (!allowance_->TryTake(size, small_)) return false;
  Bytes grown;
  try {
    grown.reserve(size);
  } catch (const std::bad_alloc&) {
    allowance_->Give(size);
    return false;
  }
  // reserve gives exactly what is asked with the library the add-on is built with; should it
  // give more, the rest is held too and is charged as well.
  const std::size_t reserved = grown.capacity();
  if (reserved > size && !allowance_->TryTake(reserved - size, small_)) {
    allowance_->Give(size);
    return false;
  }
  grown.assign(bytes_.begin(), bytes_.end());
  grown.resize(size);
  bytes_.swap(grown);
  Bytes().swap(grown);  // the old allocation is freed before its charge is given back
  allowance_->Give(std::exchange(charged_, reserved));
  return true;
}

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
    current_ = 0;
  }
  // `old` (possibly the last reference to megabytes) is released outside the lock.
}

UploadStore::Publication UploadStore::PublishData(UploadBuffer data) {
  // The buffer travels with the bytes, so its charge is given back only when the last reference
  // goes.
  auto holder = std::make_shared<UploadBuffer>(std::move(data));
  std::shared_ptr<const Bytes> fresh(holder, &holder->bytes());
  std::shared_ptr<const Bytes> old;
  Publication publication;
  {
    platform::MutexLock guard(lock_);
    old = std::exchange(data_, std::move(fresh));
    publication = current_ = ++last_;
  }
  return publication;  // `old` is released outside the lock, as in Clear
}

bool UploadStore::PublishVersion(Publication publication, std::uint32_t version) {
  platform::MutexLock guard(lock_);
  if (publication == 0 || publication != current_) return false;
  version_ = version;
  return true;
}

}  // namespace velkaro
