#include "cli/json.h"

#include <cstdint>
#include <cstdio>

namespace {

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 when its first byte does
// not begin one (stray continuation bytes, overlong forms, surrogates, beyond U+10FFFF).
size_t Utf8SequenceLength(std::string_view text) {
    const auto byte = [&](size_t i) { return uint8_t(text[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint8_t secondMin = 0x80;
    uint8_t secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondMin = 0xA0;  // overlong below U+0800
        if (lead == 0xED) secondMax = 0x9F;  // UTF-16 surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondMin = 0x90;  // overlong below U+10000
        if (lead == 0xF4) secondMax = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    if (byte(1) < secondMin || byte(1) > secondMax) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

void AppendJsonString(std::string* out, std::string_view text) {
    out->push_back('"');
    while (!text.empty()) {
        const auto c = uint8_t(text[0]);
        size_t used = 1;
        switch (c) {
            case '"':
                out->append("\\\"");
                break;
            case '\\':
                out->append("\\\\");
                break;
            case '\b':
                out->append("\\b");
                break;
            case '\f':
                out->append("\\f");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\t':
                out->append("\\t");
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
                    out->append(escaped);
                } else if (c < 0x80) {
                    out->push_back(char(c));
                } else if (const size_t length = Utf8SequenceLength(text); length > 0) {
                    out->append(text.substr(0, length));
                    used = length;
                } else {
                    out->append("\\ufffd");
                }
                break;
        }
        text.remove_prefix(used);
    }
    out->push_back('"');
}

std::string JsonString(std::string_view text) {
    std::string out;
    AppendJsonString(&out, text);
    return out;
}
