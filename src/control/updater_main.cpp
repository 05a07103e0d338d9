#include "control/updater_main.h"

#include <cstring>

#include "install/shortcut.h"
#include "install/update_files.h"
#include "platform/win32_api.h"
#include "resources/resource.h"
#include "resources/texts.h"

TextBuffer InstallDir;
uint32_t InstalledVersion;

namespace {

// Reads the installation record into InstallDir and InstalledVersion. Returns
// 0 (not installed) when the key or a usable "InstallFolder" is missing, -1
// when the user declined to update over version 1.300 or later, 1 otherwise.
int ReadInstallRecord() {
  HKEY key = nullptr;
  if (win32.RegOpenKeyExA(HKEY_CURRENT_USER, InstallKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    return 0;
  }
  std::memset(InstallDir, 0, sizeof InstallDir);
  DWORD size = sizeof InstallDir;
  const LSTATUS folder = win32.RegQueryValueExA(key, InstallFolderValue, nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(InstallDir), &size);
  // A value that fills all 260 bytes without a NUL is no usable path.
  if (folder != ERROR_SUCCESS || InstallDir[0] == '\0' ||
      std::memchr(InstallDir, '\0', sizeof InstallDir) == nullptr) {
    InstallDir[0] = '\0';
    win32.RegCloseKey(key);
    return 0;
  }

  // A value shorter than four bytes fills only the low bytes.
  InstalledVersion = 0;
  size = sizeof InstalledVersion;
  if (win32.RegQueryValueExA(key, VersionValue, nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&InstalledVersion), &size) != ERROR_SUCCESS) {
    InstalledVersion = BaseVersion;
  } else if (InstalledVersion >= TargetVersion &&
             win32.MessageBoxA(nullptr, OverwriteQuestionText, AppTitle, MB_OKCANCEL) == IDCANCEL) {
    win32.RegCloseKey(key);
    return -1;
  }
  win32.RegCloseKey(key);
  return 1;
}

void RecordTargetVersion() {
  InstalledVersion = TargetVersion;
  HKEY key = nullptr;
  if (win32.RegOpenKeyExA(HKEY_CURRENT_USER, InstallKeyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
    win32.MessageBoxA(nullptr, RegistryErrorText, AppTitle, MB_OK);
    return;
  }
  win32.RegSetValueExA(key, VersionValue, 0, REG_BINARY, reinterpret_cast<const BYTE*>(&InstalledVersion),
                       sizeof InstalledVersion);
  win32.RegCloseKey(key);
}

void OnUpdate(HWND dialog) {
  if (ApplyUpdateFiles(dialog, InstallDir)) {
    if (InstalledVersion == BaseVersion) CreateShortcuts(InstallDir);
    win32.MessageBoxA(dialog, UpdateCompleteText, AppTitle, MB_OK);
    win32.EndDialog(dialog, 1);
  } else {
    win32.MessageBoxA(dialog, UpdateFailedText, AppTitle, MB_OK);
    win32.EndDialog(dialog, 0);
  }
}

}  // namespace

void FormatVersionText(uint32_t version, char* text) {
  text[0] = static_cast<char>('0' + version / 1000);
  text[1] = '.';
  text[2] = static_cast<char>('0' + version % 1000 / 100);
  text[3] = static_cast<char>('0' + version % 100 / 10);
  text[4] = static_cast<char>('0' + version % 10);
  text[5] = '\0';
}

INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    char versionText[6];
    FormatVersionText(InstalledVersion, versionText);
    win32.SetWindowTextA(win32.GetDlgItem(dialog, IDC_CURRENT_VERSION), versionText);
    win32.SetWindowTextA(win32.GetDlgItem(dialog, IDC_INSTALL_DIR), InstallDir);
  } else if (message == WM_COMMAND && wParam == IDOK) {
    OnUpdate(dialog);
  } else if (message == WM_COMMAND && wParam == IDCANCEL) {
    win32.EndDialog(dialog, 0);
  }
  return 0;
}

int UpdaterMain(HINSTANCE instance) {
  const HANDLE mutex = win32.CreateMutexA(nullptr, TRUE, MutexName);
  if (win32.GetLastError() == ERROR_ALREADY_EXISTS) return 0;

  const int record = ReadInstallRecord();
  if (record == 0) {
    win32.MessageBoxA(nullptr, NotInstalledText, AppTitle, MB_OK);
  } else if (record == 1 &&
             win32.DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_UPDATE), nullptr, UpdateDialogProc, 0) == 1) {
    // Only a finished update ends the dialog with 1; -1 means it never ran.
    RecordTargetVersion();
  }
  if (mutex != nullptr) win32.CloseHandle(mutex);
  return 0;
}
