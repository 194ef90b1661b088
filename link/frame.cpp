#include "frame.h"

unsigned short FrameWord(const unsigned char *at) {
    return static_cast<unsigned short>(at[0] << 8 | at[1]);
}

void PutFrameWord(unsigned char *at, unsigned short word) {
    at[0] = static_cast<unsigned char>(word >> 8);
    at[1] = static_cast<unsigned char>(word & 0xFF);
}

void EncodeRequest(unsigned char *frame, unsigned short command, unsigned short subArgument,
                   const unsigned short *words) {
    PutFrameWord(frame, FRAME_HEADER);
    PutFrameWord(frame + 2, command);
    PutFrameWord(frame + 4, subArgument);
    for (int i = 0; i < FRAME_WORDS; ++i) PutFrameWord(frame + 6 + 2 * i, words[i]);
}

void EncodeBlockRequest(unsigned char *frame, unsigned short header, unsigned short offset,
                        unsigned short channel) {
    PutFrameWord(frame, header);
    PutFrameWord(frame + 2, CMD_DATA_BLOCK);
    PutFrameWord(frame + 4, offset);
    PutFrameWord(frame + 6, channel);
    for (int byte = 8; byte < 34; ++byte) frame[byte] = 0;
}

int DecodeReply(const unsigned char *frame, unsigned short *words) {
    if (FrameWord(frame + 2) == CMD_RAW_VALUES) {
        for (int i = 0; i < 16; ++i) words[i] = FrameWord(frame + 4 + 2 * i);
        return 1;
    }
    for (int i = 0; i < FRAME_WORDS; ++i) words[i] = FrameWord(frame + 6 + 2 * i);
    return 0;
}

int ReplyBytes(unsigned short command) {
    switch (command) {
        case CMD_WRITE_RAM:
        case CMD_WRITE_EEPROM:
            return 0;
        case CMD_FIRMWARE:
            return FIRMWARE_BYTES;
        case CMD_DATA_BLOCK:
            return BLOCK_BYTES;
        default:
            return FRAME_BYTES;
    }
}

bool IsReplyTo(const unsigned char *frame, unsigned short command) {
    return FrameWord(frame) == FRAME_SYNC && FrameWord(frame + 2) == command;
}

namespace {

// As many of the four opening bytes as there are agree with a reply's.
bool MayOpenReply(const unsigned char *at, int have, unsigned short command) {
    const unsigned char opening[4] = {0x00, 0xAA, static_cast<unsigned char>(command >> 8),
                                      static_cast<unsigned char>(command & 0xFF)};
    for (int i = 0; i < have && i < 4; ++i)
        if (at[i] != opening[i]) return false;
    return true;
}

}  // namespace

int FindReply(const unsigned char *bytes, int count, unsigned short command, int *keepFrom) {
    int keep = count < 0 ? 0 : count;
    for (int at = 0; at < count; ++at) {
        const int have = count - at;
        if (!MayOpenReply(bytes + at, have, command)) continue;
        if (have >= FRAME_BYTES) {
            *keepFrom = at;
            return at;
        }
        if (keep == count) keep = at;  // the earliest start that may still complete
        break;
    }
    *keepFrom = keep;
    return -1;
}
