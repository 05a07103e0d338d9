// Formatting into the updater's fixed 260-byte text buffers without ever
// writing past them.
#pragma once

#include <cstddef>

// The size of every path and message buffer (the platform's MAX_PATH).
constexpr std::size_t TextBufferSize = 260;
using TextBuffer = char[TextBufferSize];

// Formats like printf into out (capacity bytes). Returns 1 when the whole
// NUL-terminated result fits; otherwise returns 0 and leaves out as an empty
// string, so a cut-off path can never be used by mistake.
int FormatBounded(char* out, std::size_t capacity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
