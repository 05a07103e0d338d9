// libFuzzer target: arbitrary bytes as a whole update container, through the
// decoding that sqpack and the updater share (payload/container_format.h):
// header, directory bounds, name fields, locations, entry bounds, the
// updater's lookup and every problem check. Every entry that the rules call
// usable is read in full, so that the sanitizers see any byte outside.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "container_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t needed = sqpack::DirectoryBytesNeeded(data, size, size);
  if (needed > size) std::abort();  // the reader would read past the file
  const sqpack::DirectoryInfo directory = sqpack::ReadDirectory(data, size, size);

  unsigned sum = 0;
  for (const sqpack::EntryInfo& entry : directory.entries) {
    if (!entry.usable) continue;
    const std::uint64_t end = entry.dataStart + entry.location.length;
    if (end > size || entry.location.offset >= container::OffsetLimit) std::abort();
    for (std::uint64_t p = entry.dataStart; p < end; ++p) sum += data[p];
    // Asked for by its own name, an entry leads to itself or to an earlier
    // entry of the same name; a name with a backslash byte is looked up by
    // the part after it, which may be any entry's name.
    const bool plainName = container::BaseName(entry.name.c_str()) == entry.name.c_str();
    if (plainName && sqpack::FindEntry(directory, entry.name) > static_cast<long>(entry.index)) std::abort();
  }

  // A container verify passes is one whose every entry the updater opens by
  // its own name.
  if (sqpack::CheckContainer(directory, {}).empty()) {
    if (directory.entries.empty()) std::abort();
    for (const sqpack::EntryInfo& entry : directory.entries) {
      if (!entry.usable || sqpack::FindEntry(directory, entry.name) != static_cast<long>(entry.index)) {
        std::abort();
      }
    }
  }
  const std::vector<std::string> expected = {"a.txt", "dir\\B.BIN", ""};
  for (const std::string& problem : sqpack::CheckContainer(directory, expected)) {
    sum += static_cast<unsigned>(problem.size());
  }
  return sum == 0xFFFFFFFFu ? 1 : 0;
}
