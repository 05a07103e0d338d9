// Decoding and checking an update container from its first bytes, without any
// file access: the header, the directory and what every entry points at.
// Every rule comes from payload/container_format.h, the header the updater's
// own reader uses; this file only gathers the results and words the problems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/container_format.h"

namespace sqpack {

struct EntryInfo {
  std::uint32_t index = 0;
  std::string name;          // the name bytes (Shift-JIS) up to the NUL or the field's end
  std::string key;           // NameKey(name)
  bool terminated = false;   // the field holds a NUL
  container::Location location{};
  std::uint64_t dataStart = 0;  // absolute position of the first data byte
  bool usable = false;       // the updater can open it: within the file and not empty
};

struct DirectoryInfo {
  container::Header header{};
  std::uint64_t fileSize = 0;
  std::uint64_t directorySize = 0;
  bool directoryFits = false;  // when false, `entries` is empty
  std::vector<EntryInfo> entries;
};

// Decodes a container of `fileSize` bytes whose first `available` bytes are
// at `bytes`. `available` must cover min(fileSize, 16 + D) once the header
// says how large D is; DirectoryBytesNeeded tells a caller how much to read.
DirectoryInfo ReadDirectory(const std::uint8_t* bytes, std::size_t available, std::uint64_t fileSize);

// How many leading bytes ReadDirectory needs, given the first 16 bytes (or
// fewer, for a short file; missing bytes count as zero, as the updater reads).
std::uint64_t DirectoryBytesNeeded(const std::uint8_t* head, std::size_t headSize, std::uint64_t fileSize);

// What two names share when the updater takes them for equal. The updater
// compares with lstrcmpiA, which reads both names as code page 932 text and
// ignores case. The key is therefore the name's Unicode text (so that the
// code page's duplicate encodings, such as 0x81E6 and 0x879A for one sign,
// meet) with the cased letters that code page 932 holds folded to lower case:
// ASCII and full-width Latin, Greek, Cyrillic and the Roman numerals. A name
// that is not valid code page 932 keeps its bytes, with ASCII letters folded.
std::string NameKey(const std::string& shiftJis);

bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// The index of the entry the updater picks for `name` (after taking its base
// name): the first whose name is equal ignoring case, usable or not. -1 when
// none is.
long FindEntry(const DirectoryInfo& directory, const std::string& name);

// Every problem of the container, one sentence each. `expected` lists names
// (Shift-JIS) that must be reachable by the updater.
std::vector<std::string> CheckContainer(const DirectoryInfo& directory,
                                        const std::vector<std::string>& expected);

// A name for messages: the bytes as UTF-8 when they are Shift-JIS, with any
// byte that is not written as \xNN.
std::string DisplayName(const std::string& shiftJis);

}  // namespace sqpack
