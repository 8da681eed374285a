// Client-uploaded blobs ("sFMCDATA20" / "sFPLDATA10") and the memory they may hold.
//
// UploadStore: a blob and its version word, shared by every session. Readers take a snapshot (a
// reference to immutable bytes and the version) under a short lock and send it without holding
// anything, so a download never sees the store while it is being replaced, and an upload never
// waits for a slow download.
//
// UploadAllowance: every byte of upload data in the process is charged to it before it is
// allocated and given back when it is freed, wherever the bytes are: arriving on a session,
// published in a store, or kept alive by a session still sending an older version. A charge that
// would pass the limit is refused (the upload then fails), so what clients can make the add-on
// hold for uploads and downloads together never passes kMaxUploadBytesHeld. The last
// kSmallUploadReserveBytes of it are kept for small uploads (of at most kSmallUploadBytes): large
// uploads that have filled the rest, finished or arriving, do not make every upload fail.
//
// UploadBuffer: upload data lives in pages of its own, taken from the system and given back to
// it when the data is freed (platform/pages.h), never in the heap: a heap keeps the megabytes it
// frees, so what the allowance bounds at any moment would otherwise stay with the simulator's
// process after the clients have gone.
//
// Thread-safety: UploadStore and UploadAllowance may be used from any thread; an UploadBuffer
// belongs to the one session that receives into it until it is published.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/mutex.h"

namespace velkaro {

// Upload data the process may hold at once: both stores full (2 x 16 MiB) with room for two
// more full uploads arriving (each holds up to twice its length for a moment while its buffer
// grows), or for older versions that slow readers are still being sent.
// And the reserve for small uploads beside them: room for one on every place at once.
inline constexpr std::size_t kSmallUploadBytes = 64 * 1024;
inline constexpr std::size_t kSmallUploadReserveBytes = 64 * kSmallUploadBytes;
inline constexpr std::size_t kMaxUploadBytesHeld =
    96u * 1024 * 1024 + kSmallUploadReserveBytes;

class UploadAllowance {
 public:
  UploadAllowance() = default;
  explicit UploadAllowance(std::size_t limit, std::size_t reserve = 0)
      : limit_(limit), reserve_(reserve < limit ? reserve : limit) {}
  UploadAllowance(const UploadAllowance&) = delete;
  UploadAllowance& operator=(const UploadAllowance&) = delete;

  // Charges `bytes`; false, with nothing charged, when that would pass the limit, or for
  // anything but a small upload (`small`), the limit less the reserve.
  bool TryTake(std::size_t bytes, bool small = false);
  void Give(std::size_t bytes);
  std::size_t held() const { return held_.load(); }
  std::size_t limit() const { return limit_; }

 private:
  const std::size_t limit_ = kMaxUploadBytesHeld;
  const std::size_t reserve_ = kSmallUploadReserveBytes;
  std::atomic<std::size_t> held_{0};
};

// The buffer an upload is received into. Its bytes lie in pages taken from the system for it
// alone; what it holds, and is charged for, is its size rounded up to whole pages. The pages go
// back to the system, and then the charge to the allowance, when it is freed (after publication:
// when the store and the last reader have let it go).
class UploadBuffer {
 public:
  // Empty, and never to grow: the data of a store that holds none. Charged to nothing.
  UploadBuffer() = default;
  // A buffer for a small upload (`small`: of at most kSmallUploadBytes) may be charged to the
  // allowance's reserve.
  explicit UploadBuffer(UploadAllowance& allowance, bool small = false)
      : allowance_(&allowance), small_(small) {}
  UploadBuffer(UploadBuffer&& other) noexcept;
  UploadBuffer& operator=(UploadBuffer&&) = delete;
  UploadBuffer(const UploadBuffer&) = delete;
  ~UploadBuffer();

  // Grows the buffer to `size` bytes (the new ones zero). Within the pages it holds that costs
  // nothing; otherwise the bytes move to new pages, charged before they are taken, and the old
  // ones are given back to the system and only then to the allowance. False, and the buffer
  // unchanged, when the allowance or the system refuses.
  bool Grow(std::size_t size);

  std::uint8_t* data() { return bytes_; }
  const std::uint8_t* data() const { return bytes_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::uint8_t* begin() const { return bytes_; }
  const std::uint8_t* end() const { return bytes_ + size_; }
  // What it holds and is charged for: size() rounded up to whole pages.
  std::size_t charged() const { return charged_; }

 private:
  UploadAllowance* allowance_ = nullptr;
  bool small_ = false;
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
  std::size_t charged_ = 0;
};

class UploadStore {
 public:
  struct Snapshot {
    std::shared_ptr<const UploadBuffer> data;  // never null
    std::uint32_t version;
  };

  // Names one publication of data, so that its version word reaches only that data.
  using Publication = std::uint64_t;

  UploadStore();

  Snapshot Read() const;
  // Empties the data; the version word stays.
  void Clear();
  // Publishes complete new data; the version word stays until PublishVersion names this
  // publication.
  Publication PublishData(UploadBuffer data);
  // Sets the version word if the store still holds the data of `publication`. When another
  // upload has cleared or replaced it since, the word belongs to data no longer stored: it is
  // dropped and the result is false.
  bool PublishVersion(Publication publication, std::uint32_t version);

 private:
  mutable platform::Mutex lock_;
  std::shared_ptr<const UploadBuffer> data_ VELKARO_GUARDED_BY(lock_);
  std::uint32_t version_ VELKARO_GUARDED_BY(lock_) = 0;
  Publication current_ VELKARO_GUARDED_BY(lock_) = 0;  // of data_; 0 for no upload's data
  Publication last_ VELKARO_GUARDED_BY(lock_) = 0;
};

}  // namespace velkaro
