#include "recording_export.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "frame_json.h"

namespace zelm::record_export {

namespace {

constexpr double kMetresPerFoot = 0.3048;

void AppendNumber(std::string* out, double value) {
  if (std::isnan(value)) {
    *out += "nan";
  } else if (std::isinf(value)) {
    *out += value > 0 ? "inf" : "-inf";
  } else {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    out->append(text, result.ptr);
  }
}

void AppendFixed(std::string* out, double value, int decimals) {
  char text[48];
  const auto result =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  out->append(text, result.ptr);
}

// Days since 1970-01-01 to a civil date (H. Hinnant's algorithm), for any day a recording names.
void CivilFromDays(std::int64_t days, int* year, unsigned* month, unsigned* day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(yoe + era * 400 + (*month <= 2 ? 1 : 0));
}

}  // namespace

Fields FieldsWithData() {
  Fields fields;
  for (const velkaro::FrameField& f : velkaro::kFrameFields) {
    if (f.role == velkaro::FrameRole::kValue) fields.push_back(&f);
  }
  return fields;
}

void CsvExport::AppendHeader(std::string* out) const {
  *out += "time (s)";
  for (const velkaro::FrameField* f : fields_) {
    for (std::size_t i = 0; i < f->count; ++i) {
      std::string column = f->name;
      if (f->count > 1) column += "[" + std::to_string(i + 1) + "]";
      if (f->unit[0] != '\0') column += std::string(" (") + f->unit + ")";
      // Field names and units hold no comma or quote: no quoting needed.
      *out += ',';
      *out += column;
    }
  }
  *out += "\r\n";
}

void CsvExport::AppendRow(std::string* out, const RecordedFrame& frame) const {
  AppendFixed(out, static_cast<double>(frame.time_us) / 1e6, 6);
  for (const velkaro::FrameField* f : fields_) {
    for (std::size_t i = 0; i < f->count; ++i) {
      *out += ',';
      if (f->type != velkaro::FrameType::kText) {
        AppendNumber(out, frame.frame.NumberAt(*f, i));
        continue;
      }
      std::string text;
      AppendLatin1AsUtf8(&text, frame.frame.TextAt(*f, i));
      *out += '"';
      for (const char c : text) {
        if (c == '"') *out += '"';
        *out += c;
      }
      *out += '"';
    }
  }
  *out += "\r\n";
}

std::string UtcTimeText(std::int64_t unix_us) {
  std::int64_t seconds = unix_us / 1'000'000;
  std::int64_t micros = unix_us % 1'000'000;
  if (micros < 0) {
    micros += 1'000'000;
    --seconds;
  }
  std::int64_t days = seconds / 86400;
  std::int64_t in_day = seconds % 86400;
  if (in_day < 0) {
    in_day += 86400;
    --days;
  }
  int year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", year, month, day,
                static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
                static_cast<int>(in_day % 60), static_cast<int>(micros / 1000));
  return text;
}

std::string XmlText(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') {
          out += c;
        }
    }
  }
  return out;
}

void GpxExport::AppendBegin(std::string* out) const {
  *out +=
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<gpx version=\"1.1\" creator=\"" +
      XmlText(creator_) +
      "\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.topografix.com/GPX/1/1 "
      "http://www.topografix.com/GPX/1/1/gpx.xsd\">\n"
      "  <metadata>\n    <name>" +
      XmlText(name_) + "</name>\n    <time>" + UtcTimeText(start_unix_us_) +
      "</time>\n  </metadata>\n  <trk>\n    <name>" + XmlText(name_) + "</name>\n    <trkseg>\n";
}

bool GpxExport::AppendPoint(std::string* out, const RecordedFrame& frame) const {
  constexpr auto kLatitude = velkaro::FrameF64("latitude");
  constexpr auto kLongitude = velkaro::FrameF64("longitude");
  constexpr auto kAltitude = velkaro::FrameF64("altitude");
  const double latitude = velkaro::GetF64(frame.frame.bytes.data(), kLatitude);
  double longitude = velkaro::GetF64(frame.frame.bytes.data(), kLongitude);
  const double altitude = velkaro::GetF64(frame.frame.bytes.data(), kAltitude);
  if (!std::isfinite(latitude) || !std::isfinite(longitude) || latitude < -90.0 ||
      latitude > 90.0 || longitude < -180.0 || longitude > 180.0 ||
      (latitude == 0.0 && longitude == 0.0)) {
    return false;
  }
  // GPX takes longitudes from -180 up to, not including, 180.
  if (longitude == 180.0) longitude = -180.0;
  *out += "      <trkpt lat=\"";
  AppendFixed(out, latitude, 8);
  *out += "\" lon=\"";
  AppendFixed(out, longitude, 8);
  *out += "\">";
  if (std::isfinite(altitude)) {
    *out += "<ele>";
    AppendFixed(out, altitude * kMetresPerFoot, 2);
    *out += "</ele>";
  }
  *out += "<time>" + UtcTimeText(start_unix_us_ + static_cast<std::int64_t>(frame.time_us)) +
          "</time></trkpt>\n";
  return true;
}

void GpxExport::AppendEnd(std::string* out) const {
  *out += "    </trkseg>\n  </trk>\n</gpx>\n";
}

}  // namespace zelm::record_export
