// velkaro-sim's console, driven line by line against the add-on running in the stand-in: the
// replies, and what each line changes in the record the add-on receives and in its frames.
#include "host/commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/coding.h"
#include "simconnect/simconnect.h"
#include "simdata/record_layout.h"
#include "support/addon_harness.h"
#include "support/test_files.h"

namespace velkaro::testing {
namespace {

class ConsoleTest : public AddOnTest {
 protected:
  std::string Run(const std::string& line) { return standin::RunCommand(addon.sim(), line).reply; }
  std::vector<std::uint8_t> Record() {
    std::vector<std::uint8_t> record(kRecordSize);
    EXPECT_EQ(addon.sim().BuildRecord(0, record.data(), kRecordSize), kRecordSize);
    return record;
  }
  double DetentAngle() {
    auto client = ConnectToAddOn();
    zelm::Frame frame;
    if (client == nullptr || !client->FetchFrame(&frame)) return -1.0;
    return frame.Number("flapDetentAngle").value_or(-1.0);
  }
  // The title in the add-on's status reply.
  std::string AircraftTitle() {
    auto client = ConnectToAddOn();
    std::string status;
    if (client == nullptr || !client->FetchStatus(&status)) return "(no status)";
    return nlohmann::json::parse(status).value("aircraft_title", "(none)");
  }
};

// What a line leaves in the record: a FLOAT64, a 32-bit word or 8 bytes of text at an offset.
struct Effect {
  enum Kind { kNone, kF64, kU32, kText8 } kind = kNone;
  std::size_t offset = 0;
  double value = 0.0;
  const char* text = "";
};
Effect F64(std::size_t offset, double value) {
  return {Effect::kF64, offset, value};
}
Effect Text8(std::size_t offset, const char* text) {
  return {Effect::kText8, offset, 0.0, text};
}

TEST_F(ConsoleTest, SetAndUnsetTakeValuesInTheRegisteredUnitsAndSayWhatIsWrong) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* line;
    const char* reply;
    Effect effect;
  };
  const Row rows[] = {
      {"set PLANE ALTITUDE=12000", "velkaro-sim: PLANE ALTITUDE pinned to 12000 Feet\n",
       F64(272, 12000.0)},
      {"set PLANE ALTITUDE=abc", "velkaro-sim: not a number: abc\n", F64(272, 12000.0)},
      {"set PLANE ALTITUDE=1e999", "velkaro-sim: not a finite number: 1e999\n", F64(272, 12000.0)},
      // The values that are not finite, by their words only, to show what the add-on makes of
      // them; unpinned, the model goes on from where it was.
      {"set PLANE ALTITUDE=nan", "velkaro-sim: PLANE ALTITUDE pinned to nan Feet (not a number)\n",
       F64(272, kNaN)},
      {"set PLANE ALTITUDE=INF", "velkaro-sim: PLANE ALTITUDE pinned to inf Feet (infinity)\n",
       F64(272, kInf)},
      {"set PLANE ALTITUDE=-Inf",
       "velkaro-sim: PLANE ALTITUDE pinned to -inf Feet (minus infinity)\n", F64(272, -kInf)},
      {"set PLANE ALTITUDE=infinity", "velkaro-sim: not a finite number: infinity\n",
       F64(272, -kInf)},
      {"unset PLANE ALTITUDE",
       "velkaro-sim: PLANE ALTITUDE unpinned: the stand-in's model drives it again\n",
       F64(272, 12000.0)},
      {"set PLANE HEADING DEGREES TRUE=NaN Degrees",
       "velkaro-sim: PLANE HEADING DEGREES TRUE pinned to nan Radians (not a number; NaN "
       "Degrees)\n",
       F64(304, kNaN)},
      {"set PLANE ALTITUDE=",
       "velkaro-sim: PLANE ALTITUDE needs a value: set PLANE ALTITUDE=VALUE\n", F64(272, 12000.0)},
      {"set PLANE ALTITUDE 5",
       "velkaro-sim: set takes NAME=VALUE, e.g. set PLANE ALTITUDE=12000 "
       "(vars lists the names)\n"},
      {"set NO SUCH VARIABLE=1", "velkaro-sim: unknown variable NO SUCH VARIABLE, see vars\n"},
      {"set X=abc", "velkaro-sim: unknown variable X, see vars\n"},
      {"set PLANE HEADING DEGREES TRUE=1.5",
       "velkaro-sim: PLANE HEADING DEGREES TRUE pinned to 1.5 Radians\n", F64(304, 1.5)},
      {"set plane heading degrees true = 90 Degrees",
       "velkaro-sim: PLANE HEADING DEGREES TRUE pinned to 1.57079633 Radians (90 Degrees)\n",
       F64(304, 1.5707963267948966)},
      {"set PLANE HEADING DEGREES TRUE=90 Feet",
       "velkaro-sim: Feet is not a unit of PLANE HEADING DEGREES TRUE, which is in Radians\n",
       F64(304, 1.5707963267948966)},
      {"set COM ACTIVE FREQUENCY:1=118.3 MHz",
       "velkaro-sim: COM ACTIVE FREQUENCY:1 pinned to 6192 Frequency BCD16 (118.3 MHz)\n",
       {Effect::kU32, 1640, 0x1830}},
      // Text variables, within the 8 bytes of the INT64 the add-on registered for an ident.
      {"set NAV IDENT:1=VLK", "velkaro-sim: NAV IDENT:1 pinned to \"VLK\"\n", Text8(1584, "VLK")},
      {"set NAV IDENT:1=ABCDEFGH", "velkaro-sim: NAV IDENT:1 pinned to \"ABCDEFGH\"\n",
       Text8(1584, "ABCDEFGH")},
      {"set NAV IDENT:1=ABCDEFGHI",
       "velkaro-sim: NAV IDENT:1 holds at most 8 characters; \"ABCDEFGHI\" has 9\n",
       Text8(1584, "ABCDEFGH")},
      {"unset NAV IDENT:1",
       "velkaro-sim: NAV IDENT:1 unpinned: the stand-in's model drives it again\n",
       Text8(1584, "IVLK")},
      {"unset NAV IDENT:1", "velkaro-sim: NAV IDENT:1 is not pinned\n", Text8(1584, "IVLK")},
      // A derived variable: pinned, then the model's own again (12000 ft over 400 ft ground).
      {"set RADIO HEIGHT=5", "velkaro-sim: RADIO HEIGHT pinned to 5 Feet\n", F64(288, 5.0)},
      {"unset radio height",
       "velkaro-sim: RADIO HEIGHT unpinned: the stand-in's model drives it again\n",
       F64(288, 11600.0)},
      {"unset NO SUCH", "velkaro-sim: unknown variable NO SUCH, see vars\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(Run(row.line), row.reply);
    addon.Frames(1);
    const std::vector<std::uint8_t> record = Record();
    const std::uint8_t* at = record.data() + row.effect.offset;
    switch (row.effect.kind) {
      case Effect::kNone:
        break;
      case Effect::kF64:
        if (std::isnan(row.effect.value)) {
          EXPECT_TRUE(std::isnan(DecodeF64(at))) << DecodeF64(at);
        } else if (std::isinf(row.effect.value)) {
          EXPECT_EQ(DecodeF64(at), row.effect.value);
        } else {
          EXPECT_NEAR(DecodeF64(at), row.effect.value, 1e-9);
        }
        break;
      case Effect::kU32:
        EXPECT_EQ(DecodeU32(at), static_cast<std::uint32_t>(row.effect.value));
        break;
      case Effect::kText8: {
        char expected[8] = {};
        std::memcpy(expected, row.effect.text, std::strlen(row.effect.text));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(at), 8), std::string(expected, 8));
        break;
      }
    }
  }
}

