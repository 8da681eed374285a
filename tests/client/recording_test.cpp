// Flight recordings (client/lib/recording.h): what the writer writes the reader gives back byte
// for byte, with its times, by iteration and by seeking, with and without the index; a file cut
// short anywhere in its last record or damaged in the middle reads up to its last whole record
// and says so; a header of another format, version, frame size, flag set or layout is refused
// with a message that names the reason.
#include "recording.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "common/frame_layout.h"
#include "recording_export.h"
#include "serve/flight_recorder.h"
#include "support/test_files.h"

namespace velkaro::testing {
namespace {

using zelm::RecordedFrame;
using zelm::RecordingReader;
using zelm::RecordingWriter;

constexpr std::int64_t kStart = 1'765'000'000'000'000;  // µs since 1970

struct Sample {
  std::array<std::uint8_t, kFrameSize> bytes;
  std::int64_t receipt_us;  // as given to the writer
  std::uint64_t time_us;    // as the reader should give it back
};

// A short flight: a turning, climbing aircraft at about 30 frames a second, with a frame that
// repeats its predecessor, a text that changes and a system clock that steps back once.
std::vector<Sample> Flight(int count) {
  std::vector<Sample> samples;
  std::array<std::uint8_t, kFrameSize> frame{};
  InitFrame(frame.data());
  std::int64_t receipt = kStart;
  std::uint64_t last_time = 0;
  for (int i = 0; i < count; ++i) {
    if (i != 7) {  // frame 7 repeats frame 6
      const double t = i / 30.0;
      Put(frame.data(), FrameF64("latitude"), 47.45 + 0.001 * t);
      Put(frame.data(), FrameF64("longitude"), 8.56 + 0.002 * std::sin(t));
      Put(frame.data(), FrameF64("altitude"), 3000.0 + 25.0 * t);
      Put(frame.data(), FrameF64("trueHeading"), std::fmod(90.0 + 3.0 * t, 360.0));
      Put(frame.data(), FrameF64("conversionTime"), std::floor(1765000000.0 + t));
    }
    receipt += i == 20 ? -50'000 : 33'333;  // the clock steps back 50 ms before frame 20
    const std::uint64_t time = static_cast<std::uint64_t>(receipt - (kStart + 33'333));
    last_time = std::max(last_time, time);
    samples.push_back({frame, receipt, last_time});
  }
  return samples;
}

// Writes `samples`; finished unless `finish` is false (the writer is then dropped, as a crash
// leaves the file).
void Write(const std::string& path, const std::vector<Sample>& samples, bool finish,
           std::uint32_t key_interval_ms = 200) {
  std::string error;
  RecordingWriter::Options options;
  options.key_interval_ms = key_interval_ms;
  auto writer = RecordingWriter::Create(path, &error, options);
  ASSERT_TRUE(writer) << error;
  for (const Sample& s : samples)
    ASSERT_TRUE(writer->Append(s.bytes, s.receipt_us)) << writer->error();
  if (finish) {
    ASSERT_TRUE(writer->Finish()) << writer->error();
  }
  EXPECT_EQ(writer->frame_count(), samples.size());
}

std::unique_ptr<RecordingReader> OpenOrFail(const std::string& path) {
  std::string error;
  auto reader = RecordingReader::Open(path, &error);
  EXPECT_TRUE(reader) << error;
  return reader;
}

// Reads every frame and checks it against the first frames of `samples`; returns the count.
std::size_t ReadAndCompare(RecordingReader& reader, const std::vector<Sample>& samples) {
  RecordedFrame frame;
  std::size_t n = 0;
  while (reader.Next(&frame)) {
    if (n >= samples.size()) {
      ADD_FAILURE() << "more frames than written";
      break;
    }
    EXPECT_EQ(frame.number, n);
    EXPECT_EQ(frame.time_us, samples[n].time_us) << "frame " << n;
    EXPECT_EQ(std::memcmp(frame.frame.bytes.data(), samples[n].bytes.data(), kFrameSize), 0)
        << "frame " << n << " differs";
    ++n;
  }
  return n;
}

// Bytes of the records: where the last frame record begins, found by writing one frame fewer.
std::uint64_t FileSizeOf(const std::string& path) {
  return ReadWholeFile(path).size();
}

TEST(RecordingTest, RoundTripWithIndexAndSeek) {
  ScratchFolder folder;
  const std::string path = folder.path() + "flight.vrec";
  const std::vector<Sample> samples = Flight(60);  // 2 s, key frames every 200 ms
  Write(path, samples, true);

  auto reader = OpenOrFail(path);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->has_index());
  EXPECT_EQ(reader->header().start_unix_us, kStart + 33'333);
  EXPECT_EQ(reader->header().key_interval_ms, 200u);
  EXPECT_EQ(ReadAndCompare(*reader, samples), samples.size());
  EXPECT_FALSE(reader->cut_short()) << reader->end_problem();
  EXPECT_EQ(reader->FrameCount(), samples.size());
  EXPECT_EQ(reader->DurationUs(), samples.back().time_us);

  // The same file without its trailer has no index: seeking then reads the records.
  const std::string bare_path = folder.path() + "bare.vrec";
  const std::string whole = ReadWholeFile(path);
  WriteWholeFile(bare_path, whole.substr(0, whole.size() - 1));
  auto bare = OpenOrFail(bare_path);
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->has_index());
  EXPECT_EQ(bare->FrameCount(), samples.size());
  EXPECT_EQ(bare->DurationUs(), samples.back().time_us);

  // Seek targets: the start, a frame's exact time, between frames, on both sides of a key
  // frame, the last frame, past the end; then iteration goes on from there.
  const std::uint64_t targets[] = {0,
                                   samples[1].time_us,
                                   samples[9].time_us + 1,
                                   samples[30].time_us,
                                   samples[30].time_us - 1,
                                   samples[45].time_us + 10,
                                   samples.back().time_us,
                                   samples.back().time_us + 1,
                                   0};
  for (RecordingReader* r : {reader.get(), bare.get()}) {
    for (const std::uint64_t target : targets) {
      SCOPED_TRACE("seek to " + std::to_string(target) + (r == bare.get() ? " (no index)" : ""));
      ASSERT_TRUE(r->Seek(target));
      std::size_t expected = 0;
      while (expected < samples.size() && samples[expected].time_us < target) ++expected;
      RecordedFrame frame;
      for (std::size_t n = expected; n < samples.size() && n < expected + 12; ++n) {
        ASSERT_TRUE(r->Next(&frame)) << "frame " << n;
        EXPECT_EQ(frame.number, n);
        EXPECT_EQ(frame.time_us, samples[n].time_us);
        EXPECT_EQ(std::memcmp(frame.frame.bytes.data(), samples[n].bytes.data(), kFrameSize), 0);
      }
      if (expected == samples.size()) {
        EXPECT_FALSE(r->Next(&frame));
      }
    }
  }
}

TEST(RecordingTest, EmptyRecordingFinishes) {
  ScratchFolder folder;
  const std::string path = folder.path() + "empty.vrec";
  Write(path, {}, true);
  auto reader = OpenOrFail(path);
  ASSERT_TRUE(reader);
  RecordedFrame frame;
  EXPECT_FALSE(reader->Next(&frame));
  EXPECT_FALSE(reader->cut_short()) << reader->end_problem();
  EXPECT_EQ(reader->FrameCount(), 0u);
  EXPECT_TRUE(reader->Seek(1000));
}

// A writer that never finishes (a crash, Ctrl-C before the index) leaves records only; cut at
// every byte of the last record, the file still gives every frame before it, and says it was
// cut short. Cut inside the index of a finished file, every frame is still there.
TEST(RecordingTest, CutShortAnywhereInTheLastRecordReadsTheWholeOnes) {
  ScratchFolder folder;
  const std::vector<Sample> samples = Flight(40);
  const std::string shorter_path = folder.path() + "shorter.vrec";
  const std::string path = folder.path() + "unfinished.vrec";
  const std::string finished_path = folder.path() + "finished.vrec";
  Write(shorter_path, {samples.begin(), samples.end() - 1}, false);
  Write(path, samples, false);
  Write(finished_path, samples, true);
  const std::string unfinished = ReadWholeFile(path);
  const std::string finished = ReadWholeFile(finished_path);
  const std::size_t last_record = FileSizeOf(shorter_path);
  ASSERT_LT(last_record, unfinished.size());
  ASSERT_EQ(finished.compare(0, unfinished.size(), unfinished), 0);

  const std::string cut_path = folder.path() + "cut.vrec";
  for (std::size_t cut = last_record; cut <= finished.size(); ++cut) {
    SCOPED_TRACE("cut at byte " + std::to_string(cut) + " of " + std::to_string(finished.size()));
    WriteWholeFile(cut_path, finished.substr(0, cut));
    auto reader = OpenOrFail(cut_path);
    ASSERT_TRUE(reader);
    const std::size_t whole = cut < unfinished.size() ? samples.size() - 1 : samples.size();
    EXPECT_EQ(ReadAndCompare(*reader, samples), whole);
    // The index record whole is a normal end, with or without its trailer.
    const bool index_whole = cut + zelm::kRecordingTrailerSize >= finished.size();
    EXPECT_EQ(reader->cut_short(), !index_whole) << reader->end_problem();
    if (!index_whole) {
      EXPECT_NE(reader->end_problem().find("byte"), std::string::npos);
    }
    EXPECT_EQ(reader->FrameCount(), whole);
    EXPECT_EQ(reader->DurationUs(), samples[whole - 1].time_us);
  }
}

// A damaged byte in the middle ends the recording at its record: the frames before it read,
// and the reader says where.
TEST(RecordingTest, DamagedRecordEndsTheFrames) {
  ScratchFolder folder;
  const std::vector<Sample> samples = Flight(30);
  const std::string path = folder.path() + "flight.vrec";
  const std::string ten_path = folder.path() + "ten.vrec";
  Write(path, samples, true);
  Write(ten_path, {samples.begin(), samples.begin() + 10}, false);
  const std::size_t record_10 = FileSizeOf(ten_path);
  std::string bytes = ReadWholeFile(path);

  struct Case {
    const char* what;
    std::size_t offset;  // from record 10's start
    std::uint8_t value;  // XORed in
    const char* message;
  };
  const Case cases[] = {
      {"payload byte", 15, 0x40, "CRC does not match"},
      {"kind", 0, 0x07, "unknown kind"},
      {"time", 8, 0x80, "CRC does not match"},
      {"length", 12, 0x10, "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = bytes;
    damaged[record_10 + c.offset] = static_cast<char>(damaged[record_10 + c.offset] ^ c.value);
    const std::string damaged_path = folder.path() + "damaged.vrec";
    WriteWholeFile(damaged_path, damaged);
    auto reader = OpenOrFail(damaged_path);
    ASSERT_TRUE(reader);
    EXPECT_EQ(ReadAndCompare(*reader, samples), 10u);
    EXPECT_TRUE(reader->cut_short());
    EXPECT_NE(reader->end_problem().find(c.message), std::string::npos) << reader->end_problem();
    EXPECT_NE(reader->end_problem().find("byte " + std::to_string(record_10)), std::string::npos)
        << reader->end_problem();
    // Seeking before the damage reads up to it again.
    ASSERT_TRUE(reader->Seek(samples[4].time_us));
    RecordedFrame frame;
    std::size_t n = 0;
    while (reader->Next(&frame)) n = frame.number + 1;
    EXPECT_EQ(n, 10u);
    EXPECT_TRUE(reader->cut_short());
  }
}

TEST(RecordingTest, UnreadableHeadersAreRefusedWithTheReason) {
  ScratchFolder folder;
  const std::string path = folder.path() + "good.vrec";
  Write(path, Flight(3), true);
  const std::string good = ReadWholeFile(path);

  struct Case {
    const char* what;
    std::string bytes;
    const char* message;
  };
  auto with_header = [&](auto change) {
    zelm::RecordingHeader header;
    header.layout_identity = zelm::LayoutIdentity();
    change(header);
    std::uint8_t bytes[zelm::kRecordingHeaderSize];
    zelm::EncodeRecordingHeader(header, bytes);
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes) +
           good.substr(zelm::kRecordingHeaderSize);
  };
  std::string crc_flipped = good;
  crc_flipped[20] ^= 0x01;  // the key frame interval, under the header's CRC
  std::string text_mode = good;
  text_mode.replace(4, 2, "\n");  // CR LF to LF, as a text-mode copy does
  const Case cases[] = {
      {"empty file", "", "not a flight recording"},
      {"another file", "PK\x03\x04 some archive, not a recording at all.............",
       "not a flight recording"},
      {"line ends changed", text_mode, "line ends"},
      {"header cut short", good.substr(0, 30), "cut short inside its header"},
      {"version", with_header([](auto& h) { h.version = 2; }), "format version 2"},
      {"header CRC", crc_flipped, "header is damaged"},
      {"frame size", with_header([](auto& h) { h.frame_size = 2048; }), "2048-byte frames"},
      {"flags", with_header([](auto& h) { h.flags = 4; }), "flags 0x00000004"},
      {"layout", with_header([](auto& h) { h.layout_identity = 0x12345678; }),
       "recorded with another frame layout (identity 0x12345678, this build reads 0x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bad_path = folder.path() + "bad.vrec";
    WriteWholeFile(bad_path, c.bytes);
    std::string error;
    EXPECT_FALSE(RecordingReader::Open(bad_path, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(error.find(bad_path), 0u) << error;
  }
  std::string error;
  EXPECT_FALSE(RecordingReader::Open(folder.path() + "missing.vrec", &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

// The layout identity is computed from the layout document as a reader in another language
// computes it (docs/recording.md): this build's document, as the Python package ships it.
TEST(RecordingTest, LayoutIdentityFollowsTheLayoutDocument) {
  const nlohmann::json layout = nlohmann::json::parse(
      ReadWholeFile(std::string(VELKARO_SOURCE_DIR) + "/clients/python/zelm/layout.json"));
  std::string text;
  for (const auto& field : layout.at("frame").at("fields")) {
    text += field.at("name").get<std::string>() + " " +
            std::to_string(field.at("offset").get<int>()) + " " +
            field.at("type").get<std::string>() + " " +
            std::to_string(field.at("count").get<int>()) + " " +
            std::to_string(field.at("elementSize").get<int>()) + "\n";
  }
  EXPECT_EQ(text.rfind("magic 0 text 1 8\n", 0), 0u);
  EXPECT_EQ(text, zelm::LayoutIdentityText());
  const auto crc =
      crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
  EXPECT_EQ(zelm::LayoutIdentity(), static_cast<std::uint32_t>(crc));
}

// CSV rows: times with microseconds, numbers that read back exactly, texts quoted with their
// quotes doubled and their 8-bit characters in UTF-8; GPX times in UTC with milliseconds.
TEST(RecordingExportTest, CsvAndGpxValuesAreWrittenExactly) {
  using namespace zelm::record_export;
  RecordedFrame frame;
  InitFrame(frame.frame.bytes.data());
  frame.time_us = 1'234'567;
  const FrameField* latitude = FindFrameField("latitude");
  const FrameField* airspeed = FindFrameField("indicatedAirspeed");
  const FrameField* text = nullptr;
  for (const FrameField& f : kFrameFields) {
    if (f.type == FrameType::kText && f.role == FrameRole::kValue && f.text_length >= 6) text = &f;
  }
  ASSERT_TRUE(latitude && airspeed && text);
  EncodeF64(frame.frame.bytes.data() + latitude->offset, 0.1 + 0.2);
  EncodeF64(frame.frame.bytes.data() + airspeed->offset + 8, -1.5);
  std::memcpy(frame.frame.bytes.data() + text->offset, "a\"b,\xE9", 5);
  const CsvExport csv({latitude, airspeed, text});
  std::string out;
  csv.AppendHeader(&out);
  csv.AppendRow(&out, frame);
  std::string expected_header =
      "time (s),latitude (deg),indicatedAirspeed[1] (kt),"
      "indicatedAirspeed[2] (kt)," +
      std::string(text->name);
  for (std::size_t i = 1; text->count > 1 && i <= text->count; ++i) {
    expected_header +=
        (i == 1 ? "[1]" : "," + std::string(text->name) + "[" + std::to_string(i) + "]");
  }
  EXPECT_EQ(out.substr(0, out.find("\r\n")), expected_header);
  const std::string row = out.substr(out.find("\r\n") + 2);
  EXPECT_EQ(row.rfind("1.234567,0.30000000000000004,0,-1.5,\"a\"\"b,\xC3\xA9\"", 0), 0u) << row;

  const struct {
    std::int64_t unix_us;
    const char* text;
  } times[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {951'782'400'999'999, "2000-02-29T00:00:00.999Z"},
      {1'765'455'623'125'000, "2025-12-11T12:20:23.125Z"},
      {-1'000, "1969-12-31T23:59:59.999Z"},
  };
  for (const auto& t : times) EXPECT_EQ(UtcTimeText(t.unix_us), t.text);
  EXPECT_EQ(XmlText("<a & 'b'>\x01"), "&lt;a &amp; &apos;b&apos;&gt;");
}

// The gateway's recorder: a file that cannot be made is said and ends that connection's
// recording only; the next connection records again.
TEST(FlightRecorderTest, AFailureEndsOneRecordingOnly) {
  ScratchFolder folder;
  const std::string dir = folder.path() + "flights";
  std::string error;
  ASSERT_TRUE(zelm::serve::FlightRecorder::CreateFolder(dir, &error)) << error;
  std::mutex mutex;
  std::vector<std::string> news;
  auto said = [&](const std::string& what) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& n : news) {
          if (n.find(what) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  };
  const std::vector<Sample> samples = Flight(10);
  zelm::Frame frame;
  {
    zelm::serve::FlightRecorder recorder(dir, [&](const std::string& n) {
      std::lock_guard<std::mutex> lock(mutex);
      news.push_back(n);
    });
    // The folder is gone and a file is in its place: nothing can be created there.
    std::filesystem::remove_all(dir);
    WriteWholeFile(dir, "in the way");
    recorder.OnConnected();
    frame.bytes = samples[0].bytes;
    recorder.OnFrame(frame);
    EXPECT_TRUE(said("cannot record this connection"));
    recorder.OnLost();
    std::filesystem::remove(dir);
    ASSERT_TRUE(zelm::serve::FlightRecorder::CreateFolder(dir, &error)) << error;
    recorder.OnConnected();
    for (const Sample& s : samples) {
      frame.bytes = s.bytes;
      recorder.OnFrame(frame);
    }
    EXPECT_TRUE(said("recording to " + dir));
  }  // finished as the gateway stops
  EXPECT_TRUE(said("recorded " + dir));
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    files.push_back(entry.path().string());
  }
  ASSERT_EQ(files.size(), 1u);
  auto reader = OpenOrFail(files[0]);
  ASSERT_TRUE(reader);
  EXPECT_TRUE(reader->has_index());
  EXPECT_EQ(reader->FrameCount(), samples.size());
}

}  // namespace
}  // namespace velkaro::testing
