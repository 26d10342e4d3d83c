#include "cli/board_record.h"

#include <cstdio>

#include "cli/json.h"

namespace {

// Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar), without the C
// library's time zone machinery.
void CivilDate(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = unsigned(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = int64_t(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

std::string XmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                // XML 1.0 has no place for control characters but tab and line ends.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    out += '?';
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", double(ms) / 1000.0);
    return text;
}

}  // namespace

std::string UtcIso8601(int64_t msSince1970) {
    const int64_t ms = ((msSince1970 % 86400000) + 86400000) % 86400000;
    const int64_t days = (msSince1970 - ms) / 86400000;
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilDate(days, &year, &month, &day);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u.%03uZ", (long long)year,
                  month, day, unsigned(ms / 3600000), unsigned(ms / 60000 % 60),
                  unsigned(ms / 1000 % 60), unsigned(ms % 1000));
    return text;
}

std::string BoardRecordLine(const BoardRecord& r) {
    std::string line = "{\"startedAt\":" + JsonString(UtcIso8601(r.startedAtMs)) +
                       ",\"endedAt\":" + JsonString(UtcIso8601(r.endedAtMs));
    const auto text = [&line](const char* key, const std::string& value) {
        line += std::string(",\"") + key + "\":";
        AppendJsonString(&line, value);
    };
    const auto number = [&line](const char* key, long long value) {
        line += std::string(",\"") + key + "\":" + std::to_string(value);
    };
    text("port", r.port);
    text("device", r.device);
    text("stableName", r.stableName);
    text("identity", r.identity);
    text("version", r.version);
    text("image", r.image);
    number("imageSize", (long long)r.imageSize);
    text("sha256", r.sha256);
    number("bytesSent", (long long)r.bytesSent);
    number("durationMs", (long long)(r.endedAtMs - r.startedAtMs));
    number("transferMs", r.transferMs);
    number("result", r.result);
    text("resultText", r.resultText);
    text("detail", r.detail);
    number("systemError", r.systemError);
    text("systemErrorText", r.systemErrorText);
    text("transcript", r.transcript);
    line += "}\n";
    return line;
}

std::string JunitXml(const std::vector<BoardRecord>& records) {
    int failures = 0;
    int64_t totalMs = 0;
    for (const BoardRecord& r : records) {
        if (r.result != 0) ++failures;
        totalMs += r.endedAtMs - r.startedAtMs;
    }
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"quorvane-cli\" "
        "tests=\"" +
        std::to_string(records.size()) + "\" failures=\"" + std::to_string(failures) +
        "\" errors=\"0\" time=\"" + Seconds(totalMs) + "\">\n";
    for (const BoardRecord& r : records) {
        xml += "  <testcase classname=\"quorvane-cli\" name=\"" + XmlText(r.port) + "\" time=\"" +
               Seconds(r.endedAtMs - r.startedAtMs) + "\"";
        if (r.result == 0) {
            xml += "/>\n";
            continue;
        }
        xml += ">\n    <failure message=\"" + XmlText(r.resultText) + "\" type=\"result " +
               std::to_string(r.result) + "\">" + XmlText(r.detail) + "</failure>\n  </testcase>\n";
    }
    xml += "</testsuite>\n";
    return xml;
}
