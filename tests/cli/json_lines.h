// JSON lines as an independent parser reads them: Python's json module, run as a child.
#pragma once

#include <string>
#include <vector>

struct JsonLines {
    bool ok = false;
    std::string error;                   // why not ok: the parser's own words
    std::vector<std::string> canonical;  // each object again, keys sorted, ASCII only, no spaces
};

// Parses every line of `text` (which must be valid UTF-8 and end with a newline) as one JSON
// object. `scratch` is a folder for the parser's files.
JsonLines ParseJsonLines(const std::string& text, const std::string& scratch);
