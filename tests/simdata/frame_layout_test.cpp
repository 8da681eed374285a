// The frame table as clients read it: the frame table in docs/protocol.md must say what the
// frame definition says, row by row, the constants of the fixed fields included. When the two
// part, the failure prints the rows as they must read.
#include "common/frame_layout.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace velkaro {
namespace {

const std::string kHeader = "| Offset | Field | Type | Unit | Once converted | Meaning |";

std::string Number(const FrameField& f, double v) {
  if (f.type == FrameType::kF64) {
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, v);
    std::string shortest(text, end);
    if (shortest.find_first_of(".en") == std::string::npos) shortest += ".0";
    return shortest;
  }
  // Bytes other than flags read best in hex.
  if (f.type == FrameType::kU8 && v != 0.0 && v != 1.0) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(v));
    return text;
  }
  return std::to_string(static_cast<long long>(v));
}

std::string TypeText(const FrameField& f) {
  std::string type;
  switch (f.type) {
    case FrameType::kF64:
      type = "f64";
      break;
    case FrameType::kI32:
      type = "i32";
      break;
    case FrameType::kU8:
      type = "u8";
      break;
    case FrameType::kText:
      type = "char[" + std::to_string(f.text_length) + "]";
      break;
  }
  if (f.count > 1) type += " x " + std::to_string(f.count);
  return type;
}

std::string OnceConverted(const FrameField& f) {
  if (f.role != FrameRole::kFixed) return "";
  if (f.type == FrameType::kText) return "\"" + std::string(f.fixed.text) + "\"";
  return Number(f, f.fixed.number);
}

std::string Meaning(const FrameField& f) {
  const std::string meaning = f.meaning;
  switch (f.role) {
    case FrameRole::kValue:
      return meaning;
    case FrameRole::kFixed:
      return meaning.empty() ? "constant" : meaning;
    case FrameRole::kStartup: {
      std::string text = "keeps its start-up value";
      if (f.start != 0.0) text += " (" + Number(f, f.start) + ")";
      if (!meaning.empty()) text += "; " + meaning;
      return text;
    }
  }
  return meaning;
}

// One row of the documented table, as it must read for `f`.
std::string DocumentedRow(const FrameField& f) {
  return "| " + std::to_string(f.offset) + " | `" + f.name + "` | " + TypeText(f) + " | " + f.unit +
         " | " + OnceConverted(f) + " | " + Meaning(f) + " |";
}

// The rows of the table that follows `header` in `document`, up to the first line that is not
// a table row; the header's separator row is skipped.
std::vector<std::string> TableRows(const std::string& document, const std::string& header) {
  std::vector<std::string> rows;
  const std::size_t at = document.find("\n" + header + "\n");
  if (at == std::string::npos) return rows;
  std::size_t line_start = document.find('\n', at + 1) + 1;
  bool separator = true;
  while (line_start < document.size() && document[line_start] == '|') {
    std::size_t line_end = document.find('\n', line_start);
    if (line_end == std::string::npos) line_end = document.size();
    std::string line = document.substr(line_start, line_end - line_start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!separator) rows.push_back(line);
    separator = false;
    line_start = line_end + 1;
  }
  return rows;
}

// Compares the table under `header` in docs/protocol.md with `expected` row by row; on a
// difference, prints the table as it must read.
void ExpectDocumentedTable(const std::string& header, const std::string& separator,
                           const std::vector<std::string>& expected) {
  const std::string path = std::string(VELKARO_SOURCE_DIR) + "/docs/protocol.md";
  const std::vector<std::string> rows = TableRows(testing::ReadWholeFile(path), header);
  ASSERT_FALSE(rows.empty()) << path << " has no table headed " << header;

  std::string expected_table = header + "\n" + separator + "\n";
  std::size_t differing = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expected_table += expected[i] + "\n";
    if (i < rows.size() && rows[i] == expected[i]) continue;
    if (differing++ == 0) {
      ADD_FAILURE() << "row " << i + 1 << " reads\n  " << (i < rows.size() ? rows[i] : "(none)")
                    << "\nand must read\n  " << expected[i];
    }
  }
  EXPECT_EQ(differing, 0u) << "rows that differ from the frame definition";
  EXPECT_EQ(rows.size(), expected.size()) << "documented rows against frame fields";
  if (differing > 0 || rows.size() != expected.size()) {
    std::printf("The table of docs/protocol.md must read:\n%s", expected_table.c_str());
  }
}

TEST(FrameLayoutTest, TheProtocolDocumentShowsTheFrameTable) {
  std::vector<std::string> expected;
  for (const FrameField& f : kFrameFields) expected.push_back(DocumentedRow(f));
  ExpectDocumentedTable(kHeader, "|---|---|---|---|---|---|", expected);
}

// The short table for client developers: only the fields that carry the aircraft's state.
TEST(FrameLayoutTest, TheProtocolDocumentListsTheFieldsThatCarryData) {
  std::vector<std::string> expected;
  for (const FrameField& f : kFrameFields) {
    if (f.role != FrameRole::kValue) continue;
    expected.push_back("| `" + std::string(f.name) + "` | " + TypeText(f) + " | " + f.unit + " | " +
                       f.meaning + " |");
  }
  ExpectDocumentedTable("| Field | Type | Unit | Meaning |", "|---|---|---|---|", expected);
}

}  // namespace
}  // namespace velkaro
