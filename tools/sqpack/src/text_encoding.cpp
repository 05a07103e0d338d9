#include "text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#endif

namespace sqpack {

#ifdef _WIN32

namespace {

constexpr UINT ShiftJisCodePage = 932;

bool ToWide(UINT codePage, const std::string& text, std::wstring* wide) {
  wide->clear();
  if (text.empty()) return true;
  const int size = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (count <= 0) return false;
  wide->resize(static_cast<std::size_t>(count));
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, &(*wide)[0], count) == count;
}

bool FromWide(UINT codePage, const std::wstring& wide, std::string* out) {
  out->clear();
  if (wide.empty()) return true;
  const int size = static_cast<int>(wide.size());
  // Best-fit mapping would silently turn a character into a look-alike.
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = codePage == CP_UTF8 ? nullptr : &usedDefault;
  const int count = WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, usedDefaultOut);
  if (count <= 0 || usedDefault) return false;
  out->resize(static_cast<std::size_t>(count));
  return WideCharToMultiByte(codePage, flags, wide.data(), size, &(*out)[0], count, nullptr, usedDefaultOut) ==
             count &&
         !usedDefault;
}

}  // namespace

bool Utf8ToShiftJis(const std::string& utf8, std::string* out) {
  std::wstring wide;
  return ToWide(CP_UTF8, utf8, &wide) && FromWide(ShiftJisCodePage, wide, out);
}

bool ShiftJisToUtf8(const std::string& shiftJis, std::string* out) {
  std::wstring wide;
  return ToWide(ShiftJisCodePage, shiftJis, &wide) && FromWide(CP_UTF8, wide, out);
}

#else

namespace {

// One converter per direction, opened on first use and kept (the tool is
// single-threaded); reset to its initial state before each text.
enum class Direction { ToShiftJis, FromShiftJis };

iconv_t Converter(Direction direction) {
  static const iconv_t toShiftJis = iconv_open("CP932", "UTF-8");
  static const iconv_t fromShiftJis = iconv_open("UTF-8", "CP932");
  const iconv_t cd = direction == Direction::ToShiftJis ? toShiftJis : fromShiftJis;
  if (cd != reinterpret_cast<iconv_t>(-1)) iconv(cd, nullptr, nullptr, nullptr, nullptr);
  return cd;
}

bool Convert(Direction direction, const std::string& text, std::string* out) {
  out->clear();
  const iconv_t cd = Converter(direction);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input = text;
  char* in = input.empty() ? nullptr : &input[0];
  std::size_t inLeft = input.size();
  bool ok = true;
  char buffer[256];
  while (inLeft > 0) {
    char* o = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
    out->append(buffer, sizeof buffer - outLeft);
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      ok = false;  // EILSEQ: not representable or not valid; EINVAL: cut short
      break;
    }
  }
  return ok;
}

}  // namespace

// iconv maps some characters to look-alikes without failing (U+00A5 YEN SIGN
// to the byte 0x5C, U+301C WAVE DASH to 0x8160), so a name counts as
// representable only when it converts back unchanged.
bool Utf8ToShiftJis(const std::string& utf8, std::string* out) {
  std::string back;
  return Convert(Direction::ToShiftJis, utf8, out) && Convert(Direction::FromShiftJis, *out, &back) && back == utf8;
}

bool ShiftJisToUtf8(const std::string& shiftJis, std::string* out) {
  return Convert(Direction::FromShiftJis, shiftJis, out);
}

#endif

}  // namespace sqpack
