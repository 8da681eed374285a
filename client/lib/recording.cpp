#include "recording.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "common/coding.h"
#include "platform/file.h"

namespace zelm {

namespace {

using velkaro::DecodeI64;
using velkaro::DecodeU32;
using velkaro::DecodeU64;
using velkaro::EncodeI64;
using velkaro::EncodeU32;
using velkaro::EncodeU64;
using velkaro::kFrameSize;

// A sync flush ends every record's deflate data with these four bytes; they are not stored.
constexpr std::uint8_t kSyncFlushTail[4] = {0x00, 0x00, 0xFF, 0xFF};
// Room for one frame's deflate data: a frame that does not compress at all takes its size plus
// a few block heads, far below this.
constexpr std::size_t kDeflateCapacity = 8192;
// Index entries the writer gathers before it appends them (Finish).
constexpr std::size_t kIndexBatch = 64;
constexpr std::uint64_t kFlushIntervalUs = 1'000'000;

std::uint32_t Crc(std::uint32_t crc, const std::uint8_t* data, std::size_t length) {
  // zlib's crc32 takes a uInt length; no piece here comes near 4 GiB.
  return static_cast<std::uint32_t>(
      crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(length)));
}

std::string Hex32(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

const char* TypeName(velkaro::FrameType type) {
  switch (type) {
    case velkaro::FrameType::kF64:
      return "f64";
    case velkaro::FrameType::kI32:
      return "i32";
    case velkaro::FrameType::kU8:
      return "u8";
    case velkaro::FrameType::kText:
      return "text";
  }
  return "";
}

// 64-bit file positions on every system (a long is 32 bits on Windows).
bool SeekFile(std::FILE* file, std::uint64_t offset, int whence = SEEK_SET) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<__int64>(offset), whence) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), whence) == 0;
#endif
}
std::int64_t TellFile(std::FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return ftello(file);
#endif
}

std::string ErrnoText(int code) {
  return code != 0 ? std::strerror(code) : "unknown error";
}

struct RecordHead {
  std::uint8_t kind = 0;
  std::uint64_t time = 0;
  std::uint32_t length = 0;
};

void EncodeRecordHead(const RecordHead& head, std::uint8_t* out) {
  out[0] = head.kind;
  EncodeU64(out + 1, head.time);
  EncodeU32(out + 9, head.length);
}
RecordHead DecodeRecordHead(const std::uint8_t* in) {
  return {in[0], DecodeU64(in + 1), DecodeU32(in + 9)};
}

bool IsFrameKind(std::uint8_t kind) {
  return kind == static_cast<std::uint8_t>(RecordKind::kKeyFrame) ||
         kind == static_cast<std::uint8_t>(RecordKind::kDeltaFrame);
}

}  // namespace

std::string LayoutIdentityText() {
  std::string text;
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    text += f.name;
    text += ' ' + std::to_string(f.offset) + ' ' + TypeName(f.type) + ' ' +
            std::to_string(f.count) + ' ' + std::to_string(velkaro::ElementWidth(f)) + '\n';
  }
  return text;
}

