#include "install/update_files.h"

#include "payload/payload_stream.h"
#include "platform/bounded_text.h"
#include "platform/win32_api.h"
#include "resources/texts.h"

const char* const UpdateSourceNames[] = {
    "Tesselka.exe", "Tesselka30.exe", "delta110.dat", "delta120.dat",
    "delta130.dat", "BaseGame.pak",   "Catalog.ini",  nullptr,
};
const char* const UpdateTargetNames[] = {
    "Tesselka.exe", "Tesselka30.exe", "delta110.dat", "delta120.dat",
    "delta130.dat", "BaseGame.pak",   "Catalog.ini",  nullptr,
};

namespace {

void ShowFileError(HWND owner, const char* payloadName) {
  TextBuffer message;
  if (!FormatBounded(message, sizeof message, FileErrorFormat, payloadName)) return;
  win32.MessageBoxA(owner, message, FileErrorCaption, MB_OK);
}

// True unless another process holds `target` open in a way that forbids our
// write (the running game). A missing target is no obstacle.
bool TargetIsFree(const char* target) {
  const HANDLE handle = win32.CreateFileA(target, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (IsValidHandle(handle)) {
    win32.CloseHandle(handle);
    return true;
  }
  const DWORD error = win32.GetLastError();
  return error == ERROR_FILE_NOT_FOUND;
}

// Copies the whole payload into `output` through `buffer` (`bufferSize`
// bytes). False on any failed or short read or write.
bool CopyPayload(PayloadStream* stream, HANDLE output, void* buffer, uint32_t bufferSize) {
  uint32_t remaining = PayloadSize(stream);
  while (remaining > 0) {
    const uint32_t chunk = remaining < bufferSize ? remaining : bufferSize;
    if (!ReadPayload(stream, buffer, chunk) || !WaitPayload(stream)) return false;
    DWORD count = 0;
    if (!win32.WriteFile(output, buffer, chunk, &count, nullptr)) return false;
    const uint32_t written = count;
    if (!WaitTransfer(&written, chunk)) return false;
    remaining -= chunk;
  }
  return true;
}

// Writes the payload `sourceName` into a new temporary file in `installDir`,
// copying through `buffer` (`bufferSize` bytes), and moves it over `target`.
// On failure the target is as it was and the temporary file is gone.
bool ReplaceFile(const char* installDir, const char* sourceName, const char* target, void* buffer,
                 uint32_t bufferSize) {
  if (!TargetIsFree(target)) return false;
  PayloadStream* stream = OpenPayload(sourceName, ContainerName);
  if (stream == nullptr) return false;

  TextBuffer temporary;
  if (win32.GetTempFileNameA(installDir, "squ", 0, temporary) == 0) {
    ClosePayload(stream);
    return false;
  }
  const HANDLE output = win32.CreateFileA(temporary, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = IsValidHandle(output) && CopyPayload(stream, output, buffer, bufferSize);
  if (IsValidHandle(output)) win32.CloseHandle(output);
  // The payload may be the target itself (the updater run from the install
  // folder): it is closed before the move so that the move can replace it.
  ClosePayload(stream);
  ok = ok && win32.MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) win32.DeleteFileA(temporary);
  return ok;
}

// Target i's path in `installDir`; 0 when it does not fit a text buffer.
int TargetPath(const char* installDir, int i, char* target) {
  return FormatBounded(target, TextBufferSize, "%s\\%s", installDir, UpdateTargetNames[i]);
}

struct EntryCheck {
  int firstUnusable;     // index of the first entry that fails, or -1
  int largest;           // index of the largest payload
  uint32_t largestSize;  // its size in bytes
};

// Checks every entry before anything is written: its target path fits and
// its payload opens whole.
EntryCheck CheckEntries(const char* installDir) {
  EntryCheck check = {-1, 0, 0};
  for (int i = 0; UpdateSourceNames[i] != nullptr; ++i) {
    TextBuffer target;
    PayloadStream* stream = TargetPath(installDir, i, target) ? OpenPayload(UpdateSourceNames[i], ContainerName)
                                                              : nullptr;
    if (stream == nullptr) {
      check.firstUnusable = i;
      return check;
    }
    if (PayloadSize(stream) > check.largestSize) {
      check.largestSize = PayloadSize(stream);
      check.largest = i;
    }
    ClosePayload(stream);
  }
  return check;
}

}  // namespace

int ApplyUpdateFiles(HWND owner, const char* installDir) {
  const EntryCheck check = CheckEntries(installDir);
  if (check.firstUnusable >= 0) {
    ShowFileError(owner, UpdateSourceNames[check.firstUnusable]);
    return 0;
  }
  // One copy buffer serves every entry: a fresh block of this size per file
  // costs more to fault in than the copy itself on some systems. Without it
  // the largest payload, the one that needs it most, cannot be written.
  const uint32_t bufferSize = check.largestSize < CopyChunkSize ? check.largestSize : CopyChunkSize;
  void* buffer = bufferSize != 0 ? AllocZeroed(bufferSize) : nullptr;
  if (buffer == nullptr && bufferSize != 0) {
    ShowFileError(owner, UpdateSourceNames[check.largest]);
    return 0;
  }
  int result = 1;
  for (int i = 0; UpdateSourceNames[i] != nullptr; ++i) {
    TextBuffer target;
    if (!TargetPath(installDir, i, target) ||
        !ReplaceFile(installDir, UpdateSourceNames[i], target, buffer, bufferSize)) {
      ShowFileError(owner, UpdateSourceNames[i]);
      result = 0;
      break;
    }
  }
  FreeZeroed(buffer);
  return result;
}
