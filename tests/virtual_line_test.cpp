// The exchange on the fake line's virtual clock: order and counts of what the
// receiver takes, independent of how busy the machine is. Every pass of the
// event processing is a millisecond of line time, and the far end's bytes
// come in the chunks the test gives.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "fake_line.h"
#include "frame.h"
#include "ui.h"

namespace {

std::vector<std::uint8_t> ReplyTo(unsigned short command, unsigned short firstWord) {
    std::vector<std::uint8_t> r(FRAME_BYTES, 0);
    r[1] = 0xAA;
    PutFrameWord(&r[2], command);
    PutFrameWord(&r[6], firstWord);
    return r;
}

// Nothing for ms passes, then pieces of piece bytes.
std::vector<std::size_t> After(int ms, std::size_t piece) {
    std::vector<std::size_t> chunks(static_cast<std::size_t>(ms), 0);
    chunks.insert(chunks.end(), FRAME_BYTES / piece + 1, piece);
    return chunks;
}

void Fresh() {
    ResetReceiver();
    InstallRxNotification(com);
}

}  // namespace

// A reply that comes 1.6 s late, in pieces, while nothing is awaited any
// more: it is seen whole, answers nothing, and the next request of its kind
// goes out the moment it is in, not at the end of the late-reply window.
TEST(VirtualLine, ALateReplyInPiecesSettlesItsDebtAndAnswersNothing) {
    Fresh();
    const auto late = ReplyTo(CMD_READ_RAM, 1234);
    fakeline::Play(late.data(), late.size(), After(1600, 4));
    const long accepted = AcceptedReplies();
    const double t0 = Timer();
    SendRequest(com, CMD_READ_RAM, 0, pp);
    EXPECT_EQ(AwaitReply(TIMEOUT), EXCHANGE_TIMEOUT);

    SendRequest(com, CMD_READ_RAM, 1, pp);
    const double second = Timer() - t0;
    EXPECT_GE(second, 1.6);
    EXPECT_LT(second, 1.8) << "waited for the late reply, not for the whole window";
    EXPECT_EQ(AcceptedReplies(), accepted) << "the late reply answered nothing";
    EXPECT_EQ(rx_flag, 0);
}

// Replies to other commands and stray bytes before the awaited one are
// dropped and counted; the awaited one is taken once, with its words.
TEST(VirtualLine, OnlyTheAwaitedReplyIsTakenAndEverythingElseIsCounted) {
    Fresh();
    std::vector<std::uint8_t> stream = {0x13, 0x00, 0x37};
    const auto other = ReplyTo(CMD_HARDWARE, 9);
    const auto mine = ReplyTo(CMD_READ_RAM, 4321);
    stream.insert(stream.end(), other.begin(), other.end());
    stream.insert(stream.end(), mine.begin(), mine.end());
    fakeline::Play(stream.data(), stream.size(), {5, 0, 7});
    const long accepted = AcceptedReplies();
    const long discarded = DiscardedBytes();
    SendRequest(com, CMD_READ_RAM, 0, pp);
    ASSERT_EQ(AwaitReply(TIMEOUT), EXCHANGE_OK);
    EXPECT_EQ(pp[0], 4321);
    EXPECT_EQ(AcceptedReplies(), accepted + 1);
    EXPECT_EQ(DiscardedBytes(), discarded + 3 + FRAME_BYTES);
    EXPECT_EQ(DroppedReplyCommand(), CMD_HARDWARE);
}
