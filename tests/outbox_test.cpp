// The broker link's bookkeeping walked event by event, as the network thread
// drives it, without a broker and without a clock: the bound with the window
// in it, the take-back on a reconnect, retained texts, the finish, and when
// a connection is tried again.
#include "outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Takes what the outbox lets go now, handing each over under the next mid.
std::vector<Outbox::Message> TakeAll(Outbox &box, int &mid) {
    std::vector<Outbox::Message> out;
    Outbox::Message m;
    while (box.Next(m)) {
        box.Handed(m, ++mid);
        out.push_back(m);
    }
    return out;
}

std::vector<std::string> Payloads(const std::vector<Outbox::Message> &messages) {
    std::vector<std::string> out;
    for (const auto &m : messages) out.push_back(m.slot >= 0 ? "R" + m.payload : m.payload);
    return out;
}

}  // namespace

// A stalled broker: the window is on the wire, the queue fills behind it.
// Never more than the bound is held, the window included; the oldest that
// wait make room, and what was acknowledged is never lost or repeated.
TEST(Outbox, TheBoundCountsTheWindowAndDropsTheOldestWaiting) {
    Outbox box(10, 1000);  // the window is at most half the bound: 5
    int mid = 0;
    for (int i = 1; i <= 7; ++i) box.Add(std::to_string(i));
    EXPECT_EQ(Payloads(TakeAll(box, mid)), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
    for (int i = 8; i <= 20; ++i) {
        box.Add(std::to_string(i));
        ASSERT_LE(box.Held(), 10u) << "after " << i;
    }
    EXPECT_EQ(box.Held(), 10u);
    EXPECT_EQ(box.Dropped(), 10u);  // 6 to 15 waited and went; 1 to 5 are on the wire
    for (int m = 1; m <= 5; ++m) box.Acknowledged(m);
    box.Acknowledged(5);  // a repeat changes nothing
    EXPECT_EQ(box.Delivered(), 5u);
    EXPECT_EQ(Payloads(TakeAll(box, mid)),
              (std::vector<std::string>{"16", "17", "18", "19", "20"}));
    EXPECT_EQ(box.Held() + box.Delivered() + box.Dropped(), 20u) << "every sample accounted for";
}

// A protocol's births and deaths among the samples are kept through a full
// queue: the samples around them make room instead, and the order stays.
// The broker's acknowledgement hands back what it acknowledged.
TEST(Outbox, KeptMessagesOutliveAFullQueueInTheirPlace) {
    Outbox box(6, 1000);  // the window is at most 3
    int mid = 0;
    box.Add("birth", true);
    for (int i = 1; i <= 4; ++i) box.Add(std::to_string(i));
    box.Add("death", true);
    for (int i = 5; i <= 9; ++i) box.Add(std::to_string(i));
    box.Add("birth2", true);
    EXPECT_EQ(box.Held(), 6u);
    EXPECT_EQ(box.Dropped(), 6u);  // 1 to 6
    EXPECT_EQ(Payloads(TakeAll(box, mid)), (std::vector<std::string>{"birth", "death", "7"}));
    std::string acked;
    box.Acknowledged(1, &acked);
    EXPECT_EQ(acked, "birth");
    EXPECT_EQ(Payloads(TakeAll(box, mid)), (std::vector<std::string>{"8"}));
    box.Acknowledged(2, &acked);
    box.Acknowledged(3, &acked);
    EXPECT_EQ(acked, "7");
    EXPECT_EQ(Payloads(TakeAll(box, mid)), (std::vector<std::string>{"9", "birth2"}));
}

// A connection that breaks with messages unacknowledged: they go again on
// the next one, before anything newer, in their order, and only once; the
// retained texts go first, and only their latest text.
TEST(Outbox, AReconnectResendsTheUnacknowledgedInOrderAfterTheLatestRetainedTexts) {
    Outbox box(100, 4);
    int mid = 0;
    box.Retain(0, "s", "state 1");
    box.Retain(0, "s", "state 2");  // replaces the one not yet out
    box.Retain(1, "i", "info 1");
    for (int i = 1; i <= 6; ++i) box.Add(std::to_string(i));
    EXPECT_EQ(Payloads(TakeAll(box, mid)),
              (std::vector<std::string>{"Rstate 2", "Rinfo 1", "1", "2", "3", "4"}));
    box.Add("7");
    EXPECT_TRUE(TakeAll(box, mid).empty()) << "the window is full";
    box.Acknowledged(2);  // the info text
    box.Acknowledged(4);  // measurement 2; 1, 3 and 4 and the state stay open

    box.TakeBack();
    EXPECT_EQ(box.Held(), 6u);
    EXPECT_EQ(Payloads(TakeAll(box, mid)),
              (std::vector<std::string>{"Rstate 2", "1", "3", "4", "5"}));
    // Acknowledgements of the broken connection's ids mean nothing now.
    box.Acknowledged(5);
    EXPECT_EQ(box.Delivered(), 1u);

    // A message the library refused was never handed over: it goes again.
    box.TakeBack();
    Outbox::Message m;
    ASSERT_TRUE(box.Next(m));
    EXPECT_EQ(m.payload, "state 2");
    box.TakeBack();
    EXPECT_EQ(Payloads(TakeAll(box, mid)),
              (std::vector<std::string>{"Rstate 2", "1", "3", "4", "5"}));
}

// The finish is over only when nothing waits and all was acknowledged; a
// passing fault is tried again ever later, a permanent one never.
TEST(Outbox, FinishWaitsForEveryAcknowledgementAndOnlyPassingFaultsAreRetried) {
    Outbox box(10, 2);
    int mid = 0;
    EXPECT_TRUE(box.AllOut());
    box.Add("1");
    box.Retain(0, "s", "offline");
    EXPECT_FALSE(box.AllOut());
    const auto sent = TakeAll(box, mid);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FALSE(box.AllOut()) << "handed over is not acknowledged";
    box.Acknowledged(2);
    EXPECT_FALSE(box.AllOut()) << "the offline state is still open";
    box.Acknowledged(1);
    EXPECT_TRUE(box.AllOut());

    Retry retry;
    std::vector<double> waits;
    for (int i = 0; i < 7; ++i) waits.push_back(retry.After(false, LinkFault::Transient));
    EXPECT_EQ(waits, (std::vector<double>{1, 2, 4, 8, 16, 30, 30}));
    EXPECT_EQ(retry.After(true, LinkFault::Transient), 1) << "a connection that worked";
    EXPECT_EQ(retry.After(false, LinkFault::Transient), 1);
    EXPECT_EQ(retry.After(false, LinkFault::Transient), 2);
    EXPECT_LT(retry.After(true, LinkFault::Permanent), 0);
    EXPECT_TRUE(retry.GaveUp());
    EXPECT_LT(retry.After(false, LinkFault::Transient), 0) << "never again";
}

// QoS 0 is done as the client library writes it, inside the call that takes
// the message, before its id is known here: such an acknowledgement still
// counts, once, and the message never goes again on the next connection.
TEST(Outbox, AnAcknowledgementThatComesBeforeItsIdIsKnownCountsOnce) {
    Outbox box(100, 10);
    box.Add("a");
    box.Add("b");
    Outbox::Message m;
    ASSERT_TRUE(box.Next(m));
    box.Acknowledged(900);  // a birth's, sent before it: never claimed
    box.Acknowledged(7);
    std::string acked;
    EXPECT_TRUE(box.Handed(m, 7, &acked));
    EXPECT_EQ(acked, "a");
    ASSERT_TRUE(box.Next(m));
    EXPECT_FALSE(box.Handed(m, 8)) << "its own acknowledgement is still to come";
    box.TakeBack();  // the connection ends
    int mid = 10;
    EXPECT_EQ(Payloads(TakeAll(box, mid)), std::vector<std::string>{"b"});
    box.Acknowledged(11);
    EXPECT_TRUE(box.AllOut());
    EXPECT_EQ(box.Delivered(), 2u);
}
