// The update container UpdateData.dat: its layout constants and the decoding
// of its header and directory. Header-only and free of Win32 so that the
// updater's reader and the publisher's tool share one copy of the rules.
//
//   position  length  field
//   0         11      signature (not examined by the reader)
//   11        1       layout mark: '2' selects the wide layout, anything else narrow
//   12        4       entry count N, little-endian
//   16        D       directory: N name fields, then N location records
//   16 + D    rest    data area; a location's offset counts from here
//
// A name field holds a NUL-terminated name in the ANSI code page (Shift-JIS).
// A location record is offset then length, both little-endian 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace container {

constexpr std::uint32_t HeaderSize = 16;
constexpr std::uint32_t SignatureSize = 11;
constexpr std::uint32_t LayoutMarkPosition = 11;
constexpr std::uint32_t EntryCountPosition = 12;
constexpr std::uint8_t WideLayoutMark = '2';
constexpr std::uint32_t WideNameFieldSize = 32;
constexpr std::uint32_t NarrowNameFieldSize = 16;
constexpr std::uint32_t LocationRecordSize = 8;
// The reader reaches an entry by a signed 32-bit move from the end of the
// directory, so offsets stay below this.
constexpr std::uint32_t OffsetLimit = 0x80000000u;

struct Header {
  std::uint8_t layoutMark;
  std::uint32_t entryCount;
};

inline std::uint32_t ReadLittle32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void WriteLittle32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

// Decodes the 16 header bytes. Bytes a short file did not supply must be
// zero, which makes a file of 12 bytes or fewer a container with no entries.
inline Header DecodeHeader(const std::uint8_t* bytes) {
  return Header{bytes[LayoutMarkPosition], ReadLittle32(bytes + EntryCountPosition)};
}

inline std::uint32_t NameFieldSize(std::uint8_t layoutMark) {
  return layoutMark == WideLayoutMark ? WideNameFieldSize : NarrowNameFieldSize;
}

// The directory size D = N × (name field + location record), computed without
// overflow; it exceeds 32 bits for hostile counts.
inline std::uint64_t DirectorySize(const Header& header) {
  return static_cast<std::uint64_t>(header.entryCount) *
         (NameFieldSize(header.layoutMark) + LocationRecordSize);
}

// True when the directory fits in 32 bits and lies within a file of fileSize
// bytes. A container that fails this holds nothing a reader may use.
inline bool DirectoryFits(const Header& header, std::uint64_t fileSize) {
  const std::uint64_t size = DirectorySize(header);
  return size <= 0xFFFFFFFFu && HeaderSize + size <= fileSize;
}

// Where name field i starts within the directory.
inline std::size_t NameFieldPosition(const Header& header, std::uint32_t index) {
  return static_cast<std::size_t>(index) * NameFieldSize(header.layoutMark);
}

// Name field i of a directory (D bytes, as read from position 16).
inline const std::uint8_t* NameField(const std::uint8_t* directory, const Header& header,
                                     std::uint32_t index) {
  return directory + NameFieldPosition(header, index);
}

// Length of the name in a field: up to its NUL, or the whole field when the
// field holds no NUL (a malformed container).
inline std::uint32_t NameLength(const std::uint8_t* field, std::uint32_t fieldSize) {
  std::uint32_t length = 0;
  while (length < fieldSize && field[length] != 0) ++length;
  return length;
}

struct Location {
  std::uint32_t offset;
  std::uint32_t length;
};

// Where location record i starts within the directory: after all N name fields.
inline std::size_t LocationRecordPosition(const Header& header, std::uint32_t index) {
  return static_cast<std::size_t>(header.entryCount) * NameFieldSize(header.layoutMark) +
         static_cast<std::size_t>(index) * LocationRecordSize;
}

inline Location DecodeLocation(const std::uint8_t* directory, const Header& header,
                               std::uint32_t index) {
  const std::uint8_t* record = directory + LocationRecordPosition(header, index);
  return Location{ReadLittle32(record), ReadLittle32(record + 4)};
}

// Absolute position of an entry's first byte: 16 + D + offset.
inline std::uint64_t DataStart(const Header& header, const Location& location) {
  return HeaderSize + DirectorySize(header) + location.offset;
}

// True when the entry can be reached by the reader's signed move and all of
// its bytes lie within a file of fileSize bytes, with positions that fit the
// format's 32 bits.
inline bool EntryWithinFile(const Header& header, const Location& location, std::uint64_t fileSize) {
  if (location.offset >= OffsetLimit) return false;
  const std::uint64_t end = DataStart(header, location) + location.length;
  return end <= fileSize && end <= 0xFFFFFFFFu;
}

// --- Writing ---------------------------------------------------------------
// The mark a writer puts in a narrow container; the reader takes any byte but
// WideLayoutMark as narrow.
constexpr std::uint8_t NarrowLayoutMark = '1';

// The longest name, in bytes, that a layout stores: the reader compares a
// field as a NUL-terminated string, so the NUL must fit in the field too.
inline std::uint32_t MaxNameLength(std::uint8_t layoutMark) { return NameFieldSize(layoutMark) - 1; }

// Writes the 16 header bytes: the 11 signature bytes, the layout mark and N.
inline void EncodeHeader(std::uint8_t* bytes, const std::uint8_t* signature, const Header& header) {
  for (std::uint32_t i = 0; i < SignatureSize; ++i) bytes[i] = signature[i];
  bytes[LayoutMarkPosition] = header.layoutMark;
  WriteLittle32(bytes + EntryCountPosition, header.entryCount);
}

// Fills name field i of a directory (D bytes) with `length` name bytes and
// zeros after them. `length` must not exceed MaxNameLength.
inline void EncodeNameField(std::uint8_t* directory, const Header& header, std::uint32_t index,
                            const std::uint8_t* name, std::uint32_t length) {
  std::uint8_t* field = directory + NameFieldPosition(header, index);
  for (std::uint32_t i = 0; i < NameFieldSize(header.layoutMark); ++i) {
    field[i] = i < length ? name[i] : std::uint8_t{0};
  }
}

inline void EncodeLocation(std::uint8_t* directory, const Header& header, std::uint32_t index,
                           const Location& location) {
  std::uint8_t* record = directory + LocationRecordPosition(header, index);
  WriteLittle32(record, location.offset);
  WriteLittle32(record + 4, location.length);
}

// The part of a payload name after its last backslash (byte 0x5C), scanned
// byte by byte, or the whole name when it has none.
inline const char* BaseName(const char* name) {
  const char* base = name;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p == '\\') base = p + 1;
  }
  return base;
}

}  // namespace container
