// The layout document that clients in other languages work from: the committed copy in the
// Python package is what libzelm writes; a client that decodes frames and builds autopilot blocks
// only from the document gets what libzelm gets; the settings table builds what
// McpRequestBuilder builds, under the rules zelm mcp applies. Offsets are written as literal
// numbers on purpose.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>

#include "common/coding.h"
#include "support/test_files.h"
#include "zelm_layout.h"

namespace velkaro::testing {
namespace {

using Json = nlohmann::json;

const Json& Document() {
  static const Json doc = Json::parse(zelm::LayoutJson());
  return doc;
}

const Json& Entry(const Json& fields, const std::string& name) {
  for (const Json& f : fields) {
    if (f["name"] == name) return f;
  }
  ADD_FAILURE() << "no field " << name;
  static const Json none = Json::object();
  return none;
}

TEST(LayoutDocumentTest, TheCommittedCopyIsWhatLibzelmWrites) {
  const std::string path = VELKARO_SOURCE_DIR "/clients/python/zelm/layout.json";
  const std::string committed = ReadWholeFile(path);
  const std::string written = zelm::LayoutJson();
  if (committed == written) return;
  // Point at the first line that differs.
  std::istringstream a(committed), b(written);
  std::string line_a, line_b;
  int line = 1;
  while (std::getline(a, line_a) && std::getline(b, line_b) && line_a == line_b) ++line;
  FAIL() << path << " is not what libzelm writes (first difference at line " << line
         << ": committed \"" << line_a << "\", written \"" << line_b << "\").\n"
         << "Regenerate it and commit it: build/linux/zelm-layout clients/python/zelm/layout.json";
}

TEST(LayoutDocumentTest, SaysWhereFieldsAreAndWhatTheyHold) {
  const Json& doc = Document();
  EXPECT_EQ(doc["documentVersion"], 1);
  EXPECT_EQ(doc["byteOrder"], "little");
  const Json& p = doc["protocol"];
  EXPECT_EQ(p["defaultPort"], 5193);
  EXPECT_EQ(p["tagSize"], 10);
  EXPECT_EQ(p["maxUploadBytes"], 16777216);
  EXPECT_EQ(p["maxStatusBytes"], 65536);
  EXPECT_EQ(p["commands"]["frame"]["tag"], "rSIMDATA30");
  EXPECT_EQ(p["commands"]["status"]["tag"], "rSTATUS010");
  EXPECT_EQ(doc["frame"]["size"], 2280);
  EXPECT_EQ(doc["frame"]["magic"], "ZELM30");
  EXPECT_EQ(doc["mcp"]["size"], 144);
  // name, offset, type, count, element size, unit, role
  struct Row {
    const char* name;
    int offset;
    const char* type;
    int count;
    int element;
    const char* unit;
    const char* role;
  };
  const Row frame_rows[] = {
      {"magic", 0, "text", 1, 8, "", "fixed"},
      {"altitude", 112, "f64", 1, 8, "ft", "value"},
      {"trueHeading", 136, "f64", 1, 8, "deg", "value"},
      {"fuelLevel", 648, "f64", 12, 8, "%", "value"},
      {"starterEngaged", 1480, "i32", 4, 4, "", "value"},
      {"navIdent", 1776, "text", 2, 6, "", "value"},
      {"apMaster", 1940, "u8", 1, 1, "", "value"},
      {"startup1984", 1984, "i32", 2, 4, "", "startup"},
      {"startup2272", 2272, "u8", 1, 1, "", "startup"},
  };
  for (const Row& r : frame_rows) {
    const Json& f = Entry(doc["frame"]["fields"], r.name);
    EXPECT_EQ(f["offset"], r.offset) << r.name;
    EXPECT_EQ(f["type"], r.type) << r.name;
    EXPECT_EQ(f["count"], r.count) << r.name;
    EXPECT_EQ(f["elementSize"], r.element) << r.name;
    EXPECT_EQ(f["size"], r.count * r.element) << r.name;
    EXPECT_EQ(f["unit"], r.unit) << r.name;
    EXPECT_EQ(f["role"], r.role) << r.name;
  }
  EXPECT_EQ(Entry(doc["frame"]["fields"], "fixed40")["constant"], 1013.2);
  EXPECT_EQ(Entry(doc["frame"]["fields"], "fixed2088")["start"], -1);
  EXPECT_EQ(Entry(doc["frame"]["fields"], "startup2272")["start"], 0x55);

  const Row mcp_rows[] = {
      {"magic", 0, "text", 1, 8, "", "magic"},
      {"altitudeRequest", 8, "f64", 1, 8, "ft", "request"},
      {"headingBug", 104, "f64", 1, 8, "deg", "reference"},
      {"changeFlags", 120, "u32", 1, 4, "", "flags"},
      {"headingHold", 133, "u8", 1, 1, "", "state"},
      {"unused139", 139, "bytes", 5, 1, "", "unused"},
  };
  for (const Row& r : mcp_rows) {
    const Json& f = Entry(doc["mcp"]["fields"], r.name);
    EXPECT_EQ(f["offset"], r.offset) << r.name;
    EXPECT_EQ(f["type"], r.type) << r.name;
    EXPECT_EQ(f["count"], r.count) << r.name;
    EXPECT_EQ(f["elementSize"], r.element) << r.name;
    EXPECT_EQ(f["unit"], r.unit) << r.name;
    EXPECT_EQ(f["role"], r.role) << r.name;
  }
  EXPECT_EQ(Entry(doc["mcp"]["fields"], "headingBug")["bit"], 19);
  EXPECT_EQ(Entry(doc["mcp"]["fields"], "headingRequest")["bit"], nullptr);
}

// A reader that knows only the document: one element of a frame field, as a number or a text.
Json DocumentElement(const Json& f, const std::uint8_t* frame, std::size_t i) {
  const std::uint8_t* at =
      frame + f["offset"].get<std::size_t>() + f["elementSize"].get<std::size_t>() * i;
  const std::string type = f["type"];
  if (type == "f64") return DecodeF64(at);
  if (type == "i32") return DecodeI32(at);
  if (type == "u8") return *at;
  std::string text;
  for (std::size_t k = 0; k < f["elementSize"].get<std::size_t>() && at[k] != 0; ++k) {
    text += static_cast<char>(at[k]);
  }
  return text;
}

TEST(LayoutDocumentTest, AFrameReadThroughTheDocumentIsTheFrameLibzelmReads) {
  zelm::Frame frame;
  std::mt19937 random(7);
  // Bytes of every value, with NULs among them so texts end at varied places.
  for (std::uint8_t& b : frame.bytes)
    b = random() % 4 == 0 ? 0 : static_cast<std::uint8_t>(random());
  std::size_t covered = 0;
  for (const Json& f : Document()["frame"]["fields"]) {
    const std::string name = f["name"];
    covered += f["size"].get<std::size_t>();
    for (std::size_t i = 0; i < f["count"].get<std::size_t>(); ++i) {
      const Json element = DocumentElement(f, frame.bytes.data(), i);
      if (f["type"] == "text") {
        EXPECT_EQ(element, *frame.Text(name, i)) << name << "[" << i << "]";
      } else if (std::isnan(*frame.Number(name, i))) {
        EXPECT_TRUE(std::isnan(element.get<double>())) << name << "[" << i << "]";
      } else {
        EXPECT_EQ(element.get<double>(), *frame.Number(name, i)) << name << "[" << i << "]";
      }
    }
  }
  std::size_t in_table = 0;
  for (const FrameField& f : kFrameFields) in_table += FieldBytes(f);
  EXPECT_EQ(covered, in_table);
}

// A writer that knows only the document: a block with every field at its start value.
McpBlock DocumentStartBlock() {
  McpBlock block{};
  for (const Json& f : Document()["mcp"]["fields"]) {
    std::uint8_t* at = block.data() + f["offset"].get<std::size_t>();
    const std::string type = f["type"];
    for (std::size_t i = 0; i < f["count"].get<std::size_t>(); ++i) {
      std::uint8_t* element = at + f["elementSize"].get<std::size_t>() * i;
      if (type == "text") {
        const std::string text = f["start"];
        std::copy(text.begin(), text.end(), element);
      } else if (type == "f64") {
        EncodeF64(element, f["start"].get<double>());
      } else if (type == "u32") {
        EncodeU32(element, f["start"].get<std::uint32_t>());
      } else {
        *element = f["start"].get<std::uint8_t>();
      }
    }
  }
  return block;
}

// The document's check value, computed from its parameters alone.
std::uint32_t DocumentCheckValue(const McpBlock& block) {
  const Json& c = Document()["mcp"]["checkValue"];
  const std::uint64_t modulus = c["modulus"];
  std::uint64_t h = c["initial"];
  for (std::uint8_t b : block) {
    const std::uint64_t v = b >= 128 ? 256 - b : b;
    h = ((h * c["multiplier"].get<std::uint64_t>()) % modulus) ^
        ((v * c["byteMultiplier"].get<std::uint64_t>()) % modulus);
  }
  return static_cast<std::uint32_t>(h);
}

TEST(LayoutDocumentTest, ABlockBuiltThroughTheDocumentIsTheBlockLibzelmBuilds) {
  const McpBlock start = DocumentStartBlock();
  EXPECT_EQ(start, zelm::McpRequestBuilder().block());

  const Json& doc_fields = Document()["mcp"]["fields"];
  const Json& settings = Document()["mcp"]["settings"];
  EXPECT_EQ(settings.size(), zelm::McpSettings().size());
  for (const Json& s : settings) {
    const std::string name = s["shortName"];
    const zelm::McpSetting* setting = zelm::FindMcpSetting(name);
    ASSERT_NE(setting, nullptr) << name;
    // Every spelling the document gives names the same setting; the keys of the first
    // documents repeat the first alias and the short name.
    EXPECT_EQ(s["alias"], name);
    EXPECT_EQ(s["name"], s["aliases"][0]);
    for (const Json& alias : s["aliases"]) {
      EXPECT_EQ(zelm::FindMcpSetting(alias.get<std::string>()), setting) << alias;
    }
    // A value every number setting takes: within its range, not its "none".
    const double value =
        s["kind"] == "state" ? 1.0 : s["min"].get<double>() / 2 + s["max"].get<double>() / 4 + 0.25;

    zelm::McpRequestBuilder builder;
    std::string error;
    ASSERT_TRUE(zelm::ApplyMcpSetting(builder, *setting, value, &error)) << error;

    McpBlock expected = start;
    const Json& f = Entry(doc_fields, s["field"]);
    std::uint8_t* at = expected.data() + f["offset"].get<std::size_t>();
    if (f["type"] == "u8") {
      *at = static_cast<std::uint8_t>(value);
    } else {
      EncodeF64(at, value);
    }
    if (!f["bit"].is_null()) {
      EncodeU32(expected.data() + 120, 1u << f["bit"].get<int>());
    }
    EXPECT_EQ(builder.block(), expected) << name;
    EXPECT_EQ(builder.CheckValue(), DocumentCheckValue(expected)) << name;
  }
  for (const Json& example : Document()["mcp"]["checkValue"]["examples"]) {
    McpBlock block{};
    const std::string hex = example["bytes"];
    ASSERT_EQ(hex.size(), 2 * block.size());
    for (std::size_t i = 0; i < block.size(); ++i) {
      block[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    EXPECT_EQ(DocumentCheckValue(block), example["value"]) << example["block"];
  }
  std::mt19937 random(11);
  for (int n = 0; n < 100; ++n) {
    McpBlock block;
    for (std::uint8_t& b : block) b = static_cast<std::uint8_t>(random());
    EXPECT_EQ(DocumentCheckValue(block), McpCheckValue(block.data()));
  }
}

TEST(McpSettingsTest, EachValueIsTakenOrRefusedByItsRule) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* setting;
    double value;
    bool taken;
  };
  const Case cases[] = {
      {"altitude", 12000.0, true},
      {"altitude", 0.0, true},
      {"altitude", -1.0, false},
      {"verticalSpeed", -500.0, true},
      {"verticalSpeed", -1.0, false},
      {"speed", 0.0, true},
      {"speed", 0.78, true},
      {"speed", -0.5, false},
      {"heading", 0.0, true},
      {"heading", -1.0, false},
      {"heading", kNaN, false},
      {"headingBug", 359.5, true},
      {"headingBug", -90.0, false},
      {"hdg_bug", 360.5, false},
      {"n1Reference", 120.0, true},
      {"n1Reference", 120.5, false},
      {"alt", -2000.0, true},
      {"alt", 60000.5, false},
      {"ap", 1.0, true},
      {"altitudeReference", kInf, false},
      {"apMaster", 1.0, true},
      {"apMaster", 0.0, true},
      {"apMaster", 2.0, false},
      {"apMaster", 0.5, false},
  };
  for (const Case& c : cases) {
    const zelm::McpSetting* setting = zelm::FindMcpSetting(c.setting);
    ASSERT_NE(setting, nullptr) << c.setting;
    zelm::McpRequestBuilder builder;
    std::string error;
    EXPECT_EQ(zelm::ApplyMcpSetting(builder, *setting, c.value, &error), c.taken)
        << c.setting << " " << c.value;
    EXPECT_EQ(error.empty(), c.taken) << c.setting << " " << c.value << ": " << error;
    if (!c.taken) {
      EXPECT_EQ(builder.block(), zelm::McpRequestBuilder().block()) << c.setting << " " << c.value;
    }
  }
  EXPECT_EQ(zelm::FindMcpSetting("autopilot"), nullptr);
}

TEST(McpSettingsTest, EachSettingIsFoundByItsShortNameAndItsOlderSpellings) {
  struct Case {
    const char* given;
    const char* short_name;  // nullptr: no setting
  };
  const Case cases[] = {
      {"ap", "ap"},
      {"apMaster", "ap"},
      {"ap_master", "ap"},
      {"hdg", "hdg"},
      {"heading", "hdg"},
      {"hdg_bug", "hdg_bug"},
      {"headingBug", "hdg_bug"},
      {"heading_bug", "hdg_bug"},
      {"crs", "crs"},
      {"nav1Course", "crs"},
      {"nav1_course", "crs"},
      {"at", "at"},
      {"autothrottle", "at"},
      {"speed_hold", "speed_hold"},
      {"speedHold", "speed_hold"},
      {"vertical_speed_reference", "vs_ref"},
      // Near misses are not settings: zelm's option spelling, other cases, the field's name
      // where it is no setting's spelling, spaces.
      {"hdg-bug", nullptr},
      {"HDG", nullptr},
      {"Heading", nullptr},
      {"autothrottleArm", nullptr},
      {"headingRequest", nullptr},
      {"ap ", nullptr},
      {"", nullptr},
  };
  for (const Case& c : cases) {
    const zelm::McpSetting* setting = zelm::FindMcpSetting(c.given);
    if (c.short_name == nullptr) {
      EXPECT_EQ(setting, nullptr) << c.given;
    } else {
      ASSERT_NE(setting, nullptr) << c.given;
      EXPECT_STREQ(setting->name, c.short_name) << c.given;
    }
  }
  EXPECT_EQ(zelm::McpSettingNames(),
            "alt, vs, spd, hdg, spd_ref, n1_ref, mach_ref, alt_ref, vs_ref, hdg_bug, crs, ap, at, "
            "fd, speed_hold, n1_hold, mach_hold, alt_hold, hdg_hold, loc_hold, app_hold");
}

// McpRequestBuilder's named setters, kept for C++ callers, and the table's rows write the same
// bytes: a setter and a row that went apart would build different blocks for one setting. (A new
// setting needs no setter.)
TEST(McpSettingsTest, TheNamedSettersWriteWhatTheRowsWrite) {
  using B = zelm::McpRequestBuilder;
  struct Case {
    const char* setting;
    std::function<B&(B&)> set;
    double value;
  };
  const Case cases[] = {
      {"alt", [](B& b) -> B& { return b.Altitude(12000); }, 12000},
      {"vs", [](B& b) -> B& { return b.VerticalSpeed(-700); }, -700},
      {"spd", [](B& b) -> B& { return b.Speed(0.78); }, 0.78},
      {"hdg", [](B& b) -> B& { return b.Heading(270); }, 270},
      {"spd_ref", [](B& b) -> B& { return b.SpeedReference(250); }, 250},
      {"n1_ref", [](B& b) -> B& { return b.N1Reference(91.5); }, 91.5},
      {"mach_ref", [](B& b) -> B& { return b.MachReference(0.8); }, 0.8},
      {"alt_ref", [](B& b) -> B& { return b.AltitudeReference(35000); }, 35000},
      {"vs_ref", [](B& b) -> B& { return b.VerticalSpeedReference(-1800); }, -1800},
      {"hdg_bug", [](B& b) -> B& { return b.HeadingBug(90); }, 90},
      {"crs", [](B& b) -> B& { return b.Nav1Course(123); }, 123},
      {"ap", [](B& b) -> B& { return b.ApMaster(true); }, 1},
      {"at", [](B& b) -> B& { return b.Autothrottle(true); }, 1},
      {"fd", [](B& b) -> B& { return b.FlightDirector(false); }, 0},
      {"speed_hold", [](B& b) -> B& { return b.SpeedHold(true); }, 1},
      {"n1_hold", [](B& b) -> B& { return b.N1Hold(true); }, 1},
      {"mach_hold", [](B& b) -> B& { return b.MachHold(true); }, 1},
      {"alt_hold", [](B& b) -> B& { return b.AltitudeHold(true); }, 1},
      {"hdg_hold", [](B& b) -> B& { return b.HeadingHold(true); }, 1},
      {"loc_hold", [](B& b) -> B& { return b.LocHold(true); }, 1},
      {"app_hold", [](B& b) -> B& { return b.ApproachHold(true); }, 1},
  };
  for (const Case& c : cases) {
    const zelm::McpSetting* setting = zelm::FindMcpSetting(c.setting);
    ASSERT_NE(setting, nullptr) << c.setting;
    B by_row;
    std::string error;
    ASSERT_TRUE(zelm::ApplyMcpSetting(by_row, *setting, c.value, &error)) << error;
    B by_setter;
    c.set(by_setter);
    EXPECT_EQ(by_row.block(), by_setter.block()) << c.setting;
    EXPECT_NE(by_row.block(), B().block()) << c.setting << " changed nothing";
  }
}

// docs/protocol.md lists the settings for people: the table under its header must be the one the
// settings table gives, row for row; on a difference the test prints the table as it must read.
TEST(McpSettingsTest, TheProtocolDocumentListsTheSettings) {
  const std::string header = "| Setting | Also accepted | Field | Role | Values | Meaning |";
  std::string expected = header + "\n|---|---|---|---|---|---|\n";
  for (const zelm::McpSetting& s : zelm::McpSettings()) {
    std::string aliases;
    for (const char* alias : s.aliases) {
      if (alias == nullptr) continue;
      if (!aliases.empty()) aliases += ", ";
      aliases += std::string("`") + alias + "`";
    }
    std::string values = "on or off";
    if (s.role != zelm::McpSettingRole::kState) {
      char range[64];
      std::snprintf(range, sizeof range, "%g to %g%s%s", s.min, s.max, *s.unit ? " " : "",
                    s.unit);
      values = range;
      if (s.rule == zelm::McpSettingRule::kNumberExceptNone) values += ", not -1";
    }
    const char* role = s.role == zelm::McpSettingRole::kState       ? "state"
                       : s.role == zelm::McpSettingRole::kReference ? "reference"
                                                                     : "request";
    expected += std::string("| `") + s.name + "` | " + aliases + " | `" + s.field + "` | " + role +
                " | " + values + " | " + s.meaning + " |\n";
  }
  const std::string doc = ReadWholeFile(VELKARO_SOURCE_DIR "/docs/protocol.md");
  const std::size_t begin = doc.find(header);
  ASSERT_NE(begin, std::string::npos) << "docs/protocol.md has no table headed " << header;
  std::size_t end = doc.find("\n\n", begin);
  if (end == std::string::npos) end = doc.size();
  const std::string documented = doc.substr(begin, end + 1 - begin);
  EXPECT_EQ(documented, expected) << "The table of docs/protocol.md must read:\n" << expected;
}

}  // namespace
}  // namespace velkaro::testing
