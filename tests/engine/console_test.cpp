// The console dialogue on the wire, with the test playing the device over a real pty.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/engine/dialogue.h"
#include "tests/support/xmodem_bytes.h"

namespace {

const std::string kImage = "QRV-0001";  // 8 bytes: one block in either mode
const std::string kAck(1, wire::kAck);
const std::string kEot(1, wire::kEot);

struct ConsoleCase {
    const char* name;
    ConsoleReplies replies;
    std::string verdict;  // sent after the EOT is acknowledged
    int32_t result;
    UpdateStage stage;
};

// Replies that differ from the defaults; every case starts from them.
ConsoleReplies With(std::string ConsoleReplies::*field, std::string value) {
    ConsoleReplies replies;
    replies.*field = std::move(value);
    return replies;
}

const ConsoleReplies kDefault;
const std::string kForty(40, 'x');

class ConsoleTable : public testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleTable, EndsWithItsResult) {
    const ConsoleCase& c = GetParam();
    Dialogue d(kImage);
    if (d.Console(c.replies)) {
        d.Send("C");
        if (d.Expect(Packet(1, kImage, true))) {
            d.Send(kAck);
            if (d.Expect(kEot)) d.Send(kAck + c.verdict);
        }
    }
    EXPECT_EQ(d.Result(), c.result);
    EXPECT_EQ(updateJob.stage.load(), c.stage);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ConsoleTable,
    testing::Values(
        ConsoleCase{"Accepted", kDefault, "Done\r\n>", ResultSuccess, StageNone},
        ConsoleCase{"NoEcho",
                    {"\r\n>", "\r\nQRV-0001\r\n>", "\r\nVer01.02\r\n>", "\r\nReady\r\n"},
                    "\r\nDone\r\n>",
                    ResultSuccess,
                    StageNone},
        ConsoleCase{"BootLinesBeforeIdentity",
                    With(&ConsoleReplies::ident, "IDENT\r\nboot 3\r\nQRV-0001\r\n>"), "Done\r\n>",
                    ResultSuccess, StageNone},
        ConsoleCase{"IdentitySeven", With(&ConsoleReplies::ident, "IDENT\r\nQRV-001\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"IdentityNine", With(&ConsoleReplies::ident, "IDENT\r\nQRV-00001\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"IdentityForty", With(&ConsoleReplies::ident, "\r\n" + kForty + "\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"PromptBeforeAnyLineEnd", With(&ConsoleReplies::ident, ">"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"TwoPromptsOnWake", With(&ConsoleReplies::wake, "\r\n>\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"VersionMinor", With(&ConsoleReplies::version, "VER\r\nVer01.03\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"VersionLowerCase", With(&ConsoleReplies::version, "VER\r\nver01.02\r\n>"), "",
                    ResultConnectFail, StageConnect},
        ConsoleCase{"VersionWithBuild",
                    With(&ConsoleReplies::version, "VER\r\nVer01.02 build 7\r\n>"), "Done\r\n>",
                    ResultSuccess, StageNone},
        ConsoleCase{"VersionThenEmptyLine",
                    With(&ConsoleReplies::version, "VER\r\nVer01.02\r\n\r\n>"), "Done\r\n>",
                    ResultSuccess, StageNone},
        ConsoleCase{"UpdateRefused", With(&ConsoleReplies::update, "UPDATE 8\r\nBusy?\r\n"), "",
                    ResultTransferFail, StageTransfer},
        ConsoleCase{"QuestionMarkInEchoIgnored",
                    With(&ConsoleReplies::update, "UPDATE?8\r\nReady\r\n"), "Done\r\n>",
                    ResultSuccess, StageNone},
        ConsoleCase{"VerdictFullStop", kDefault, "Done.\r\n>", ResultUpdateFail, StageUpdate},
        ConsoleCase{"VerdictLowerCase", kDefault, "done\r\n>", ResultUpdateFail, StageUpdate},
        ConsoleCase{"VerdictAbort", kDefault, "Abort\r\n>", ResultUpdateFail, StageUpdate},
        ConsoleCase{"VerdictEmptyLine", kDefault, "\r\n>", ResultUpdateFail, StageUpdate},
        ConsoleCase{"VerdictPromptBeforeLineEnd", kDefault, ">", ResultUpdateFail, StageUpdate}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Console, SuccessfulJobWritesExactlyTheseBytes) {
    Dialogue d(kImage);
    ASSERT_TRUE(d.Console());
    d.Send("C");
    ASSERT_TRUE(d.Expect(Packet(1, kImage, true)));
    d.Send(kAck);
    ASSERT_TRUE(d.Expect(kEot));
    d.Send(kAck + "Done\r\n>");
    EXPECT_EQ(d.Result(), ResultSuccess);
    EXPECT_EQ(d.Host(30), "\x1b\r\nIDENT\r\nVER\r\nUPDATE 8\r\n" + Packet(1, kImage, true) + kEot);
    EXPECT_EQ(updateJob.bytesSent.load(), 8u);
}

struct IdentityCase {
    const char* name;
    std::string image;
    std::string identReply;
    int32_t result;
    bool reachesDevice;
};

class IdentityCheck : public testing::TestWithParam<IdentityCase> {};

TEST_P(IdentityCheck, BindsImageAndDeviceToOneIdentity) {
    const IdentityCase& c = GetParam();
    Dialogue d(c.image, "QRV-0001");
    if (d.Console(With(&ConsoleReplies::ident, c.identReply))) {
        d.Send("C");
        d.AcceptBlocks(1029);
        d.Send("Done\r\n>");
    }
    EXPECT_EQ(d.Result(), c.result);
    EXPECT_EQ(d.Host(20).empty(), !c.reachesDevice);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentityCheck,
    testing::Values(IdentityCase{"BothMatch", "QRV-0001 and any rest", "IDENT\r\nQRV-0001\r\n>",
                                 ResultSuccess, true},
                    IdentityCase{"DeviceDiffers", "QRV-0001", "IDENT\r\nQRV-0002\r\n>",
                                 ResultConnectFail, true},
                    IdentityCase{"ImageDiffersInLastByte", "QRV-0002", "", ResultImageInvalid,
                                 false},
                    IdentityCase{"ImageCaseDiffers", "qrv-0001", "", ResultImageInvalid, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Wake, SilentDeviceGetsOneEscEveryReadTimeout) {
    Dialogue d(kImage);
    ASSERT_TRUE(d.Expect("\x1b\r\n"));
    const std::string quiet = d.Peer().ReadUntil("never", 620);
    const auto escapes = std::count(quiet.begin(), quiet.end(), '\x1b');
    EXPECT_GE(escapes, 4);  // one per ~100 ms of silence
    EXPECT_LE(escapes, 7);
    EXPECT_EQ(quiet, std::string(size_t(escapes), '\x1b'));
    d.Send(">");
    EXPECT_TRUE(d.Expect("IDENT\r\n"));
}

TEST(Wake, TalkingDeviceGetsNoEsc) {
    Dialogue d(kImage);
    ASSERT_TRUE(d.Expect("\x1b\r\n"));
    std::string heard;
    for (int i = 0; i < 12; ++i) {  // boot messages, a byte every 40 ms
        d.Send(".");
        heard += d.Peer().ReadFor(40);
    }
    EXPECT_EQ(heard, "");
    d.Send(">");
    EXPECT_TRUE(d.Expect("IDENT\r\n"));
}

TEST(Wake, PromptWithoutGapEndsWakeAfterOneEsc) {
    Dialogue d(kImage);
    ASSERT_TRUE(d.Console());
    EXPECT_EQ(d.Host().substr(0, 10), "\x1b\r\nIDENT\r\n");
}

}  // namespace
