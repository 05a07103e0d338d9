#include "container_reader.h"

#include <cstdio>
#include <unordered_map>

#include "text_encoding.h"

namespace sqpack {

namespace {

// The 16 header bytes as the updater sees them: what the file supplies,
// zeros after that.
container::Header HeaderOf(const std::uint8_t* bytes, std::size_t available) {
  std::uint8_t head[container::HeaderSize] = {};
  for (std::size_t i = 0; i < available && i < container::HeaderSize; ++i) head[i] = bytes[i];
  return container::DecodeHeader(head);
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The lower-case partner of an upper-case letter of code page 932.
char32_t FoldLetter(char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xFF21 && c <= 0xFF3A) || (c >= 0x0391 && c <= 0x03A9 && c != 0x03A2) ||
      (c >= 0x0410 && c <= 0x042F)) {
    return c + 0x20;  // ASCII, full-width Latin, Greek, Cyrillic
  }
  if (c == 0x0401) return 0x0451;                    // Ё
  if (c >= 0x2160 && c <= 0x216F) return c + 0x10;   // Roman numerals
  return c;
}

// Decodes UTF-8 that the converter produced (so known to be valid).
std::u32string DecodeUtf8(const std::string& utf8) {
  std::u32string text;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<std::uint8_t>(utf8[i]);
    const std::size_t width = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t c = width == 1 ? b : width == 2 ? (b & 0x1Fu) : width == 3 ? (b & 0x0Fu) : (b & 0x07u);
    for (std::size_t k = 1; k < width && i + k < utf8.size(); ++k) {
      c = c << 6 | (static_cast<std::uint8_t>(utf8[i + k]) & 0x3Fu);
    }
    text.push_back(c);
    i += width;
  }
  return text;
}

