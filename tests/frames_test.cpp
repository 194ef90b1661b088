// Frames built and decoded directly on the buffers, and the parameter block's
// mapping onto frame payloads.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "com232.h"
#include "frame.h"
#include "ui.h"

namespace {

void PutReplyWord(int byte, unsigned short w) {
    szReadBuf[byte] = static_cast<unsigned char>(w >> 8);
    szReadBuf[byte + 1] = static_cast<unsigned char>(w & 0xFF);
}

unsigned short TxWord(int byte) {
    return static_cast<unsigned short>(szWriteBuf[byte] << 8 | szWriteBuf[byte + 1]);
}

}  // namespace

TEST(Frames, RequestIsHeaderCommandSubArgumentAndFifteenBigEndianWords) {
    unsigned short words[15];
    for (int i = 0; i < 15; ++i) words[i] = static_cast<unsigned short>(0x0102 * (i + 1));
    std::memset(szWriteBuf, 0xEE, sizeof szWriteBuf);
    FillTxBuf(5, 1, words);

    const unsigned char head[6] = {0x00, 0x55, 0x00, 0x05, 0x00, 0x01};
    EXPECT_EQ(0, std::memcmp(szWriteBuf, head, 6));
    for (int i = 0; i < 15; ++i) EXPECT_EQ(words[i], TxWord(6 + 2 * i)) << "payload word " << i;
    EXPECT_EQ(0x0F, szWriteBuf[34]);  // high byte of 0x0F1E
    EXPECT_EQ(0xEE, szWriteBuf[36]) << "the builder writes 36 bytes, no more";
}

TEST(Frames, RawValuesShapeDecodesSixteenWordsFromByteFour) {
    std::memset(szReadBuf, 0, 36);
    PutReplyWord(0, 0x00AA);
    PutReplyWord(2, 8);
    for (int i = 0; i < 16; ++i) PutReplyWord(4 + 2 * i, static_cast<unsigned short>(1000 + i));
    pp[15] = 0;
    EXPECT_EQ(1, GetRxBuf());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(1000 + i, pp[i]);
}

TEST(Frames, OtherRepliesDecodeFifteenWordsFromByteSixAndKeepTheLastWord) {
    for (unsigned short command : {0, 2, 5, 7, 9, 10, 0xFFFF}) {
        std::memset(szReadBuf, 0, 36);
        PutReplyWord(2, command);
        PutReplyWord(4, 0xBEEF);  // the sub-argument is not payload
        for (int i = 0; i < 15; ++i) PutReplyWord(6 + 2 * i, static_cast<unsigned short>(i * 7));
        pp[15] = 4321;
        EXPECT_EQ(0, GetRxBuf()) << "command " << command;
        for (int i = 0; i < 15; ++i) EXPECT_EQ(i * 7, pp[i]);
        EXPECT_EQ(4321, pp[15]);
    }
}

TEST(Frames, DecoderNeverLooksAtTheSyncWordNorBeyondThirtySixBytes) {
    std::memset(szReadBuf, 0x5A, sizeof szReadBuf);
    PutReplyWord(0, 0x1234);
    PutReplyWord(2, 8);
    for (int i = 0; i < 16; ++i) PutReplyWord(4 + 2 * i, 7);
    EXPECT_EQ(1, GetRxBuf());
    for (int i = 0; i < 16; ++i) EXPECT_EQ(7, pp[i]);
}

// A frame of random bytes is decoded within the buffers whatever it holds;
// the address sanitizer of the test build watches every access.
TEST(Frames, RandomFramesDecodeWithinBounds) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 2000; ++round) {
        for (int i = 0; i < 36; ++i) szReadBuf[i] = static_cast<unsigned char>(rng());
        if (round % 3 == 0) PutReplyWord(2, 8);
        const unsigned short cmd = static_cast<unsigned short>(szReadBuf[2] << 8 | szReadBuf[3]);
        const int shape = GetRxBuf();
        EXPECT_EQ(cmd == 8 ? 1 : 0, shape);
        CopyPPtoRAWVars();
    }
}