TEST_F(ConsoleTest, APinnedHeadingInDegreesReachesTheFrameAsThatManyDegrees) {
  Run("set PLANE HEADING DEGREES TRUE=90 Degrees");
  addon.Frames(3);
  auto client = ConnectToAddOn();
  ASSERT_NE(client, nullptr);
  zelm::Frame frame;
  ASSERT_TRUE(client->FetchFrame(&frame)) << client->error();
  EXPECT_NEAR(*frame.Number("trueHeading"), 90.0, 1e-9);
}

std::vector<std::string> Columns(const std::string& line) {
  // Columns are parted by two blanks or more; names, units and types hold single ones.
  std::vector<std::string> columns;
  std::size_t at = 0;
  while (at < line.size()) {
    std::size_t gap = line.find("  ", at);
    if (gap == std::string::npos) gap = line.size();
    columns.push_back(line.substr(at, gap - at));
    at = line.find_first_not_of(' ', gap);
    if (at == std::string::npos) break;
  }
  return columns;
}

TEST_F(ConsoleTest, VarsListsWhatTheAddOnRegisteredWithUnitsAndTypeIn80Columns) {
  std::istringstream listing(Run("vars"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(listing, line);) {
    EXPECT_LE(line.size(), 80u) << line;
    lines.push_back(line);
  }
  ASSERT_GT(lines.size(), kSimVarCatalogue.size() + 1);
  EXPECT_EQ(Columns(lines[0]), (std::vector<std::string>{"NAME", "UNITS", "TYPE"}));
  for (std::size_t i = 0; i < kSimVarCatalogue.size(); ++i) {
    const SimVarDatum& datum = kSimVarCatalogue[i];
    const std::string name = datum.name;
    std::string type = datum.type == SIMCONNECT_DATATYPE_STRING256 ? "STRING256"
                       : datum.type == SIMCONNECT_DATATYPE_INT64   ? "INT64"
                       : datum.type == SIMCONNECT_DATATYPE_INT32   ? "INT32"
                                                                   : "FLOAT64";
    if (name == "Title") type += " text(255)";
    if (name.rfind("NAV IDENT:", 0) == 0) type += " text(8)";
    EXPECT_EQ(Columns(lines[i + 1]),
              (std::vector<std::string>{name, datum.units ? datum.units : "-", type}));
  }
  EXPECT_EQ(lines[kSimVarCatalogue.size() + 1].rfind("182 variables registered by the add-on.", 0),
            0u);

  // Nothing registered, nothing listed: the list is the add-on's registration, not a copy.
  addon.Stop();
  addon.Start(/*simconnect_opens=*/false);
  EXPECT_EQ(Run("vars"), "velkaro-sim: the add-on has registered no variables\n");
  EXPECT_EQ(Run("set PLANE ALTITUDE=1"),
            "velkaro-sim: unknown variable PLANE ALTITUDE, see vars\n");
}

TEST_F(ConsoleTest, AnAircraftFileIsCheckedBeforeItIsLoaded) {
  ScratchFolder folder;
  auto aircraft = [&](const std::string& folder_name, int detent2, const std::string& title) {
    folder.Write(folder_name + "/aircraft.cfg",
                 (title.empty() ? "" : "[fltsim.0]\ntitle=" + title + "\n") +
                     "[flaps.0]\ntype=1\nflaps-position.2=" + std::to_string(detent2) + ",200\n");
    return std::filesystem::absolute(folder.Write(folder_name + "/plane.air", "air")).string();
  };
  const std::string first = aircraft("first", 11, "First Plane");
  // Beside an aircraft.cfg of its own, but missing: loading it would give detent 22.
  const std::string missing = aircraft("other", 22, "Other Plane") + ".gone";
  const std::string bare =
      std::filesystem::absolute(folder.Write("bare/plane.air", "air")).string();
  const std::string a_folder = std::filesystem::absolute(folder.path() + "first").string();
  const std::string untitled = aircraft("untitled", 33, "");
  const std::string untitled_config =
      std::filesystem::absolute(folder.path() + "untitled/aircraft.cfg").string();
  const std::string second = aircraft("second", 44, "Second Plane");

  addon.sim().SetVariable("FLAPS HANDLE INDEX", 2);
  addon.Frames(2);
  ASSERT_EQ(DetentAngle(), 5.0) << "the sample aircraft";
  ASSERT_EQ(AircraftTitle(), "Velkaro Trainer");

  struct Row {
    std::string line;
    std::string reply;
    double detent;
    std::string title;  // in the add-on's status
  };
  const Row rows[] = {
      {"aircraft " + first, "velkaro-sim: aircraft " + first + " loaded\n", 11.0, "First Plane"},
      {"aircraft " + missing, "velkaro-sim: aircraft " + missing + " not loaded: no such file\n",
       11.0, "First Plane"},
      {"aircraft " + a_folder,
       "velkaro-sim: aircraft " + a_folder + " not loaded: it is a folder, not an aircraft file\n",
       11.0, "First Plane"},
      {"aircraft " + bare,
       "velkaro-sim: warning: no aircraft.cfg beside " + bare +
           "; the add-on keeps the flap detents it has\n"
           "velkaro-sim: aircraft " +
           bare + " loaded\n",
       11.0, "First Plane"},
      {"aircraft", "velkaro-sim: aircraft takes the PATH of an aircraft file\n", 11.0,
       "First Plane"},
      {"aircraft " + untitled,
       "velkaro-sim: warning: no title in " + untitled_config +
           "; the aircraft keeps the title it had\n"
           "velkaro-sim: aircraft " +
           untitled + " loaded\n",
       33.0, "First Plane"},
      {"aircraft " + second, "velkaro-sim: aircraft " + second + " loaded\n", 44.0, "Second Plane"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(Run(row.line), row.reply);
    addon.Frames(1);
    EXPECT_EQ(DetentAngle(), row.detent);
    EXPECT_EQ(AircraftTitle(), row.title);
  }
}

TEST(AircraftTitleTest, TheFirstTitleOfAFltsimSectionCounts) {
  struct Case {
    const char* config;
    const char* title;
  };
  const Case kCases[] = {
      {"[fltsim.0]\ntitle=Velkaro Freighter\nsim=x\n[fltsim.1]\ntitle=Other\n",
       "Velkaro Freighter"},
      {"[General]\ntitle=Not This\n[FLTSIM.3]\r\n  Title = Spaced Out  // a comment\r\n",
       "Spaced Out"},
      {"[fltsim.0]\nui_title=Not This\ntitle=\ntitle=Last", "Last"},
      {"[fltsim]\ntitle=No Number\n[flaps.0]\ntitle=Flaps\n", ""},
      {"", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.config);
    EXPECT_EQ(standin::AircraftTitle(c.config), c.title);
  }
}

TEST_F(ConsoleTest, EmptyBareAndUnknownLines) {
  struct Row {
    const char* line;
    const char* reply;
    bool quit;
  };
  const Row rows[] = {
      {"", "", false},
      {"   ", "", false},
      {"quit", "", true},
      {"quit now", "velkaro-sim: quit takes nothing after it\n", false},
      {"vars PLANE", "velkaro-sim: vars takes nothing after it\n", false},
      {"fly",
       "velkaro-sim: unknown command \"fly\"; commands are:\n"
       "  aircraft PATH | set NAME=VALUE [UNIT] | unset NAME | vars | help | quit\n",
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const standin::CommandOutcome outcome = standin::RunCommand(addon.sim(), row.line);
    EXPECT_EQ(outcome.reply, row.reply);
    EXPECT_EQ(outcome.quit, row.quit);
  }
  const std::string help = Run("help");
  EXPECT_NE(help.find("set NAME=VALUE [UNIT]  pin a variable in the units the add-on registered\n"),
            std::string::npos)
      << help;
}

}  // namespace
}  // namespace velkaro::testing
