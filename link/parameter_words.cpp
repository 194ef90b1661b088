// The parameter block, its frames, its limits and the raw values.
#include <cstdint>

#include "com232.h"

unsigned short parameter[34] = {0x0055, 1};

unsigned short Aval, Bval, Mvalue;
int umValue;
unsigned short tolup, tollo, edcntA, edcntB, peakwA, peakwB, anaMax, anaMin, raw13, raw14, raw15;

uint32_t ScaleFactor() {
    return parameter[PW_SCALE_LO] | static_cast<uint32_t>(parameter[PW_SCALE_HI]) << 16;
}

uint32_t SetpointValue() {
    return parameter[PW_SETPOINT_LO] | static_cast<uint32_t>(parameter[PW_SETPOINT_HI]) << 16;
}

void SetWord32(int lowWord, uint32_t value) {
    parameter[lowWord] = static_cast<unsigned short>(value & 0xFFFF);
    parameter[lowWord + 1] = static_cast<unsigned short>(value >> 16);
}

namespace {

// Frame 1 skips word 29: its last four payload words are the two 32-bit
// values, low half first.
int FrameWordIndex(unsigned short frame, int i) {
    if (frame == 0) return PW_FRAME0 + i;
    return i < 11 ? PW_FRAME1 + i : PW_SCALE_LO + (i - 11);
}

struct Limit {
    int word;
    unsigned short bound;  // 0: the bound is ccdvirtpixel
    int replacement;       // -1: ccdvirtpixel, -2: ccdvirtpixel / 2
};

// Applied in this order, each only when the word is above its bound.
const Limit kLimits[] = {
    {3, 1000, 500}, {18, 1000, 500},  {4, 255, 128}, {19, 255, 128}, {15, 1, 1},
    {12, 4, 0},     {16, 2048, 2048}, {11, 4, 1},    {14, 4, 0},     {13, 1, 1},
    {10, 1, 0},     {5, 0, -2},       {20, 0, -2},   {8, 0, -1},     {9, 0, -1},
};

}  // namespace

void LimitParameterWords() {
    for (const Limit &l : kLimits) {
        const unsigned short bound = l.bound ? l.bound : ccdvirtpixel;
        if (parameter[l.word] <= bound) continue;
        if (l.replacement == -1)
            parameter[l.word] = ccdvirtpixel;
        else if (l.replacement == -2)
            parameter[l.word] = ccdvirtpixel / 2;
        else
            parameter[l.word] = static_cast<unsigned short>(l.replacement);
    }
}

unsigned short ParameterWordBound(int word) {
    for (const Limit &l : kLimits)
        if (l.word == word) return l.bound ? l.bound : ccdvirtpixel;
    return 0xFFFF;
}

int ParameterWordOfFrame(unsigned short frame, int i) { return FrameWordIndex(frame, i); }

void CopyVarsToPP(unsigned short frame) {
    for (int i = 0; i < 15; ++i) pp[i] = parameter[FrameWordIndex(frame, i)];
}

void CopyPPtoVars(unsigned short frame) {
    for (int i = 0; i < 15; ++i) parameter[FrameWordIndex(frame, i)] = pp[i];
}

void CopyPPtoRAWVars() {
    Aval = pp[0];
    Bval = pp[1];
    Mvalue = pp[2];
    umValue = static_cast<int>(static_cast<uint32_t>(pp[3]) << 16 | pp[4]);
    tolup = pp[5];
    tollo = pp[6];
    edcntA = pp[7];
    edcntB = pp[8];
    peakwA = pp[9];
    peakwB = pp[10];
    anaMax = pp[11];
    anaMin = pp[12];
    raw13 = pp[13];
    raw14 = pp[14];
    raw15 = pp[15];
}
