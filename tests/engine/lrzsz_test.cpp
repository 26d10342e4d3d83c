// Our sender into lrzsz's rx, an XMODEM receiver we did not write. rx drops input right after each
// reply it writes, which over a pty loses blocks from a fast sender, so it sits on pipes and the
// test relays between those and the pty the engine uses.
#include <gtest/gtest.h>

#include "tests/engine/dialogue.h"
#include "tests/support/child.h"
#include "tests/support/xmodem_bytes.h"

namespace {

struct RxCase {
    const char* name;
    size_t imageSize;
    bool crcMode;
};

class IntoRx : public testing::TestWithParam<RxCase> {};

TEST_P(IntoRx, ReceivedFileIsTheImage) {
    const RxCase& c = GetParam();
    const std::string rx = FindProgram("rx");
    if (rx.empty()) GTEST_SKIP() << "lrzsz rx is not installed";
    const std::string image = PatternBytes(c.imageSize, 11);
    Dialogue d(image);
    ASSERT_TRUE(d.Console());
    TempDir work;
    Launch launch;
    launch.argv = {rx, "-q", "-b"};
    if (c.crcMode) launch.argv.push_back("-c");
    launch.argv.push_back("received.img");
    launch.cwd = work.Path();
    launch.in = launch.out = Stdio::Pipe();
    Child receiver;
    ASSERT_TRUE(receiver.Start(launch));
    EXPECT_EQ(RelayUntilExit(d.Peer(), receiver), 0) << "rx's exit code";
    d.Send("Done\r\n>");
    EXPECT_EQ(d.Result(), ResultSuccess);

    // rx keeps the padding of the last block; everything before it must be the image.
    const std::string received = ReadWholeFile(work.File("received.img"));
    const size_t blockSize = c.crcMode ? 1024 : 128;
    ASSERT_EQ(received.size(), (c.imageSize + blockSize - 1) / blockSize * blockSize);
    EXPECT_TRUE(received.substr(0, c.imageSize) == image);
    EXPECT_EQ(received.substr(c.imageSize).find_first_not_of(wire::kSub), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, IntoRx,
                         testing::Values(RxCase{"Crc", 300 * 1024 + 17, true},
                                         RxCase{"Checksum", 40000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