TEST(ParameterBlock, FrameOneCarriesElevenWordsThenBothThirtyTwoBitValuesLowHalfFirst) {
    for (int i = 0; i < 34; ++i) parameter[i] = static_cast<unsigned short>(100 + i);
    CopyVarsToPP(1);
    for (int i = 0; i < 11; ++i) EXPECT_EQ(118 + i, pp[i]);
    EXPECT_EQ(130, pp[11]);  // scale factor, low half
    EXPECT_EQ(131, pp[12]);  // scale factor, high half
    EXPECT_EQ(132, pp[13]);  // setpoint, low half
    EXPECT_EQ(133, pp[14]);  // setpoint, high half

    CopyVarsToPP(0);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(103 + i, pp[i]);
    // Any frame number but 0 means frame 1.
    CopyVarsToPP(7);
    EXPECT_EQ(118, pp[0]);
}

TEST(ParameterBlock, CopyBackRestoresTheFrameAndLeavesTheUnusedWordAlone) {
    for (int i = 0; i < 34; ++i) parameter[i] = 0;
    parameter[29] = 0x2929;
    for (int i = 0; i < 16; ++i) pp[i] = static_cast<unsigned short>(500 + i);
    CopyPPtoVars(1);
    EXPECT_EQ(500, parameter[18]);
    EXPECT_EQ(510, parameter[28]);
    EXPECT_EQ(0x2929, parameter[29]);
    EXPECT_EQ(511u | 512u << 16, ScaleFactor());
    EXPECT_EQ(513u | 514u << 16, SetpointValue());
    EXPECT_EQ(0, parameter[PW_FRAME0]) << "frame 0 untouched";

    CopyPPtoVars(0);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(500 + i, parameter[3 + i]);
    EXPECT_EQ(0, parameter[PW_SUBARG]);
}

TEST(RawValues, MeasuredValueArrivesHighHalfFirstAndIsSigned) {
    for (int i = 0; i < 16; ++i) pp[i] = static_cast<unsigned short>(i + 1);
    pp[3] = 0;
    pp[4] = 37000;  // 37000 µm
    CopyPPtoRAWVars();
    EXPECT_EQ(1, Aval);
    EXPECT_EQ(2, Bval);
    EXPECT_EQ(3, Mvalue);
    EXPECT_EQ(37000, umValue);
    EXPECT_EQ(6, tolup);
    EXPECT_EQ(7, tollo);
    EXPECT_EQ(8, edcntA);
    EXPECT_EQ(9, edcntB);
    EXPECT_EQ(10, peakwA);
    EXPECT_EQ(11, peakwB);
    EXPECT_EQ(12, anaMax);
    EXPECT_EQ(13, anaMin);
    EXPECT_EQ(16, raw15);

    pp[3] = 0xFFFF;
    pp[4] = 0xFFFE;
    CopyPPtoRAWVars();
    EXPECT_EQ(-2, umValue);
    pp[3] = 0x0001;
    pp[4] = 0x0000;
    CopyPPtoRAWVars();
    EXPECT_EQ(65536, umValue);
}

TEST(PortErrors, EachOpeningFailureHasItsTextAndAnythingElseIsGeneric) {
    EXPECT_STREQ("Unknown system error", ComErrorText(-1));
    EXPECT_STREQ("Invalid port number", ComErrorText(-2));
    EXPECT_STREQ("Port is not open", ComErrorText(-3));
    EXPECT_STREQ("Unknown I/0 error", ComErrorText(-4));
    EXPECT_STREQ("No serial port found", ComErrorText(-6));
    EXPECT_STREQ("Cannot open port", ComErrorText(-7));
    EXPECT_STREQ("Port in use by another program", ComErrorText(-8));
    EXPECT_STREQ("Invalid parameter", ComErrorText(-13));
    EXPECT_STREQ("Timeout", ComErrorText(-99));
    for (int code : {-5, -9, -12, -100, -20003}) EXPECT_STREQ("RS-232 error!", ComErrorText(code));
}

TEST(Status, TextsAreCutToTheBufferAndAlwaysTerminated) {
    char longText[200];
    std::memset(longText, 'x', sizeof longText - 1);
    longText[199] = '\0';
    SetStatus(longText);
    EXPECT_EQ(71u, std::strlen(szStatus));
    SetStatus("Echo Check - Line Ok!");
    EXPECT_STREQ("Echo Check - Line Ok!", szStatus);
}

