// Flight recordings (.vrec, docs/recording.md): every frame a client received, with the time it
// arrived, as key frames and XOR deltas compressed with zlib, and an index at the end.
//
// RecordingWriter writes one recording front to back; whatever the flight's length it holds two
// frames, one deflate stream and fixed buffers (the index is built at Finish by reading back the
// file's record heads, not kept in memory). A recording whose writer never finishes (a crash, a
// lost disk) is readable up to its last whole record.
//
// RecordingReader reads one: the header checked first (Open refuses a file of another format,
// version, frame size, flag set or frame layout, or with a damaged header, saying which), then
// the frames in order with their times. Every record is checked (CRC, kind, length, times that
// never decrease, a delta only after a key frame, a payload that inflates to exactly one frame):
// the first one that fails, or a file that ends inside a record or without its index, ends the
// frames, and the reader says the recording was cut short and where. Nothing in a file, however
// damaged, makes the reader allocate more than its fixed buffers or read past the file.
//
// Times: a recording's start is microseconds since 1970-01-01 UTC; each frame's time is
// microseconds from that start.
//
// Thread-safety: a writer or reader is used by one thread at a time; distinct objects are
// independent.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/frame_layout.h"
#include "zelm_client.h"

namespace zelm {

// The file's fixed parts (docs/recording.md).
inline constexpr std::size_t kRecordingHeaderSize = 8 + 4 + 4 + 4 + 4 + 8 + 4 + 4;  // ... CRC
inline constexpr std::uint32_t kRecordingVersion = 1;
inline constexpr std::uint8_t kRecordingMagic[8] = {0x56, 0x52, 0x45, 0x43, 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::uint8_t kRecordingIndexMagic[8] = {'V', 'R', 'E', 'C', 'I', 'D', 'X', '\n'};
inline constexpr std::uint32_t kDefaultKeyFrameIntervalMs = 5000;
// A record: kind u8, time u64, payload length u32, payload, CRC-32.
inline constexpr std::size_t kRecordHeadSize = 1 + 8 + 4;
inline constexpr std::size_t kRecordCrcSize = 4;
inline constexpr std::size_t kMaxRecordPayload = 65536;
inline constexpr std::size_t kIndexEntrySize = 8 + 8 + 4;    // time, record offset, frame number
inline constexpr std::size_t kIndexCountsSize = 4 + 4;       // frame count, key frame count
inline constexpr std::size_t kRecordingTrailerSize = 8 + 8;  // index offset, "VRECIDX\n"
enum class RecordKind : std::uint8_t { kKeyFrame = 1, kDeltaFrame = 2, kIndex = 3 };

// The frame layout's identity: the CRC-32 of LayoutIdentityText().
std::uint32_t LayoutIdentity();
// One line per frame field, "name offset type count elementSize\n", in the layout's order.
std::string LayoutIdentityText();

struct RecordingHeader {
  std::uint32_t version = kRecordingVersion;
  std::uint32_t frame_size = static_cast<std::uint32_t>(velkaro::kFrameSize);
  std::uint32_t layout_identity = 0;
  std::uint32_t key_interval_ms = kDefaultKeyFrameIntervalMs;
  std::int64_t start_unix_us = 0;
  std::uint32_t flags = 0;
};

// The 40 header bytes for `header`, its CRC included.
void EncodeRecordingHeader(const RecordingHeader& header, std::uint8_t* out);
// Reads and checks the header bytes (at least kRecordingHeaderSize of them when `length` says
// so; fewer is an error too). False with the reason in `error` ("not a flight recording ...",
// "recorded with another frame layout (identity 0x..., this build reads 0x...)") when this
// build cannot read the recording.
bool DecodeRecordingHeader(const std::uint8_t* bytes, std::size_t length, RecordingHeader* header,
                           std::string* error);

class RecordingWriter {
 public:
  struct Options {
    std::uint32_t key_interval_ms = kDefaultKeyFrameIntervalMs;
    int compression_level = 6;  // zlib's 0 to 9
  };

  // Creates (or empties) the file at `path` (UTF-8); empty with the reason in `error`
  // ("cannot create PATH: ...") when it cannot. The header is written with the first frame,
  // whose time is the recording's start.
  static std::unique_ptr<RecordingWriter> Create(const std::string& path, std::string* error,
                                                 const Options& options);
  static std::unique_ptr<RecordingWriter> Create(const std::string& path, std::string* error) {
    return Create(path, error, Options{});
  }
  // Closes the file; unless Finish succeeded it is left without an index, as a crash leaves it
  // (readable up to its last whole record).
  ~RecordingWriter();
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;

  // Appends a frame received at `receipt_unix_us` (microseconds since 1970 UTC). A time before
  // the previous frame's (the system clock stepped back) is recorded as the previous time, as
  // times in a recording never decrease. The record reaches the system at least once a second
  // of recording time; Flush forces it. False, with error(), when writing failed: the writer
  // then takes nothing more, and the file holds what was written before.
  bool Append(std::span<const std::uint8_t, velkaro::kFrameSize> frame,
              std::int64_t receipt_unix_us);
  bool Flush();
  // Writes the index and the trailer and closes the file. A recording of no frames gets its
  // header now, with the current time as its start. False, with error(), when writing failed.
  bool Finish();

  std::uint64_t frame_count() const;
  std::uint64_t key_frame_count() const;
  // Bytes written so far (header and records).
  std::uint64_t bytes_written() const;
  // The last frame's time from the start.
  std::uint64_t duration_us() const;
  const std::string& error() const;

 private:
  struct State;
  explicit RecordingWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

struct RecordedFrame {
  Frame frame;
  std::uint64_t time_us = 0;  // from the recording's start
  std::uint64_t number = 0;   // from 0
};

class RecordingReader {
 public:
  // Opens the recording at `path` (UTF-8) and checks its header and, when there is one, its
  // index. Empty, with the reason in `error` ("PATH: recorded with another frame layout ..."),
  // when the file cannot be opened or this build cannot read it.
  static std::unique_ptr<RecordingReader> Open(const std::string& path, std::string* error);
  ~RecordingReader();
  RecordingReader(const RecordingReader&) = delete;
  RecordingReader& operator=(const RecordingReader&) = delete;

  const RecordingHeader& header() const;
  // Whether the file ends with a good index and trailer (its writer finished it).
  bool has_index() const;

  // The next frame, with its time and number; false at the end of the frames, when the next
  // record is incomplete or bad (cut_short() then says so), or when reading the file failed.
  bool Next(RecordedFrame* out);
  // Positions the reader so that Next returns the first frame at or after `time_us` (from the
  // start): through the index when there is one, otherwise by reading the records from the
  // start. Past the last frame, Next returns false. False only when reading failed.
  bool Seek(std::uint64_t time_us);
  // Back to the first frame.
  bool Rewind() { return Seek(0); }

  // Set once Next has come to an end that is not the index: the file ends inside a record or
  // without an index, or a record is damaged. end_problem() then says what and at which byte.
  bool cut_short() const;
  const std::string& end_problem() const;

  // The number of whole frames and the last one's time from the start: from the index when
  // there is one (and its last segment), otherwise by reading the records once (without
  // inflating them). The reading position is kept.
  std::uint64_t FrameCount();
  std::uint64_t DurationUs();
  // The file's size in bytes.
  std::uint64_t file_size() const;

 private:
  struct State;
  explicit RecordingReader(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace zelm
