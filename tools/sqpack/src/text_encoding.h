// Conversion between UTF-8 (the tool's command line and output) and
// Shift-JIS, code page 932 (the container's names, as the updater reads them
// through the ANSI Win32 functions). iconv's CP932 on Linux and the Win32
// code page 932 on Windows, behind these two functions.
#pragma once

#include <string>

namespace sqpack {

// False when `utf8` is not valid UTF-8 or holds a character that code page
// 932 cannot represent; `out` then holds no useful text.
bool Utf8ToShiftJis(const std::string& utf8, std::string* out);

// False when `shiftJis` is not valid code page 932 text.
bool ShiftJisToUtf8(const std::string& shiftJis, std::string* out);

}  // namespace sqpack
