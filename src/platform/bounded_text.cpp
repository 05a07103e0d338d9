#include "platform/bounded_text.h"

#include <cstdarg>
#include <cstdio>

int FormatBounded(char* out, std::size_t capacity, const char* format, ...) {
  if (capacity == 0) return 0;
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(out, capacity, format, args);
  va_end(args);
  if (length < 0 || static_cast<std::size_t>(length) >= capacity) {
    out[0] = '\0';
    return 0;
  }
  return 1;
}