std::string Quoted(const EntryInfo& entry) {
  return "entry " + std::to_string(entry.index) + " \"" + DisplayName(entry.name) + "\"";
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

std::uint64_t DirectoryBytesNeeded(const std::uint8_t* head, std::size_t headSize, std::uint64_t fileSize) {
  const container::Header header = HeaderOf(head, headSize);
  if (!container::DirectoryFits(header, fileSize)) return fileSize < container::HeaderSize ? fileSize : container::HeaderSize;
  return container::HeaderSize + container::DirectorySize(header);
}

DirectoryInfo ReadDirectory(const std::uint8_t* bytes, std::size_t available, std::uint64_t fileSize) {
  DirectoryInfo info;
  info.fileSize = fileSize;
  info.header = HeaderOf(bytes, available);
  info.directorySize = container::DirectorySize(info.header);
  info.directoryFits = container::DirectoryFits(info.header, fileSize) &&
                       container::HeaderSize + info.directorySize <= available;
  if (!info.directoryFits) return info;

  const std::uint8_t* directory = bytes + container::HeaderSize;
  const std::uint32_t fieldSize = container::NameFieldSize(info.header.layoutMark);
  info.entries.reserve(info.header.entryCount);
  for (std::uint32_t i = 0; i < info.header.entryCount; ++i) {
    EntryInfo entry;
    entry.index = i;
    const std::uint8_t* field = container::NameField(directory, info.header, i);
    const std::uint32_t length = container::NameLength(field, fieldSize);
    entry.name.assign(reinterpret_cast<const char*>(field), length);
    entry.key = NameKey(entry.name);
    entry.terminated = length < fieldSize;
    entry.location = container::DecodeLocation(directory, info.header, i);
    entry.dataStart = container::DataStart(info.header, entry.location);
    entry.usable = entry.location.length != 0 && container::EntryWithinFile(info.header, entry.location, fileSize);
    info.entries.push_back(entry);
  }
  return info;
}

std::string NameKey(const std::string& shiftJis) {
  std::string utf8;
  std::string key;
  if (ShiftJisToUtf8(shiftJis, &utf8)) {
    key = "u";
    for (const char32_t c : DecodeUtf8(utf8)) {
      const char32_t folded = FoldLetter(c);
      for (int shift = 24; shift >= 0; shift -= 8) key.push_back(static_cast<char>((folded >> shift) & 0xFFu));
    }
  } else {
    key = "b";
    for (const char c : shiftJis) key.push_back(FoldAscii(c));
  }
  return key;
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) { return NameKey(a) == NameKey(b); }

long FindEntry(const DirectoryInfo& directory, const std::string& name) {
  const std::string key = NameKey(container::BaseName(name.c_str()));
  for (const EntryInfo& entry : directory.entries) {
    if (entry.key == key) return static_cast<long>(entry.index);
  }
  return -1;
}

std::vector<std::string> CheckContainer(const DirectoryInfo& directory,
                                        const std::vector<std::string>& expected) {
  std::vector<std::string> problems;
  const std::string fileSize = std::to_string(directory.fileSize);
  if (directory.fileSize < container::HeaderSize) {
    problems.push_back("file of " + fileSize + " bytes is shorter than the " +
                       std::to_string(container::HeaderSize) + "-byte header");
  }
  if (directory.header.entryCount == 0) {
    problems.push_back("container holds no entries");
  } else if (!directory.directoryFits) {
    problems.push_back("directory of " + std::to_string(directory.header.entryCount) + " entries (" +
                       std::to_string(directory.directorySize) + " bytes) runs past the end of the file (" +
                       fileSize + " bytes)");
  }

  std::unordered_map<std::string, std::uint32_t> firstWithName;
  for (const EntryInfo& entry : directory.entries) {
    const std::uint32_t fieldSize = container::NameFieldSize(directory.header.layoutMark);
    if (!entry.terminated) {
      problems.push_back(Quoted(entry) + ": name field holds no NUL within its " + std::to_string(fieldSize) +
                         " bytes");
    }
    const bool reachableName = !entry.name.empty() && container::BaseName(entry.name.c_str()) == entry.name.c_str();
    if (entry.name.empty()) {
      problems.push_back(Quoted(entry) + ": empty name");
    } else if (!reachableName) {
      problems.push_back(Quoted(entry) +
                         ": name holds the byte 0x5C (a backslash), where the updater cuts a name; it can never "
                         "be found");
    }
    if (entry.location.offset >= container::OffsetLimit) {
      problems.push_back(Quoted(entry) + ": offset " + Hex32(entry.location.offset) + " is not below 2^31");
    } else if (!container::EntryWithinFile(directory.header, entry.location, directory.fileSize)) {
      const std::uint64_t end = entry.dataStart + entry.location.length;
      problems.push_back(Quoted(entry) + ": data ends at position " + std::to_string(end) +
                         (end > directory.fileSize ? ", past the end of the file (" + fileSize + " bytes)"
                                                   : ", beyond 32-bit positions"));
    }
    if (entry.location.length == 0) {
      problems.push_back(Quoted(entry) + ": length 0; the updater treats an empty entry as missing");
    }
    if (reachableName) {
      const auto first = firstWithName.emplace(entry.key, entry.index).first->second;
      if (first != entry.index) {
        problems.push_back(Quoted(entry) + ": same name as " + Quoted(directory.entries[first]) +
                           " to the updater; only the first is reachable");
      }
    }
  }

  for (const std::string& name : expected) {
    const long found = FindEntry(directory, name);
    const std::string shown = "expected \"" + DisplayName(name) + "\"";
    if (found < 0) {
      problems.push_back(shown + ": no entry of that name");
    } else if (!directory.entries[static_cast<std::size_t>(found)].usable) {
      problems.push_back(shown + ": the updater finds " +
                         Quoted(directory.entries[static_cast<std::size_t>(found)]) + ", which it cannot open");
    }
  }
  return problems;
}

std::string DisplayName(const std::string& shiftJis) {
  std::string shown;
  std::size_t i = 0;
  while (i < shiftJis.size()) {
    const auto lead = static_cast<std::uint8_t>(shiftJis[i]);
    const bool twoBytes = ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) && i + 1 < shiftJis.size();
    const std::size_t width = twoBytes ? 2 : 1;
    std::string utf8;
    if (lead >= 0x20 && lead != 0x7F && ShiftJisToUtf8(shiftJis.substr(i, width), &utf8)) {
      shown += utf8;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(lead));
      shown += escaped;
      i += 1;
      continue;
    }
    i += width;
  }
  return shown;
}

}  // namespace sqpack