// ------------------------------------------------------------ finding a reply in a stream

namespace {

std::vector<unsigned char> Reply(unsigned short sync, unsigned short command, unsigned short seed) {
    std::vector<unsigned char> f(36);
    PutFrameWord(f.data(), sync);
    PutFrameWord(f.data() + 2, command);
    for (int i = 0; i < 16; ++i)
        PutFrameWord(f.data() + 4 + 2 * i, static_cast<unsigned short>(seed + 3 * i));
    return f;
}

}  // namespace

TEST(FindReply, OnlyAWholeReplyWithSyncWordAndTheAwaitedCommandCounts) {
    const auto good = Reply(FRAME_SYNC, CMD_READ_RAM, 100);
    int keep = -1;
    EXPECT_EQ(0, FindReply(good.data(), 36, CMD_READ_RAM, &keep));
    EXPECT_EQ(-1, FindReply(good.data(), 36, CMD_RAW_VALUES, &keep)) << "another command";
    EXPECT_EQ(36, keep) << "none of it can start the awaited reply";
    const auto badSync = Reply(0x00AB, CMD_READ_RAM, 100);
    EXPECT_EQ(-1, FindReply(badSync.data(), 36, CMD_READ_RAM, &keep));

    // A torn reply waits for its rest; bytes before it may go.
    std::vector<unsigned char> torn = {0x12, 0x00, 0xAA, 0x00, 0x02, 0x00};
    EXPECT_EQ(-1, FindReply(torn.data(), static_cast<int>(torn.size()), CMD_READ_RAM, &keep));
    EXPECT_EQ(1, keep);
    // A lone 00 at the end may still open one.
    std::vector<unsigned char> tail = {0x55, 0x55, 0x00};
    EXPECT_EQ(-1, FindReply(tail.data(), 3, CMD_READ_RAM, &keep));
    EXPECT_EQ(2, keep);
}

// Garbage of any length, with false starts in it, before a reply: the reply is
// found where it begins and decodes to its own words.
TEST(FindReply, AReplyAfterGarbageIsFoundAndDecodesToItsWords) {
    std::mt19937 rng(99);
    for (int round = 0; round < 500; ++round) {
        std::vector<unsigned char> stream(rng() % 80);
        for (auto &b : stream) b = static_cast<unsigned char>(rng());
        if (round % 4 == 0 && stream.size() > 4)
            stream[stream.size() - 2] = 0x00, stream.back() = 0xAA;
        const auto wrong = Reply(0x00AA, CMD_HARDWARE, 7);
        if (round % 5 == 0) stream.insert(stream.end(), wrong.begin(), wrong.end());
        const std::size_t at = stream.size();
        const auto reply = Reply(FRAME_SYNC, CMD_RAW_VALUES, static_cast<unsigned short>(round));
        stream.insert(stream.end(), reply.begin(), reply.end());
        for (int i = 0; i < 5; ++i) stream.push_back(static_cast<unsigned char>(rng()));

        int keep = -1;
        const int found =
            FindReply(stream.data(), static_cast<int>(stream.size()), CMD_RAW_VALUES, &keep);
        ASSERT_EQ(static_cast<int>(at), found) << "round " << round;
        unsigned short words[16] = {};
        EXPECT_EQ(1, DecodeReply(stream.data() + found, words));
        for (int i = 0; i < 16; ++i) EXPECT_EQ(round + 3 * i, words[i]);
    }
}

TEST(FirmwareText, BoardTypeZeroTakesOneCharacterPerSmallWordAndTwoPerLargeOne) {
    const int oneEach[] = {'K', '-', 'V', 0, 'x'};
    char text[72];
    Fmt(text, "%72c<%36i", oneEach);
    EXPECT_STREQ("K-V", text);
    const int pairs[] = {('F' << 8) | 'W', ('1' << 8) | '.', '2', 0};
    Fmt(text, "%72c<%36i", pairs);
    EXPECT_STREQ("FW1.2", text);
}
