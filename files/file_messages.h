// Operator texts that name a file: the path is shortened from its start so
// that the file's own name stays readable in a bounded buffer.
#pragma once

#include <cstddef>

void FormatFileMessage(char *out, std::size_t size, const char *prefix, const char *path);
