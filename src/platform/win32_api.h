// The one table through which the updater calls Win32.
//
// Every entry points at the real function. A test that must produce what the
// real system will not produce on demand (an allocation failure, a full disk, a
// short read, a user's answer to a message box) swaps one entry and restores it
// afterwards; everything else stays the real Windows API.
#pragma once

#include <windows.h>
#include <shlobj.h>

struct Win32Api {
  // Files
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  DWORD(WINAPI* SetFilePointer)(HANDLE, LONG, PLONG, DWORD);
  DWORD(WINAPI* GetFileSize)(HANDLE, LPDWORD);
  BOOL(WINAPI* CloseHandle)(HANDLE);
  UINT(WINAPI* GetTempFileNameA)(LPCSTR, LPCSTR, UINT, LPSTR);
  BOOL(WINAPI* MoveFileExA)(LPCSTR, LPCSTR, DWORD);
  BOOL(WINAPI* DeleteFileA)(LPCSTR);

  // Process, memory, text
  HANDLE(WINAPI* CreateMutexA)(LPSECURITY_ATTRIBUTES, BOOL, LPCSTR);
  DWORD(WINAPI* GetLastError)();
  HGLOBAL(WINAPI* GlobalAlloc)(UINT, SIZE_T);
  HGLOBAL(WINAPI* GlobalHandle)(LPCVOID);
  HGLOBAL(WINAPI* GlobalFree)(HGLOBAL);
  void(WINAPI* Sleep)(DWORD);
  int(WINAPI* lstrcmpiA)(LPCSTR, LPCSTR);
  int(WINAPI* MultiByteToWideChar)(UINT, DWORD, LPCCH, int, LPWSTR, int);

  // Registry
  LSTATUS(WINAPI* RegOpenKeyExA)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
  LSTATUS(WINAPI* RegQueryValueExA)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
  LSTATUS(WINAPI* RegSetValueExA)(HKEY, LPCSTR, DWORD, DWORD, const BYTE*, DWORD);
  LSTATUS(WINAPI* RegCloseKey)(HKEY);

  // User interface
  INT_PTR(WINAPI* DialogBoxParamA)(HINSTANCE, LPCSTR, HWND, DLGPROC, LPARAM);
  BOOL(WINAPI* EndDialog)(HWND, INT_PTR);
  HWND(WINAPI* GetDlgItem)(HWND, int);
  BOOL(WINAPI* SetWindowTextA)(HWND, LPCSTR);
  int(WINAPI* MessageBoxA)(HWND, LPCSTR, LPCSTR, UINT);

  // Shell and COM
  HRESULT(WINAPI* SHGetMalloc)(IMalloc**);
  HRESULT(WINAPI* SHGetSpecialFolderLocation)(HWND, int, PIDLIST_ABSOLUTE*);
  BOOL(WINAPI* SHGetPathFromIDListA)(PCIDLIST_ABSOLUTE, LPSTR);
  HRESULT(WINAPI* CoInitialize)(LPVOID);
  void(WINAPI* CoUninitialize)();
  HRESULT(WINAPI* CoCreateInstance)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*);
};

// The process-wide table; initialised with the real functions.
extern Win32Api win32;

// True when h names an open object: Win32 reports "no handle" both as null
// and as INVALID_HANDLE_VALUE, depending on the call.
inline bool IsValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

// Zero-filled working memory from GlobalAlloc(GMEM_ZEROINIT); null on failure.
void* AllocZeroed(SIZE_T size);
// Releases memory from AllocZeroed; null is ignored.
void FreeZeroed(void* block);
