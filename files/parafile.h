// Parameter file: the third memory target of send and get.
#pragma once

#include <cstddef>

// A parameter file is at most this long; anything longer is no parameter file.
constexpr std::size_t PARAFILE_MAX_BYTES = 4096;

void SendParaToFile();
int ReadParaFromFile();
// The same without the dialog: 1 with the words taken, 0 with the reason in
// szStatus.
int ReadParaFromPath(const char *path);
// Why the last save or load failed, in a few words; "" when it went well.
const char *ParameterFileFault();

// The 30 words of a parameter file's text: numbers separated by white space
// or commas, each a whole number from 0 to 65535. Returns 1 with the words
// filled in, or 0 with words untouched and the reason (naming the line and
// the value) in why.
int ParseParameterText(const char *text, std::size_t size, unsigned short *words, char *why,
                       std::size_t whySize);
