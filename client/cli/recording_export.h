// What zelm export writes from a flight recording's frames: CSV (a header of field names with
// their units, then a row a frame) and a GPX 1.1 track (position, altitude, time). Formatting
// only: zelm export reads the recording and writes the text where it goes, and the benchmark
// times the same code.
//
// Thread-safety: an exporter is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/frame_layout.h"
#include "recording.h"

namespace zelm::record_export {

using Fields = std::vector<const velkaro::FrameField*>;

// The fields that carry data (not the layout's fixed placeholders and start-up constants), in the
// layout's order: what `zelm frame` shows too.
Fields FieldsWithData();

// CSV by RFC 4180, lines ended by CR LF. Columns: "time (s)", seconds from the recording's
// start with microseconds; then each field's elements, "name (unit)" for one element and
// "name[1] (unit)", "name[2] (unit)", ... for several (element numbers from 1, as receivers and
// engines are numbered), "(unit)" left out for a field without one. Numbers in the fewest digits
// that read back as the same double ("nan", "inf", "-inf" for those); texts from ISO 8859-1 as
// UTF-8, always quoted.
class CsvExport {
 public:
  explicit CsvExport(Fields fields) : fields_(std::move(fields)) {}
  void AppendHeader(std::string* out) const;
  void AppendRow(std::string* out, const RecordedFrame& frame) const;

 private:
  Fields fields_;
};

// A GPX 1.1 document of one track with one segment: a point per frame with a position, its
// altitude in metres and its UTC time with milliseconds. Frames without a position (the
// start-up frame's 0, 0, or values that are not a latitude and longitude) are left out.
class GpxExport {
 public:
  // `name`: the track's name (the recording's file name); `creator`: the program and version.
  GpxExport(std::string_view name, std::string_view creator, std::int64_t start_unix_us)
      : name_(name), creator_(creator), start_unix_us_(start_unix_us) {}
  void AppendBegin(std::string* out) const;
  // False when the frame had no position to write.
  bool AppendPoint(std::string* out, const RecordedFrame& frame) const;
  void AppendEnd(std::string* out) const;

 private:
  std::string name_;
  std::string creator_;
  std::int64_t start_unix_us_;
};

// "2026-12-11T12:40:07.125Z" for microseconds since 1970 UTC.
std::string UtcTimeText(std::int64_t unix_us);
// `text` with &, <, >, " and ' as XML character references, and control characters other than
// tab, line feed and carriage return (which XML 1.0 does not allow) left out.
std::string XmlText(std::string_view text);

}  // namespace zelm::record_export
