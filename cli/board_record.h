// What a many-board run keeps of each board: one JSON object per line in --report, appended the
// moment the board's job ends, and the whole run as JUnit XML for CI dashboards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BoardRecord {
    int64_t startedAtMs = 0;  // since 1970-01-01 UTC
    int64_t endedAtMs = 0;
    std::string port;        // as given
    std::string device;      // what it resolved to
    std::string stableName;  // the by-id name that leads to it, "" when none
    std::string identity;
    std::string version;
    std::string image;
    uint64_t imageSize = 0;
    std::string sha256;
    uint64_t bytesSent = 0;
    uint32_t transferMs = 0;
    int result = -1;
    std::string resultText;
    std::string detail;  // what to do about a failure
    int systemError = 0;
    std::string systemErrorText;
    std::string transcript;  // "" when none was kept
};

// "2026-12-11T00:01:02.345Z".
std::string UtcIso8601(int64_t msSince1970);

// The record as one line of JSON, ending in '\n'.
std::string BoardRecordLine(const BoardRecord& record);

// A <testsuite> with one <testcase> per board; a board that did not succeed has a <failure>
// with its result text and what to do.
std::string JunitXml(const std::vector<BoardRecord>& records);
