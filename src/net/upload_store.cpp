#include "net/upload_store.h"

#include <cstring>
#include <utility>

#include "platform/pages.h"

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
      bytes_(std::exchange(other.bytes_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      charged_(std::exchange(other.charged_, 0)) {}

UploadBuffer::~UploadBuffer() {
  platform::FreePages(bytes_, charged_);
  if (charged_ > 0) allowance_->Give(charged_);
}

bool UploadBuffer::Grow(std::size_t size) {
  if (size <= size_) return true;
  if (size <= charged_) {
    std::memset(bytes_ + size_, 0, size - size_);
    size_ = size;
    return true;
  }
  const std::size_t pages = platform::PageRounded(size);
  if (allowance_ == nullptr || pages == 0 || !allowance_->TryTake(pages, small_)) return false;
  auto* grown = static_cast<std::uint8_t*>(platform::AllocatePages(size));
  if (grown == nullptr) {
    allowance_->Give(pages);
    return false;
  }
  if (size_ > 0) std::memcpy(grown, bytes_, size_);
  platform::FreePages(std::exchange(bytes_, grown), charged_);
  allowance_->Give(std::exchange(charged_, pages));
  size_ = size;
  return true;
}

UploadStore::UploadStore() : data_(std::make_shared<const UploadBuffer>()) {}

UploadStore::Snapshot UploadStore::Read() const {
  platform::MutexLock guard(lock_);
  return {data_, version_};
}

void UploadStore::Clear() {
  auto empty = std::make_shared<const UploadBuffer>();
  std::shared_ptr<const UploadBuffer> old;
  {
    platform::MutexLock guard(lock_);
    old = std::exchange(data_, std::move(empty));
    current_ = 0;
  }
  // `old` (possibly the last reference to megabytes) is released outside the lock.
}

UploadStore::Publication UploadStore::PublishData(UploadBuffer data) {
  // The buffer travels with the bytes, so its pages and its charge are given back only when the
  // last reference goes.
  auto fresh = std::make_shared<const UploadBuffer>(std::move(data));
  std::shared_ptr<const UploadBuffer> old;
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
