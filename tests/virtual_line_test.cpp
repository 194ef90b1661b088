// The exchange on the fake line's virtual clock: order and counts of what the
// receiver takes, independent of how busy the machine is. Every pass of the
// event processing is a millisecond of line time, and the far end's bytes
// come in the chunks the test gives, or answer each request at the pace of
// the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "fake_line.h"
#include "frame.h"
#include "rs232.h"
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

std::string g_shown;  // the last text the link showed

void Fresh() {
    fakeline::Reset();
    link_display = {};
    link_display.status = [](const char *text) { g_shown = text; };
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

// The start-up on a line paced as the real one: line check, hardware, both
// RAM frames and the firmware text, in that order and a tenth of a second
// apart; each answer lands where it belongs and the link is ready.
TEST(VirtualLine, TheStartUpAsksInOrderATenthOfASecondApart) {
    Fresh();
    auto hardware = ReplyTo(CMD_HARDWARE, 1024);
    PutFrameWord(&hardware[10], 1);  // a board that sends its firmware text as bytes
    const std::string text = "K-VEX firmware 2.01";
    std::vector<std::uint8_t> firmware(FIRMWARE_BYTES, 0);
    std::copy(text.begin(), text.end(), firmware.begin());
    for (const auto &answer : {ReplyTo(CMD_LINE_CHECK, 0), hardware, ReplyTo(CMD_READ_RAM, 111),
                               ReplyTo(CMD_READ_RAM, 222), firmware})
        fakeline::Answer(answer, 0.002);
    InitRS232(com);

    const auto &r = fakeline::Requests();
    ASSERT_EQ(r.size(), 5u);
    const unsigned short asked[5][2] = {{CMD_LINE_CHECK, 0},
                                        {CMD_HARDWARE, 0},
                                        {CMD_READ_RAM, 0},
                                        {CMD_READ_RAM, 1},
                                        {CMD_FIRMWARE, 0}};
    for (std::size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(r[i].command, asked[i][0]) << i;
        EXPECT_EQ(r[i].subArgument, asked[i][1]) << i;
        if (i == 0) continue;
        EXPECT_GE(r[i].at - r[i - 1].at, 0.1) << i;
        EXPECT_LT(r[i].at - r[i - 1].at, 0.15) << "waited only for the reply " << i;
    }
    EXPECT_EQ(parameter[PW_FRAME0], 111);
    EXPECT_EQ(parameter[PW_FRAME1], 222);
    EXPECT_EQ(g_shown, text);
    EXPECT_TRUE(LinkReady());
}

// A silent sensor: the start-up ends after the line check's one time-out,
// says so, and asks nothing more.
TEST(VirtualLine, ASilentSensorEndsTheStartUpAfterOneTimeOut) {
    Fresh();
    const double t0 = Timer();
    InitRS232(com);
    const double took = Timer() - t0;
    ASSERT_EQ(fakeline::Requests().size(), 1u);
    EXPECT_EQ(fakeline::Requests()[0].command, CMD_LINE_CHECK);
    EXPECT_EQ(g_shown, "Timeout-RS-232...");
    EXPECT_GE(took, TIMEOUT);
    EXPECT_LT(took, TIMEOUT + 0.01);
    EXPECT_FALSE(LinkReady());
}

// A sensor that leaves every second request unanswered: each answered one
// gets its own words, and a request after a silent one waits out the window
// in which that reply could still come, so it can never be taken for it.
TEST(VirtualLine, EverySecondReplyMissingNeverShiftsTheWords) {
    Fresh();
    const std::vector<std::uint8_t> silence;
    for (const auto &answer : {ReplyTo(CMD_READ_RAM, 100), silence, ReplyTo(CMD_READ_RAM, 300),
                               silence, ReplyTo(CMD_READ_RAM, 500)})
        fakeline::Answer(answer, 0.01);
    for (unsigned short i = 0; i < 5; ++i) {
        SendRequest(com, CMD_READ_RAM, i % 2, pp);
        const bool answered = i % 2 == 0;
        ASSERT_EQ(AwaitReply(TIMEOUT), answered ? EXCHANGE_OK : EXCHANGE_TIMEOUT) << i;
        if (answered) {
            EXPECT_EQ(pp[0], 100 * (i + 1)) << i;
        }
    }
    const auto &r = fakeline::Requests();
    EXPECT_GE(r[2].at - r[1].at, LATE_REPLY_WINDOW);
    EXPECT_GE(r[4].at - r[3].at, LATE_REPLY_WINDOW);
    EXPECT_LT(r[1].at - r[0].at, 0.1) << "an answered request leaves nothing owed";
}

// Raw bytes (a firmware text, a video block) that come after their wait:
// the next raw request goes out once they stopped, not at the end of the
// window, and they never stand for its reply.
TEST(VirtualLine, ALateRawReplyIsWaitedOutAndNeverReadForTheNextOne) {
    Fresh();
    RemoveRxNotification(com);
    fakeline::Answer(std::vector<std::uint8_t>(FIRMWARE_BYTES, 'o'), 2.0);
    fakeline::Answer(std::vector<std::uint8_t>(FIRMWARE_BYTES, 'n'), 0.005);
    bool timedOut = false;
    SendRequest(com, CMD_FIRMWARE, 0, pp);
    EXPECT_EQ(AwaitBytes(com, FIRMWARE_BYTES, TIMEOUT, false, &timedOut), 0);
    EXPECT_TRUE(timedOut);

    SendRequest(com, CMD_FIRMWARE, 0, pp);
    const auto &r = fakeline::Requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_GE(r[1].at - r[0].at, 2.0 + (FIRMWARE_BYTES - 1) / 1920.0);
    EXPECT_LT(r[1].at - r[0].at, 2.1) << "waited for the late bytes, not for the whole window";
    ASSERT_EQ(AwaitBytes(com, FIRMWARE_BYTES, TIMEOUT, false, &timedOut), FIRMWARE_BYTES);
    char got[FIRMWARE_BYTES + 8];
    ASSERT_EQ(ComRd(com, got, sizeof got), FIRMWARE_BYTES);
    EXPECT_TRUE(std::all_of(got, got + FIRMWARE_BYTES, [](char c) { return c == 'n'; }));
    InstallRxNotification(com);
}
