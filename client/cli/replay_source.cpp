#include "replay_source.h"

#include <algorithm>
#include <cstring>

#include "recording.h"

namespace zelm::replay {

namespace {

class RecordingSource : public FrameSource {
 public:
  explicit RecordingSource(std::unique_ptr<RecordingReader> reader)
      : reader_(std::move(reader)),
        duration_us_(static_cast<std::int64_t>(reader_->DurationUs())) {}

  std::int64_t DurationUs() const override { return duration_us_; }

  bool Seek(std::int64_t time_us, std::string* error) override {
    if (reader_->Seek(static_cast<std::uint64_t>(std::max<std::int64_t>(time_us, 0)))) return true;
    *error = reader_->cut_short() ? reader_->end_problem() : "cannot read the recording";
    return false;
  }

  bool Next(std::int64_t* time_us, std::uint8_t* frame, std::string* error) override {
    if (!reader_->Next(&recorded_)) {
      if (reader_->cut_short()) *error = reader_->end_problem();
      return false;
    }
    *time_us = static_cast<std::int64_t>(recorded_.time_us);
    std::memcpy(frame, recorded_.frame.bytes.data(), velkaro::kFrameSize);
    return true;
  }

 private:
  std::unique_ptr<RecordingReader> reader_;
  const std::int64_t duration_us_;
  RecordedFrame recorded_;
};

}  // namespace

std::unique_ptr<FrameSource> OpenRecording(const std::string& path, std::string* error) {
  std::unique_ptr<RecordingReader> reader = RecordingReader::Open(path, error);
  if (!reader) return nullptr;
  return std::make_unique<RecordingSource>(std::move(reader));
}

}  // namespace zelm::replay
