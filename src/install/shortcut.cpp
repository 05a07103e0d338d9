#include "install/shortcut.h"

#include <shlobj.h>

#include "platform/bounded_text.h"
#include "platform/win32_api.h"
#include "resources/texts.h"

namespace {

const ShortcutEntry ThirtyFpsShortcut = {ThirtyFpsLinkName, "Tesselka30.exe", ThirtyFpsDescription};

}  // namespace

const ShortcutEntry* const ShortcutTable[] = {&ThirtyFpsShortcut, nullptr};

void CreateShortcuts(const char* installDir) {
  for (int i = 0; ShortcutTable[i] != nullptr; ++i) {
    const ShortcutEntry& entry = *ShortcutTable[i];
    CreateMenuShortcut(entry.linkName, entry.targetName, entry.description, nullptr, installDir);
  }
}

void TrimTrailingBackslash(char* path) {
  size_t length = 0;
  while (path[length] != '\0') ++length;
  if (length > 0 && path[length - 1] == '\\') path[length - 1] = '\0';
}

int CreateMenuShortcut(const char* linkName, const char* targetName, const char* description,
                       const char* arguments, const char* workingDir) {
  auto* programs = static_cast<char*>(AllocZeroed(TextBufferSize));
  auto* linkPath = static_cast<char*>(AllocZeroed(TextBufferSize));
  auto* targetPath = static_cast<char*>(AllocZeroed(TextBufferSize));
  int result = 0;
  if (programs != nullptr && linkPath != nullptr && targetPath != nullptr) {
    GetSpecialFolderPath(CSIDL_PROGRAMS, programs);
    TrimTrailingBackslash(programs);
    // Without the programs folder the link would land at the root of the
    // current drive; make none instead.
    if (programs[0] != '\0' && win32.CoInitialize(nullptr) >= 0) {
      if (FormatBounded(linkPath, TextBufferSize, "%s\\%s\\%s\\%s", programs, MenuMakerFolder,
                        MenuGameFolder, linkName) &&
          FormatBounded(targetPath, TextBufferSize, "%s\\%s", workingDir, targetName)) {
        CreateShellLink(linkPath, targetPath, description, arguments, workingDir, nullptr, 0,
                        SW_SHOWNORMAL);
      }
      win32.CoUninitialize();
      result = 1;
    }
  }
  FreeZeroed(targetPath);
  FreeZeroed(linkPath);
  FreeZeroed(programs);
  return result;
}

void GetSpecialFolderPath(int csidl, char* path) {
  IMalloc* allocator = nullptr;
  if (win32.SHGetMalloc(&allocator) < 0) return;
  PIDLIST_ABSOLUTE items = nullptr;
  if (win32.SHGetSpecialFolderLocation(nullptr, csidl, &items) == S_OK) {
    win32.SHGetPathFromIDListA(items, path);
    allocator->Free(items);
  }
  allocator->Release();
}

HRESULT CreateShellLink(const char* linkPath, const char* targetPath, const char* description,
                        const char* arguments, const char* workingDir, const char* iconPath,
                        int iconIndex, int showCmd) {
  IShellLinkA* link = nullptr;
  HRESULT hr = win32.CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      reinterpret_cast<void**>(&link));
  if (hr < 0) return hr;
  IPersistFile* file = nullptr;
  hr = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  if (hr < 0) {
    link->Release();
    return hr;
  }
  link->SetPath(targetPath);
  link->SetDescription(description);
  link->SetArguments(arguments);
  link->SetWorkingDirectory(workingDir);
  link->SetIconLocation(iconPath, iconIndex);
  link->SetShowCmd(showCmd);

  WCHAR widePath[TextBufferSize] = {};
  win32.MultiByteToWideChar(CP_ACP, 0, linkPath, -1, widePath, TextBufferSize);
  hr = file->Save(widePath, TRUE);
  file->Release();
  link->Release();
  return hr;
}