std::uint32_t LayoutIdentity() {
  static const std::uint32_t identity = [] {
    const std::string text = LayoutIdentityText();
    return Crc(0, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }();
  return identity;
}

void EncodeRecordingHeader(const RecordingHeader& header, std::uint8_t* out) {
  std::memcpy(out, kRecordingMagic, 8);
  EncodeU32(out + 8, header.version);
  EncodeU32(out + 12, header.frame_size);
  EncodeU32(out + 16, header.layout_identity);
  EncodeU32(out + 20, header.key_interval_ms);
  EncodeI64(out + 24, header.start_unix_us);
  EncodeU32(out + 32, header.flags);
  EncodeU32(out + 36, Crc(0, out, 36));
}

bool DecodeRecordingHeader(const std::uint8_t* bytes, std::size_t length, RecordingHeader* header,
                           std::string* error) {
  auto fail = [&](std::string text) {
    if (error != nullptr) *error = std::move(text);
    return false;
  };
  if (length < 8 || std::memcmp(bytes, kRecordingMagic, 8) != 0) {
    if (length >= 4 && std::memcmp(bytes, kRecordingMagic, 4) == 0) {
      return fail(
          "not a readable flight recording: its first bytes were changed, as a copy that "
          "translates line ends does (copy recordings as binary files)");
    }
    return fail("not a flight recording (it does not begin with the VREC mark)");
  }
  if (length < kRecordingHeaderSize) return fail("a flight recording cut short inside its header");
  RecordingHeader h;
  h.version = DecodeU32(bytes + 8);
  h.frame_size = DecodeU32(bytes + 12);
  h.layout_identity = DecodeU32(bytes + 16);
  h.key_interval_ms = DecodeU32(bytes + 20);
  h.start_unix_us = DecodeI64(bytes + 24);
  h.flags = DecodeU32(bytes + 32);
  if (h.version != kRecordingVersion) {
    return fail("a flight recording of format version " + std::to_string(h.version) +
                ": this build reads version " + std::to_string(kRecordingVersion));
  }
  if (DecodeU32(bytes + 36) != Crc(0, bytes, 36)) {
    return fail("the flight recording's header is damaged (its CRC does not match)");
  }
  if (h.frame_size != kFrameSize) {
    return fail("a flight recording of " + std::to_string(h.frame_size) +
                "-byte frames: this build reads " + std::to_string(kFrameSize) + "-byte frames");
  }
  if (h.flags != 0) {
    return fail("a flight recording with flags " + Hex32(h.flags) +
                " that this build does not know");
  }
  if (h.layout_identity != LayoutIdentity()) {
    return fail("recorded with another frame layout (identity " + Hex32(h.layout_identity) +
                ", this build reads " + Hex32(LayoutIdentity()) + ")");
  }
  *header = h;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Writer

struct RecordingWriter::State {
  std::string path;
  std::FILE* file = nullptr;
  Options options;
  z_stream z{};
  bool z_ready = false;
  std::array<std::uint8_t, kFrameSize> previous{};
  std::array<std::uint8_t, kFrameSize> work{};
  std::vector<std::uint8_t> out;  // kDeflateCapacity, and the index batch at Finish
  bool header_written = false;
  bool failed = false;
  bool finished = false;
  std::int64_t start_unix_us = 0;
  std::uint64_t last_time = 0;
  std::uint64_t segment_start = 0;
  std::uint64_t last_flush_time = 0;
  std::uint64_t frames = 0;
  std::uint64_t keys = 0;
  std::uint64_t bytes = 0;
  std::string error;

  ~State() {
    if (z_ready) deflateEnd(&z);
    if (file != nullptr) std::fclose(file);
  }

  bool Fail(std::string text) {
    if (!failed) error = std::move(text);
    failed = true;
    return false;
  }
  bool WriteFailed() { return Fail("cannot write " + path + ": " + ErrnoText(errno)); }

  bool Write(const std::uint8_t* data, std::size_t length) {
    if (length != 0 && std::fwrite(data, 1, length, file) != length) return WriteFailed();
    bytes += length;
    return true;
  }

  bool WriteHeader(std::int64_t start) {
    RecordingHeader header;
    header.layout_identity = LayoutIdentity();
    header.key_interval_ms = options.key_interval_ms;
    header.start_unix_us = start;
    std::uint8_t bytes_out[kRecordingHeaderSize];
    EncodeRecordingHeader(header, bytes_out);
    start_unix_us = start;
    header_written = true;
    return Write(bytes_out, sizeof bytes_out);
  }

  // Reads `length` bytes at `offset` of the file being written (Finish only).
  bool ReadBack(std::uint64_t offset, std::uint8_t* data, std::size_t length) {
    return SeekFile(file, offset) && std::fread(data, 1, length, file) == length;
  }

  bool WriteIndex();
};

RecordingWriter::RecordingWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
RecordingWriter::~RecordingWriter() = default;

std::unique_ptr<RecordingWriter> RecordingWriter::Create(const std::string& path,
                                                         std::string* error,
                                                         const Options& options) {
  auto state = std::make_unique<State>();
  state->path = path;
  state->options = options;
  if (state->options.key_interval_ms == 0) state->options.key_interval_ms = 1;
  state->out.resize(kDeflateCapacity);
  if (deflateInit2(&state->z, std::clamp(options.compression_level, 0, 9), Z_DEFLATED, -15, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    if (error != nullptr) *error = "cannot start zlib's deflate (out of memory)";
    return nullptr;
  }
  state->z_ready = true;
  // Read back at Finish, for the index.
  errno = 0;
  state->file = velkaro::platform::OpenFile(path.c_str(), "w+b");
  if (state->file == nullptr) {
    if (error != nullptr) *error = "cannot create " + path + ": " + ErrnoText(errno);
    return nullptr;
  }
  return std::unique_ptr<RecordingWriter>(new RecordingWriter(std::move(state)));
}

bool RecordingWriter::Append(std::span<const std::uint8_t, kFrameSize> frame,
                             std::int64_t receipt_unix_us) {
  State& s = *state_;
  if (s.failed) return false;
  if (s.finished) return s.Fail("the recording " + s.path + " is already finished");
  if (!s.header_written && !s.WriteHeader(receipt_unix_us)) return false;

  std::uint64_t time = receipt_unix_us > s.start_unix_us
                           ? static_cast<std::uint64_t>(receipt_unix_us - s.start_unix_us)
                           : 0;
  time = std::max(time, s.last_time);
  const bool key =
      s.frames == 0 || time - s.segment_start >= std::uint64_t{s.options.key_interval_ms} * 1000;
  const std::uint8_t* input = frame.data();
  if (key) {
    deflateReset(&s.z);
    s.segment_start = time;
  } else {
    for (std::size_t i = 0; i < kFrameSize; ++i) s.work[i] = frame[i] ^ s.previous[i];
    input = s.work.data();
  }
  s.z.next_in = const_cast<Bytef*>(input);
  s.z.avail_in = static_cast<uInt>(kFrameSize);
  s.z.next_out = s.out.data();
  s.z.avail_out = static_cast<uInt>(kDeflateCapacity);
  const int result = deflate(&s.z, Z_SYNC_FLUSH);
  const std::size_t produced = kDeflateCapacity - s.z.avail_out;
  // A full output buffer could hold back data: never so for one frame, but not taken on trust.
  if ((result != Z_OK && result != Z_BUF_ERROR) || s.z.avail_in != 0 || s.z.avail_out == 0 ||
      produced < 4 || std::memcmp(s.out.data() + produced - 4, kSyncFlushTail, 4) != 0) {
    return s.Fail("zlib's deflate failed on a frame (" + std::to_string(result) + ")");
  }
  const RecordHead head{
      static_cast<std::uint8_t>(key ? RecordKind::kKeyFrame : RecordKind::kDeltaFrame), time,
      static_cast<std::uint32_t>(produced - 4)};
  std::uint8_t head_bytes[kRecordHeadSize];
  EncodeRecordHead(head, head_bytes);
  std::uint8_t crc_bytes[kRecordCrcSize];
  EncodeU32(crc_bytes, Crc(Crc(0, head_bytes, sizeof head_bytes), s.out.data(), head.length));
  if (!s.Write(head_bytes, sizeof head_bytes) || !s.Write(s.out.data(), head.length) ||
      !s.Write(crc_bytes, sizeof crc_bytes)) {
    return false;
  }
  std::memcpy(s.previous.data(), frame.data(), kFrameSize);
  ++s.frames;
  if (key) ++s.keys;
  s.last_time = time;
  if (time - s.last_flush_time >= kFlushIntervalUs || s.frames == 1) {
    s.last_flush_time = time;
    return Flush();
  }
  return true;
}

bool RecordingWriter::Flush() {
  State& s = *state_;
  if (s.failed) return false;
  if (s.file == nullptr) return true;
  if (std::fflush(s.file) != 0) return s.WriteFailed();
  return true;
}

// The index: the frame records' heads read back from the file (so the writer never keeps one
// entry per key frame), their key frames appended in batches after the index record's head.
bool RecordingWriter::State::WriteIndex() {
  const std::uint64_t index_offset = bytes;
  const std::uint64_t index_length = kIndexCountsSize + keys * kIndexEntrySize;
  std::uint8_t head_bytes[kRecordHeadSize];
  EncodeRecordHead(
      {static_cast<std::uint8_t>(RecordKind::kIndex), 0, static_cast<std::uint32_t>(index_length)},
      head_bytes);
  std::uint8_t counts[kIndexCountsSize];
  EncodeU32(counts, static_cast<std::uint32_t>(frames));
  EncodeU32(counts + 4, static_cast<std::uint32_t>(keys));
  std::uint32_t crc = Crc(Crc(0, head_bytes, sizeof head_bytes), counts, sizeof counts);
  if (std::fflush(file) != 0 || !SeekFile(file, 0, SEEK_END)) return WriteFailed();
  if (!Write(head_bytes, sizeof head_bytes) || !Write(counts, sizeof counts)) return false;

  std::uint8_t* batch = out.data();  // kIndexBatch entries fit in it
  std::size_t batched = 0;
  auto append_batch = [&] {
    if (batched == 0) return true;
    crc = Crc(crc, batch, batched * kIndexEntrySize);
    if (!SeekFile(file, 0, SEEK_END)) return WriteFailed();
    const bool written = Write(batch, batched * kIndexEntrySize);
    batched = 0;
    return written;
  };
  std::uint64_t offset = kRecordingHeaderSize;
  std::uint64_t number = 0;
  std::uint64_t keys_found = 0;
  while (offset < index_offset) {
    std::uint8_t record[kRecordHeadSize];
    if (!ReadBack(offset, record, sizeof record)) {
      return Fail("cannot read back " + path + " to write its index: " + ErrnoText(errno));
    }
    const RecordHead head = DecodeRecordHead(record);
    if (head.kind == static_cast<std::uint8_t>(RecordKind::kKeyFrame)) {
      std::uint8_t* entry = batch + batched * kIndexEntrySize;
      EncodeU64(entry, head.time);
      EncodeU64(entry + 8, offset);
      EncodeU32(entry + 16, static_cast<std::uint32_t>(number));
      ++keys_found;
      if (++batched == kIndexBatch && !append_batch()) return false;
    }
    ++number;
    offset += kRecordHeadSize + head.length + kRecordCrcSize;
  }
  if (!append_batch()) return false;
  if (keys_found != keys || number != frames || offset != index_offset) {
    return Fail("the records of " + path + " read back are not the ones written");
  }
  std::uint8_t tail[kRecordCrcSize + kRecordingTrailerSize];
  EncodeU32(tail, crc);
  EncodeU64(tail + kRecordCrcSize, index_offset);
  std::memcpy(tail + kRecordCrcSize + 8, kRecordingIndexMagic, 8);
  return Write(tail, sizeof tail);
}

bool RecordingWriter::Finish() {
  State& s = *state_;
  if (s.failed) return false;
  if (s.finished) return true;
  if (!s.header_written) {
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    if (!s.WriteHeader(now.count())) return false;
  }
  if (!s.WriteIndex()) return false;
  s.finished = true;
  std::FILE* file = std::exchange(s.file, nullptr);
  if (std::fclose(file) != 0) return s.WriteFailed();
  return true;
}

std::uint64_t RecordingWriter::frame_count() const {
  return state_->frames;
}
std::uint64_t RecordingWriter::key_frame_count() const {
  return state_->keys;
}
std::uint64_t RecordingWriter::bytes_written() const {
  return state_->bytes;
}
std::uint64_t RecordingWriter::duration_us() const {
  return state_->last_time;
}
const std::string& RecordingWriter::error() const {
  return state_->error;
}

// ---------------------------------------------------------------------------------------------
// Reader

struct RecordingReader::State {
  std::string path;
  std::FILE* file = nullptr;
  std::uint64_t file_position = 0;  // where the FILE stands, to seek only when it must
  bool io_failed = false;
  RecordingHeader header;
  std::uint64_t size = 0;

  bool has_index = false;
  std::uint64_t index_offset = 0;  // where the frames end when there is an index
  std::uint64_t index_frames = 0;
  std::uint64_t index_keys = 0;

  z_stream z{};
  bool z_ready = false;
  std::vector<std::uint8_t> payload;                    // kMaxRecordPayload + the sync-flush tail
  std::array<std::uint8_t, kFrameSize + 1> inflated{};  // + 1: a record inflating to more shows

  // The reading position.
  std::uint64_t position = kRecordingHeaderSize;
  std::uint64_t next_number = 0;
  std::uint64_t last_time = 0;
  bool need_key = true;
  Frame current;
  bool ended = false;
  bool cut_short = false;
  std::string problem;
  bool has_pending = false;
  RecordedFrame pending;

  bool stats_known = false;
  std::uint64_t stat_frames = 0;
  std::uint64_t stat_duration = 0;

  ~State() {
    if (z_ready) inflateEnd(&z);
    if (file != nullptr) std::fclose(file);
  }

  std::uint64_t FramesEnd() const { return has_index ? index_offset : size; }

  bool ReadAt(std::uint64_t offset, std::uint8_t* data, std::size_t length) {
    if (offset > size || length > size - offset) return false;
    if (offset != file_position) {
      if (!SeekFile(file, offset)) {
        io_failed = true;
        return false;
      }
      file_position = offset;
    }
    const std::size_t got = std::fread(data, 1, length, file);
    file_position += got;
    if (got != length) {
      io_failed = true;
      return false;
    }
    return true;
  }

  // The CRC-32 of `length` bytes at `offset`, read through the payload buffer.
  bool CrcOfRange(std::uint64_t offset, std::uint64_t length, std::uint32_t* crc) {
    while (length > 0) {
      const std::size_t piece =
          static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaxRecordPayload));
      if (!ReadAt(offset, payload.data(), piece)) return false;
      *crc = Crc(*crc, payload.data(), piece);
      offset += piece;
      length -= piece;
    }
    return true;
  }

  bool CheckIndex();

  // What is wrong with the frame record at `offset` whose head is `head`, or empty when it is
  // a whole record with a good CRC that may follow the records before it (its payload is then
  // in `payload`).
  std::string ReadFrameRecord(std::uint64_t offset, const RecordHead& head, bool verify_crc);
  // Reads the record head at `offset`; what ends the frames there when it cannot, or when the
  // record is not a frame record (`normal_end` true for the index).
  std::string ReadHead(std::uint64_t offset, RecordHead* head, bool* normal_end);

  bool End(std::string text) {
    ended = true;
    cut_short = !text.empty();
    problem = std::move(text);
    return false;
  }

  bool NextFrame(RecordedFrame* out);
  bool ScanStats(std::uint64_t from, std::uint64_t number, std::uint64_t time, bool verify_crc);
};

bool RecordingReader::State::CheckIndex() {
  constexpr std::uint64_t kSmallest = kRecordingHeaderSize + kRecordHeadSize + kIndexCountsSize +
                                      kRecordCrcSize + kRecordingTrailerSize;
  if (size < kSmallest) return false;
  std::uint8_t trailer[kRecordingTrailerSize];
  if (!ReadAt(size - kRecordingTrailerSize, trailer, sizeof trailer) ||
      std::memcmp(trailer + 8, kRecordingIndexMagic, 8) != 0) {
    return false;
  }
  const std::uint64_t offset = DecodeU64(trailer);
  if (offset < kRecordingHeaderSize || offset > size - kSmallest + kRecordingHeaderSize) {
    return false;
  }
  std::uint8_t head_bytes[kRecordHeadSize + kIndexCountsSize];
  if (!ReadAt(offset, head_bytes, sizeof head_bytes)) return false;
  const RecordHead head = DecodeRecordHead(head_bytes);
  if (head.kind != static_cast<std::uint8_t>(RecordKind::kIndex) ||
      offset + kRecordHeadSize + head.length + kRecordCrcSize + kRecordingTrailerSize != size ||
      head.length < kIndexCountsSize || (head.length - kIndexCountsSize) % kIndexEntrySize != 0) {
    return false;
  }
  const std::uint64_t frames = DecodeU32(head_bytes + kRecordHeadSize);
  const std::uint64_t keys = DecodeU32(head_bytes + kRecordHeadSize + 4);
  if (keys != (head.length - kIndexCountsSize) / kIndexEntrySize || keys > frames ||
      (frames > 0 && keys == 0)) {
    return false;
  }
  std::uint32_t crc = 0;
  std::uint8_t stored[kRecordCrcSize];
  if (!CrcOfRange(offset, kRecordHeadSize + head.length, &crc) ||
      !ReadAt(offset + kRecordHeadSize + head.length, stored, sizeof stored) ||
      DecodeU32(stored) != crc) {
    return false;
  }
  has_index = true;
  index_offset = offset;
  index_frames = frames;
  index_keys = keys;
  return true;
}

std::string RecordingReader::State::ReadHead(std::uint64_t offset, RecordHead* head,
                                             bool* normal_end) {
  *normal_end = false;
  const std::uint64_t end = FramesEnd();
  if (offset >= end) {
    if (has_index) {
      *normal_end = true;
      return {};
    }
    return "the recording ends without its index, at byte " + std::to_string(offset) +
           " (it was not finished: the frames before are whole)";
  }
  std::uint8_t bytes[kRecordHeadSize];
  if (end - offset < kRecordHeadSize || !ReadAt(offset, bytes, sizeof bytes)) {
    return "the recording was cut short inside the record at byte " + std::to_string(offset);
  }
  *head = DecodeRecordHead(bytes);
  if (head->kind == static_cast<std::uint8_t>(RecordKind::kIndex) && !has_index) {
    // An index whose trailer is missing or damaged: the frames are whole if the index is.
    std::uint32_t crc = 0;
    std::uint8_t stored[kRecordCrcSize];
    const std::uint64_t whole = std::uint64_t{kRecordHeadSize} + head->length;
    if (end - offset >= whole + kRecordCrcSize && CrcOfRange(offset, whole, &crc) &&
        ReadAt(offset + whole, stored, sizeof stored) && DecodeU32(stored) == crc) {
      *normal_end = true;
      return {};
    }
    return "the recording was cut short inside its index at byte " + std::to_string(offset);
  }
  if (!IsFrameKind(head->kind)) {
    return "the record at byte " + std::to_string(offset) + " is damaged (unknown kind " +
           std::to_string(head->kind) + ")";
  }
  return {};
}

std::string RecordingReader::State::ReadFrameRecord(std::uint64_t offset, const RecordHead& head,
                                                    bool verify_crc) {
  const std::uint64_t end = FramesEnd();
  const std::string where = " at byte " + std::to_string(offset);
  if (head.length > kMaxRecordPayload) {
    // A whole record cannot say this; a partly written one can only if its bytes are damaged.
    return "the record" + where + " is damaged (it announces " + std::to_string(head.length) +
           " bytes)";
  }
  if (end - offset < kRecordHeadSize + std::uint64_t{head.length} + kRecordCrcSize) {
    return "the recording was cut short inside the record" + where;
  }
  if (verify_crc) {
    std::uint8_t head_bytes[kRecordHeadSize];
    std::uint8_t stored[kRecordCrcSize];
    EncodeRecordHead(head, head_bytes);
    if (!ReadAt(offset + kRecordHeadSize, payload.data(), head.length) ||
        !ReadAt(offset + kRecordHeadSize + head.length, stored, sizeof stored)) {
      return "the recording could not be read" + where;
    }
    if (DecodeU32(stored) !=
        Crc(Crc(0, head_bytes, sizeof head_bytes), payload.data(), head.length)) {
      return "the record" + where + " is damaged (its CRC does not match)";
    }
  }
  if (head.time < last_time) {
    return "the record" + where + " is damaged (its time goes back)";
  }
  if (need_key && head.kind != static_cast<std::uint8_t>(RecordKind::kKeyFrame)) {
    return "the record" + where + " is damaged (a delta frame with no key frame before it)";
  }
  return {};
}

bool RecordingReader::State::NextFrame(RecordedFrame* out) {
  if (has_pending) {
    *out = pending;
    has_pending = false;
    return true;
  }
  if (ended) return false;
  RecordHead head;
  bool normal_end = false;
  std::string trouble = ReadHead(position, &head, &normal_end);
  if (normal_end) return End({});
  if (trouble.empty()) trouble = ReadFrameRecord(position, head, true);
  if (!trouble.empty()) return End(std::move(trouble));

  const bool key = head.kind == static_cast<std::uint8_t>(RecordKind::kKeyFrame);
  if (key) inflateReset(&z);
  std::memcpy(payload.data() + head.length, kSyncFlushTail, sizeof kSyncFlushTail);
  z.next_in = payload.data();
  z.avail_in = static_cast<uInt>(head.length + sizeof kSyncFlushTail);
  z.next_out = inflated.data();
  z.avail_out = static_cast<uInt>(inflated.size());
  const int result = inflate(&z, Z_SYNC_FLUSH);
  const std::size_t produced = inflated.size() - z.avail_out;
  if ((result != Z_OK && result != Z_STREAM_END) || z.avail_in != 0 || produced != kFrameSize) {
    return End("the record at byte " + std::to_string(position) +
               " is damaged (it does not inflate to one frame)");
  }
  if (key) {
    std::memcpy(current.bytes.data(), inflated.data(), kFrameSize);
  } else {
    for (std::size_t i = 0; i < kFrameSize; ++i) current.bytes[i] ^= inflated[i];
  }
  need_key = false;
  last_time = head.time;
  position += kRecordHeadSize + head.length + kRecordCrcSize;
  out->frame = current;
  out->time_us = head.time;
  out->number = next_number++;
  return true;
}

// Counts the frame records from `from` (frame `number`, the last time `time`) to where the
// frames end, checking them as NextFrame does but without inflating.
bool RecordingReader::State::ScanStats(std::uint64_t from, std::uint64_t number, std::uint64_t time,
                                       bool verify_crc) {
  const std::uint64_t saved_last_time = last_time;
  const bool saved_need_key = need_key;
  last_time = time;
  need_key = number == 0;
  std::uint64_t offset = from;
  for (;;) {
    RecordHead head;
    bool normal_end = false;
    std::string trouble = ReadHead(offset, &head, &normal_end);
    if (normal_end || !trouble.empty()) break;
    if (!ReadFrameRecord(offset, head, verify_crc).empty()) break;
    need_key = false;
    last_time = head.time;
    ++number;
    offset += kRecordHeadSize + head.length + kRecordCrcSize;
  }
  stat_frames = number;
  stat_duration = number == 0 ? 0 : last_time;
  stats_known = true;
  last_time = saved_last_time;
  need_key = saved_need_key;
  return true;
}

RecordingReader::RecordingReader(std::unique_ptr<State> state) : state_(std::move(state)) {}
RecordingReader::~RecordingReader() = default;

std::unique_ptr<RecordingReader> RecordingReader::Open(const std::string& path,
                                                       std::string* error) {
  auto state = std::make_unique<State>();
  State& s = *state;
  s.path = path;
  errno = 0;
  s.file = velkaro::platform::OpenFile(path.c_str(), "rb");
  if (s.file == nullptr) {
    if (error != nullptr) *error = "cannot open " + path + ": " + ErrnoText(errno);
    return nullptr;
  }
  std::uint8_t header[kRecordingHeaderSize];
  const std::size_t got = std::fread(header, 1, sizeof header, s.file);
  s.file_position = got;
  std::string problem;
  if (!DecodeRecordingHeader(header, got, &s.header, &problem)) {
    if (error != nullptr) *error = path + ": " + problem;
    return nullptr;
  }
  const std::int64_t size = SeekFile(s.file, 0, SEEK_END) ? TellFile(s.file) : -1;
  if (size < 0) {
    if (error != nullptr) *error = "cannot read " + path + ": " + ErrnoText(errno);
    return nullptr;
  }
  s.size = static_cast<std::uint64_t>(size);
  s.file_position = s.size;
  s.payload.resize(kMaxRecordPayload + sizeof kSyncFlushTail);
  if (inflateInit2(&s.z, -15) != Z_OK) {
    if (error != nullptr) *error = "cannot start zlib's inflate (out of memory)";
    return nullptr;
  }
  s.z_ready = true;
  s.CheckIndex();
  s.io_failed = false;
  return std::unique_ptr<RecordingReader>(new RecordingReader(std::move(state)));
}

const RecordingHeader& RecordingReader::header() const {
  return state_->header;
}
bool RecordingReader::has_index() const {
  return state_->has_index;
}
bool RecordingReader::cut_short() const {
  return state_->cut_short;
}
const std::string& RecordingReader::end_problem() const {
  return state_->problem;
}
std::uint64_t RecordingReader::file_size() const {
  return state_->size;
}

bool RecordingReader::Next(RecordedFrame* out) {
  return state_->NextFrame(out);
}

bool RecordingReader::Seek(std::uint64_t time_us) {
  State& s = *state_;
  s.has_pending = false;
  s.ended = false;
  s.cut_short = false;
  s.problem.clear();
  s.io_failed = false;

  // Where to start decoding: the last key frame at or before `time_us`.
  std::uint64_t start = kRecordingHeaderSize;
  std::uint64_t number = 0;
  bool found = false;
  if (s.has_index && s.index_keys > 0) {
    const std::uint64_t entries = s.index_offset + kRecordHeadSize + kIndexCountsSize;
    auto entry_at = [&](std::uint64_t i, std::uint8_t* entry) {
      return s.ReadAt(entries + i * kIndexEntrySize, entry, kIndexEntrySize);
    };
    std::uint8_t entry[kIndexEntrySize];
    // The first entry whose time is after `time_us`; the one before it is the key frame.
    std::uint64_t low = 0;
    std::uint64_t high = s.index_keys;
    bool readable = true;
    while (low < high && readable) {
      const std::uint64_t mid = low + (high - low) / 2;
      readable = entry_at(mid, entry);
      if (!readable) break;
      if (DecodeU64(entry) <= time_us) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    if (readable && entry_at(low == 0 ? 0 : low - 1, entry)) {
      // The entry is believed only if the record it names is that key frame.
      const std::uint64_t key_time = DecodeU64(entry);
      const std::uint64_t offset = DecodeU64(entry + 8);
      const std::uint64_t key_number = DecodeU32(entry + 16);
      std::uint8_t head_bytes[kRecordHeadSize];
      if (offset >= kRecordingHeaderSize && offset < s.index_offset &&
          key_number < s.index_frames && s.ReadAt(offset, head_bytes, sizeof head_bytes)) {
        const RecordHead head = DecodeRecordHead(head_bytes);
        if (head.kind == static_cast<std::uint8_t>(RecordKind::kKeyFrame) &&
            head.time == key_time) {
          start = offset;
          number = key_number;
          found = true;
        }
      }
    }
  }
  if (!found) {
    // Through the records from the first, with their CRCs, remembering the last key frame
    // at or before `time_us`.
    s.last_time = 0;
    s.need_key = true;
    std::uint64_t offset = kRecordingHeaderSize;
    std::uint64_t n = 0;
    for (;;) {
      RecordHead head;
      bool normal_end = false;
      if (!s.ReadHead(offset, &head, &normal_end).empty() || normal_end) break;
      if (head.time > time_us) break;
      if (!s.ReadFrameRecord(offset, head, true).empty()) break;
      if (head.kind == static_cast<std::uint8_t>(RecordKind::kKeyFrame)) {
        start = offset;
        number = n;
      }
      s.need_key = false;
      s.last_time = head.time;
      ++n;
      offset += kRecordHeadSize + head.length + kRecordCrcSize;
    }
  }
  s.position = start;
  s.next_number = number;
  s.last_time = 0;
  s.need_key = true;
  RecordedFrame frame;
  while (s.NextFrame(&frame)) {
    if (frame.time_us >= time_us) {
      s.pending = frame;
      s.has_pending = true;
      break;
    }
  }
  return !s.io_failed;
}

std::uint64_t RecordingReader::FrameCount() {
  State& s = *state_;
  if (s.has_index) return s.index_frames;
  if (!s.stats_known) s.ScanStats(kRecordingHeaderSize, 0, 0, true);
  return s.stat_frames;
}

std::uint64_t RecordingReader::DurationUs() {
  State& s = *state_;
  if (!s.stats_known) {
    bool done = false;
    if (s.has_index && s.index_keys > 0) {
      // From the last key frame on: its segment ends where the index begins.
      std::uint8_t entry[kIndexEntrySize];
      const std::uint64_t at = s.index_offset + kRecordHeadSize + kIndexCountsSize +
                               (s.index_keys - 1) * kIndexEntrySize;
      if (s.ReadAt(at, entry, sizeof entry)) {
        const std::uint64_t offset = DecodeU64(entry + 8);
        const std::uint64_t number = DecodeU32(entry + 16);
        if (offset >= kRecordingHeaderSize && offset < s.index_offset) {
          s.ScanStats(offset, number, 0, false);
          done = s.stat_frames == s.index_frames;
        }
      }
    } else if (s.has_index) {
      s.stat_frames = 0;
      s.stat_duration = 0;
      s.stats_known = done = true;
    }
    if (!done) s.ScanStats(kRecordingHeaderSize, 0, 0, true);
  }
  return s.stat_duration;
}

}  // namespace zelm
