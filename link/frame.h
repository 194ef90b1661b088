// The frames on the line, as plain bytes: command codes, the 36-byte request
// and reply, and the search for a reply in a stream that may hold anything.
// No globals, no port, no screen: everything works on buffers passed in.
#pragma once

#include <cstddef>

enum Command : unsigned short {
    CMD_WRITE_RAM = 1,
    CMD_READ_RAM = 2,
    CMD_WRITE_EEPROM = 3,
    CMD_READ_EEPROM = 4,
    CMD_LINE_CHECK = 5,
    CMD_TEACH = 6,
    CMD_FIRMWARE = 7,
    CMD_RAW_VALUES = 8,
    CMD_DATA_BLOCK = 9,
    CMD_HARDWARE = 10,
    CMD_RESET_MAXMIN = 11,
};

constexpr int FRAME_BYTES = 36;
constexpr int FIRMWARE_BYTES = 72;
constexpr int BLOCK_BYTES = 128;
constexpr int FRAME_WORDS = 15;
constexpr unsigned short FRAME_HEADER = 0x0055;
constexpr unsigned short FRAME_SYNC = 0x00AA;

unsigned short FrameWord(const unsigned char *at);
void PutFrameWord(unsigned char *at, unsigned short word);

// Bytes 0-35 of a request: header, command, sub-argument, 15 payload words.
void EncodeRequest(unsigned char *frame, unsigned short command, unsigned short subArgument,
                   const unsigned short *words);
// Bytes 0-33 of a data-block request; bytes 34-35 are left as they are.
void EncodeBlockRequest(unsigned char *frame, unsigned short header, unsigned short offset,
                        unsigned short channel);
// The reply's words into words[16]: 16 from byte 4 for the raw-values shape
// (result 1), else 15 from byte 6 with words[15] untouched (result 0).
int DecodeReply(const unsigned char *frame, unsigned short *words);

// Bytes of a reply to a request with this command: 36 for a frame, 72 or 128
// for the raw replies, 0 where the sensor sends none.
int ReplyBytes(unsigned short command);
// The frame opens with the sync word and answers this command.
bool IsReplyTo(const unsigned char *frame, unsigned short command);

// Looks for a reply to command in count bytes. Returns the offset of the
// first complete one, or -1. *keepFrom tells where the bytes that may still
// become a reply begin: everything before it can be dropped.
int FindReply(const unsigned char *bytes, int count, unsigned short command, int *keepFrom);
