// Cancel from the UI thread, in each kind of wait, as the device sees it.
#include <gtest/gtest.h>

#include "tests/engine/dialogue.h"
#include "tests/support/xmodem_bytes.h"

namespace {

const std::string kCanCan(2, wire::kCan);

TEST(Cancel, SilentDeviceEndsAtConnectWithNothingMoreSent) {
    Dialogue d("QRV-0001");
    ASSERT_TRUE(d.Expect("\x1b\r\n"));
    d.Cancel();
    EXPECT_EQ(d.Result(300), ResultCancelled);
    EXPECT_EQ(updateJob.stage.load(), StageConnect);
    EXPECT_EQ(d.Host(30).find_first_not_of("\x1b\r\n"), std::string::npos);
}

TEST(Cancel, WhileWaitingForUpdateReplySendsNoCan) {
    Dialogue d("QRV-0001");
    ConsoleReplies replies;
    replies.update = "UPDATE 8\r\n";  // echo only: the device never says yes or no
    ASSERT_TRUE(d.Console(replies));
    d.Cancel();
    EXPECT_EQ(d.Result(300), ResultCancelled);
    EXPECT_EQ(updateJob.stage.load(), StageTransfer);
    const std::string& host = d.Host(30);
    EXPECT_EQ(host.substr(host.size() - 10), "UPDATE 8\r\n");
}

TEST(Cancel, BeforeTheReceiverStartsSendsNoCan) {
    Dialogue d("QRV-0001");
    ASSERT_TRUE(d.Console());
    d.Cancel();
    EXPECT_EQ(d.Result(300), ResultCancelled);
    EXPECT_EQ(d.Host(30).find(wire::kCan), std::string::npos);
}

TEST(Cancel, WhileWaitingForAckSendsCanCan) {
    for (const bool atEot : {false, true}) {
        Dialogue d("QRV-0001");
        ASSERT_TRUE(d.Console());
        d.Send("C");
        d.Take(1029);
        if (atEot) {
            d.Send(std::string(1, wire::kAck));
            ASSERT_EQ(d.Take(1), std::string(1, wire::kEot));
        }
        d.Cancel();
        EXPECT_EQ(d.Take(2), kCanCan);
        EXPECT_EQ(d.Result(300), ResultCancelled);
        EXPECT_EQ(d.Host(30).substr(d.Host().size() - 2), kCanCan);
    }
}

TEST(Cancel, WhileWaitingForTheVerdict) {
    Dialogue d("QRV-0001");
    ASSERT_TRUE(d.Console());
    d.Send("C");
    d.AcceptBlocks(1029);
    d.Send("writing flash...\r\n");
    d.Cancel();
    EXPECT_EQ(d.Result(300), ResultCancelled);
    EXPECT_EQ(updateJob.stage.load(), StageUpdate);
}

}  // namespace
