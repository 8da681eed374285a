// A frame's values as JSON text (how the gateway writes every frame) and as JSON trees (how
// `zelm frame --json` and the MQTT side's change detection take them) must be the same values,
// written the same way: whole numbers as integers, the rest so they read back exactly, what is
// not finite as null, texts in UTF-8 with their quotes, backslashes and control characters
// escaped.
#include "frame_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "common/coding.h"
#include "common/frame_layout.h"
#include "serve/messages.h"

namespace velkaro::testing {
namespace {

constexpr double kNumbers[] = {0.0,
                               -0.0,
                               1.0,
                               -1.5,
                               0.1,
                               47.4950123,
                               9007199254740992.0,
                               9007199254740994.0,
                               -9007199254740992.0,
                               1e300,
                               -1e-300,
                               5e-324,
                               2147483647.0,
                               1e21,
                               1e-7,
                               std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity()};
const std::string kTexts[] = {"",
                              "IVLK",
                              "say \"hi\" \\ there",
                              std::string("\x01\x1f\t\n\x7f", 5),
                              "\xe9t\xe9 \xff\xa0",
                              "Velkaro Trainer 737-800 with a long title"};

// Every element of every field from the tables above, shifted by `variant`; fields that are
// neither doubles nor texts take bytes of the generator.
zelm::Frame TableFrame(std::size_t variant, std::mt19937& random) {
  zelm::Frame frame;
  for (auto& b : frame.bytes) b = static_cast<std::uint8_t>(random());
  std::size_t n = variant;
  for (const FrameField& f : kFrameFields) {
    for (std::size_t i = 0; i < f.count; ++i, ++n) {
      if (f.type == FrameType::kF64) {
        EncodeF64(frame.bytes.data() + f.offset + 8 * i, kNumbers[n % std::size(kNumbers)]);
      } else if (f.type == FrameType::kText) {
        std::uint8_t* text = frame.bytes.data() + f.offset + f.text_length * i;
        const std::string& t = kTexts[n % std::size(kTexts)];
        std::memset(text, 0, f.text_length);
        std::memcpy(text, t.data(), std::min<std::size_t>(t.size(), f.text_length));
      }
    }
  }
  return frame;
}

void ExpectTextMatchesTree(const zelm::Frame& frame) {
  for (const FrameField& f : kFrameFields) {
    std::string text;
    zelm::AppendFieldJson(&text, frame, f);
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << f.name << ": not JSON: " << text;
    // Dumped again, so that 1 and 1.0, or a double that reads back differently, do not pass.
    EXPECT_EQ(parsed.dump(), zelm::FieldJson(frame, f).dump()) << f.name << ": " << text;
  }
}

TEST(FrameJson, TextAndTreeAgreeOnEveryValue) {
  std::mt19937 random(12345);
  for (std::size_t variant = 0; variant < std::size(kNumbers) + std::size(kTexts); ++variant) {
    ExpectTextMatchesTree(TableFrame(variant, random));
  }
  // Frames of random bytes: doubles of every kind, texts of any byte.
  for (int round = 0; round < 200; ++round) {
    zelm::Frame frame;
    for (auto& b : frame.bytes) b = static_cast<std::uint8_t>(random());
    ExpectTextMatchesTree(frame);
  }
}

TEST(FrameJson, TheGatewaysWriterFollowsEveryChange) {
  std::mt19937 random(777);
  zelm::serve::FrameFieldsWriter writer;
  zelm::Frame frame = TableFrame(0, random);
  auto expect_current = [&](int step) {
    const nlohmann::json written = nlohmann::json::parse(writer.Write(frame), nullptr, false);
    ASSERT_FALSE(written.is_discarded()) << "step " << step;
    EXPECT_EQ(written.dump(), zelm::serve::FrameFields(frame).dump()) << "step " << step;
  };
  expect_current(0);
  expect_current(1);  // (nothing changed)
  // A few bytes anywhere change between frames, so that the first and last byte of every field
  // change in turn; now and then the whole frame changes.
  for (int step = 2; step < 3000; ++step) {
    if (step % 500 == 0) {
      frame = TableFrame(static_cast<std::size_t>(step), random);
    } else {
      const int changes = 1 + static_cast<int>(random() % 3);
      for (int i = 0; i < changes; ++i)
        frame.bytes[random() % frame.bytes.size()] ^= 1 + random() % 255;
    }
    expect_current(step);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace velkaro::testing
