// Each board's record and the JUnit file, read back by python3's own json and xml modules.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/board_record.h"
#include "tests/support/temp_dir.h"

namespace {

std::string RunPython(const std::string& program, const std::string& input, TempDir& dir) {
    const std::string path = dir.Write("input", input);
    FILE* pipe = popen(("python3 -c '" + program + "' '" + path + "'").c_str(), "r");
    if (pipe == nullptr) return "";
    std::string out;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(BoardRecord, UtcTimes) {
    const struct {
        long long ms;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400123, "2000-02-29T00:00:00.123Z"},
        {1796947322045, "2026-12-11T00:02:02.045Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UtcIso8601(c.ms), c.text);
}

TEST(BoardRecord, ReportLinesAndJunitPassIndependentParsers) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    BoardRecord good;
    good.startedAtMs = 1796947322045;
    good.endedAtMs = good.startedAtMs + 6000;
    good.port = "COM3";
    good.device = "/dev/ttyUSB0";
    good.identity = "QRV-0001";
    good.version = "Ver01.02 build 7";
    good.image = "fw \"new\".img";
    good.imageSize = 65536;
    good.sha256 = std::string(64, 'a');
    good.bytesSent = 65536;
    good.result = 0;
    BoardRecord bad = good;
    bad.port = "/dev/serial/by-id/usb-<odd>&\x01name";
    bad.result = 6;
    bad.resultText = "Image File Transfer Fail";
    bad.detail = "quorvane-cli: the device refused the update\nline two";
    bad.bytesSent = 0;

    const std::string report = RunPython(
        "import json,sys\n"
        "for line in open(sys.argv[1]):\n"
        "  r = json.loads(line)\n"
        "  print(r[\"port\"], r[\"result\"], r[\"resultText\"], r[\"bytesSent\"], "
        "r[\"durationMs\"], "
        "r[\"startedAt\"], r[\"image\"])\n",
        BoardRecordLine(good) + BoardRecordLine(bad), dir);
    EXPECT_EQ(report,
              "COM3 0  65536 6000 2026-12-11T00:02:02.045Z fw \"new\".img\n"
              "/dev/serial/by-id/usb-<odd>&\x01name 6 Image File Transfer Fail 0 6000 "
              "2026-12-11T00:02:02.045Z fw \"new\".img\n");

    const std::string junit = RunPython(
        "import sys, xml.etree.ElementTree as T\n"
        "s = T.parse(sys.argv[1]).getroot()\n"
        "print(s.get(\"tests\"), s.get(\"failures\"))\n"
        "for c in s.iter(\"testcase\"):\n"
        "  f = c.find(\"failure\")\n"
        "  print(c.get(\"name\"), c.get(\"time\"), f is not None and f.get(\"message\"))\n",
        JunitXml({good, bad}), dir);
    EXPECT_EQ(junit,
              "2 1\nCOM3 6.000 False\n/dev/serial/by-id/usb-<odd>&?name 6.000 Image File "
              "Transfer Fail\n");
}

}  // namespace
