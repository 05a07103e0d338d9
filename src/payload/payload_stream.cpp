#include "payload/payload_stream.h"

#include <cstring>

#include "payload/container_format.h"
#include "platform/win32_api.h"

namespace {

constexpr DWORD PayloadOpenFlags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL;

HANDLE OpenForReading(const char* path) {
  return win32.CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           PayloadOpenFlags, nullptr);
}

// The file's full 64-bit size, or false when it cannot be had.
bool FileSize64(HANDLE handle, uint64_t* size) {
  DWORD high = 0;
  const DWORD low = win32.GetFileSize(handle, &high);
  if (low == INVALID_FILE_SIZE && win32.GetLastError() != NO_ERROR) return false;
  *size = static_cast<uint64_t>(high) << 32 | low;
  return true;
}

// Reads exactly `count` bytes from the current position; false on a failed
// or short read.
bool ReadExactly(HANDLE handle, void* buffer, DWORD count) {
  DWORD delivered = 0;
  return win32.ReadFile(handle, buffer, count, &delivered, nullptr) && delivered == count;
}

// Compares a directory name field with `baseName`, ignoring case by the
// user's locale. The field is copied into a terminated buffer first, so a
// field without a NUL is compared as its full width and never read past.
bool NameFieldEquals(const uint8_t* field, uint32_t fieldSize, const char* baseName) {
  char name[container::WideNameFieldSize + 1] = {};
  const uint32_t length = container::NameLength(field, fieldSize);
  std::memcpy(name, field, length);
  return win32.lstrcmpiA(name, baseName) == 0;
}

}  // namespace

// Looks `name` up in the container just opened on stream->handle (position
// 0). Returns the entry's length and leaves the position on its first byte,
// or returns 0 when there is no usable entry of that name.
static uint32_t FindContainerEntry(PayloadStream* stream, const char* name) {
  const char* baseName = container::BaseName(name);

  uint64_t fileSize = 0;
  if (!FileSize64(stream->handle, &fileSize)) return 0;

  auto* header = static_cast<uint8_t*>(AllocZeroed(container::HeaderSize));
  if (header == nullptr) return 0;
  // A short file leaves the rest of the header zero: N = 0.
  DWORD delivered = 0;
  win32.ReadFile(stream->handle, header, container::HeaderSize, &delivered, nullptr);
  const container::Header decoded = container::DecodeHeader(header);
  FreeZeroed(header);

  if (decoded.entryCount == 0 || !container::DirectoryFits(decoded, fileSize)) return 0;
  const auto directorySize = static_cast<DWORD>(container::DirectorySize(decoded));

  auto* directory = static_cast<uint8_t*>(AllocZeroed(directorySize));
  if (directory == nullptr) return 0;
  uint32_t length = 0;
  if (ReadExactly(stream->handle, directory, directorySize)) {
    const uint32_t fieldSize = container::NameFieldSize(decoded.layoutMark);
    for (uint32_t i = 0; i < decoded.entryCount; ++i) {
      if (!NameFieldEquals(container::NameField(directory, decoded, i), fieldSize, baseName)) continue;
      const container::Location location = container::DecodeLocation(directory, decoded, i);
      if (location.length != 0 && container::EntryWithinFile(decoded, location, fileSize) &&
          win32.SetFilePointer(stream->handle, static_cast<LONG>(location.offset), nullptr,
                               FILE_CURRENT) != INVALID_SET_FILE_POINTER) {
        stream->dataStart = static_cast<uint32_t>(container::DataStart(decoded, location));
        length = location.length;
      }
      break;  // the first equal name wins, usable or not
    }
  }
  FreeZeroed(directory);
  return length;
}

PayloadStream* OpenPayload(const char* name, const char* containerName) {
  auto* stream = static_cast<PayloadStream*>(AllocZeroed(sizeof(PayloadStream)));
  if (stream == nullptr) return nullptr;

  stream->handle = OpenForReading(name);
  if (IsValidHandle(stream->handle)) {
    uint64_t size = 0;
    if (!FileSize64(stream->handle, &size) || size > 0xFFFFFFFFu) {
      // The payload format counts in 32 bits; a larger file cannot be applied whole.
      win32.CloseHandle(stream->handle);
      FreeZeroed(stream);
      return nullptr;
    }
    stream->size = static_cast<uint32_t>(size);
  } else {
    stream->handle = OpenForReading(containerName);
    if (!IsValidHandle(stream->handle)) {
      FreeZeroed(stream);
      return nullptr;
    }
    stream->inContainer = 1;
    stream->size = FindContainerEntry(stream, name);
    if (stream->size == 0) {
      win32.CloseHandle(stream->handle);
      FreeZeroed(stream);
      return nullptr;
    }
  }
  stream->requested = 0;
  stream->transferred = 0;
  return stream;
}

uint32_t PayloadSize(const PayloadStream* stream) { return stream->size; }

int ReadPayload(PayloadStream* stream, void* buffer, uint32_t count) {
  if (stream == nullptr) return 0;
  stream->requested = count;
  DWORD delivered = 0;
  const BOOL ok = win32.ReadFile(stream->handle, buffer, count, &delivered, nullptr);
  stream->transferred = delivered;
  return ok ? 1 : 0;
}

int WaitPayload(const PayloadStream* stream) {
  if (stream == nullptr || !IsValidHandle(stream->handle)) return 0;
  return WaitTransfer(&stream->transferred, stream->requested);
}

void ClosePayload(PayloadStream* stream) {
  win32.CloseHandle(stream->handle);
  FreeZeroed(stream);
}

int WaitTransfer(const volatile uint32_t* count, uint32_t expected) {
  uint32_t seen = *count;
  while (seen < expected) {
    win32.Sleep(10);
    const uint32_t now = *count;
    if (now <= seen) return 0;
    seen = now;
  }
  return 1;
}
