// Reads payloads the way the updater does and writes out what it got, so that
// containers made by sqpack can be checked against the updater's own reader.
//
//   payload_dump OUTDIR HEXNAME...
//
// Each HEXNAME is a payload name in Shift-JIS, as hex digits (so that no code
// page conversion of the command line stands between the test and the
// bytes). Payload i is opened with OpenPayload(name, "UpdateData.dat") from
// the current directory, read whole, and written to OUTDIR\i.bin; stdout gets
// one line per name: "i null", or "i SIZE DATASTART" once it is read.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "payload/payload_stream.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool FromHex(const char* hex, std::string* out) {
  out->clear();
  for (const char* p = hex; *p != '\0'; p += 2) {
    const int high = HexDigit(p[0]);
    const int low = p[1] == '\0' ? -1 : HexDigit(p[1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: payload_dump OUTDIR HEXNAME...\n");
    return 2;
  }
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const int index = i - 2;
    std::string name;
    if (!FromHex(argv[i], &name)) {
      std::fprintf(stderr, "payload_dump: bad hex name %s\n", argv[i]);
      return 2;
    }
    PayloadStream* stream = OpenPayload(name.c_str(), "UpdateData.dat");
    if (stream == nullptr) {
      std::printf("%d null\n", index);
      continue;
    }
    const uint32_t size = PayloadSize(stream);
    std::vector<char> buffer(size);
    const bool read = ReadPayload(stream, buffer.data(), size) == 1 && WaitPayload(stream) == 1;
    const uint32_t dataStart = stream->dataStart;
    ClosePayload(stream);
    if (!read) {
      std::printf("%d unreadable\n", index);
      status = 1;
      continue;
    }
    const std::string path = std::string(argv[1]) + "\\" + std::to_string(index) + ".bin";
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr || std::fwrite(buffer.data(), 1, size, out) != size || std::fclose(out) != 0) {
      std::fprintf(stderr, "payload_dump: cannot write %s\n", path.c_str());
      return 2;
    }
    std::printf("%d %lu %lu\n", index, static_cast<unsigned long>(size), static_cast<unsigned long>(dataStart));
  }
  return status;
}
