// Just enough JSON for one event per line: strings that are always valid, whatever bytes a
// file name or link target holds.
#pragma once

#include <string>
#include <string_view>

// Appends `text` as a quoted JSON string. Quotes, backslashes and control characters are
// escaped; well-formed UTF-8 passes through; every byte that is not part of a well-formed
// UTF-8 sequence becomes U+FFFD, so the line stays valid UTF-8 for any reader.
void AppendJsonString(std::string* out, std::string_view text);

// `text` as a quoted JSON string.
std::string JsonString(std::string_view text);
