#include "platform/win32_api.h"

Win32Api win32 = {
    ::CreateFileA,
    ::ReadFile,
    ::WriteFile,
    ::SetFilePointer,
    ::GetFileSize,
    ::CloseHandle,
    ::GetTempFileNameA,
    ::MoveFileExA,
    ::DeleteFileA,

    ::CreateMutexA,
    ::GetLastError,
    ::GlobalAlloc,
    ::GlobalHandle,
    ::GlobalFree,
    ::Sleep,
    ::lstrcmpiA,
    ::MultiByteToWideChar,

    ::RegOpenKeyExA,
    ::RegQueryValueExA,
    ::RegSetValueExA,
    ::RegCloseKey,

    ::DialogBoxParamA,
    ::EndDialog,
    ::GetDlgItem,
    ::SetWindowTextA,
    ::MessageBoxA,

    ::SHGetMalloc,
    ::SHGetSpecialFolderLocation,
    ::SHGetPathFromIDListA,
    ::CoInitialize,
    ::CoUninitialize,
    ::CoCreateInstance,
};

void* AllocZeroed(SIZE_T size) {
  // GMEM_FIXED (0) with GMEM_ZEROINIT: the handle is the block's address.
  return win32.GlobalAlloc(GMEM_ZEROINIT, size);
}

void FreeZeroed(void* block) {
  if (block != nullptr) win32.GlobalFree(win32.GlobalHandle(block));
}
