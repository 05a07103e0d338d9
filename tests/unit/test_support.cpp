#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "control/updater_main.h"
#include "payload/container_format.h"

// ---------------------------------------------------------------------------
// Bytes and files

Bytes MakeBytes(std::uint32_t seed, std::size_t size) {
  Bytes bytes(size, '\0');
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}

Bytes Le32(std::uint32_t value) {
  std::uint8_t raw[4];
  container::WriteLittle32(raw, value);
  return Bytes(reinterpret_cast<const char*>(raw), 4);
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << path << ", error " << ::GetLastError();
  DWORD written = 0;
  const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
  ASSERT_TRUE(ok && written == bytes.size()) << "cannot write " << path;
}

Bytes ReadFileBytes(const std::string& path, bool* exists) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (exists != nullptr) *exists = file != INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) return Bytes();
  Bytes bytes(::GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  if (!bytes.empty()) ::ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
  ::CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

std::vector<std::string> ListFolder(const std::string& dir) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((dir + "\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

void RemoveTree(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    for (const std::string& name : ListFolder(path)) RemoveTree(path + "\\" + name);
    ::RemoveDirectoryA(path.c_str());
  } else {
    ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path.c_str());
  }
}

ScratchFolder::ScratchFolder() {
  static unsigned counter = 0;
  char temp[MAX_PATH];
  const DWORD length = ::GetTempPathA(sizeof temp, temp);
  std::string base = length > 0 && length < sizeof temp ? std::string(temp, length) : std::string("C:\\");
  if (base.back() == '\\') base.pop_back();
  char name[64];
  std::snprintf(name, sizeof name, "\\squt%lu-%u", ::GetCurrentProcessId(), ++counter);
  path_ = base + name;
  RemoveTree(path_);
  if (!::CreateDirectoryA(path_.c_str(), nullptr)) {
    ADD_FAILURE() << "cannot create scratch folder " << path_;
  }
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

CurrentDirectory::CurrentDirectory(const std::string& dir) {
  char saved[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryA(sizeof saved, saved);
  saved_.assign(saved, length < sizeof saved ? length : 0);
  if (!::SetCurrentDirectoryA(dir.c_str())) {
    ADD_FAILURE() << "cannot enter " << dir;
  }
}

CurrentDirectory::~CurrentDirectory() { ::SetCurrentDirectoryA(saved_.c_str()); }

// ---------------------------------------------------------------------------
// The update container

Bytes RawContainer(std::uint8_t layoutMark, std::uint32_t entryCount,
                   const std::vector<RawEntry>& entries, const Bytes& data) {
  const std::uint32_t fieldSize = container::NameFieldSize(layoutMark);
  Bytes bytes = "UPDATEDATA ";
  bytes += static_cast<char>(layoutMark);
  bytes += Le32(entryCount);
  for (const RawEntry& entry : entries) {
    Bytes field = entry.nameField;
    field.resize(fieldSize, '\0');
    bytes += field;
  }
  for (const RawEntry& entry : entries) bytes += Le32(entry.offset) + Le32(entry.length);
  return bytes + data;
}

Bytes PackContainer(std::uint8_t layoutMark, const std::vector<PackedFile>& files) {
  std::vector<RawEntry> entries;
  Bytes data;
  for (const PackedFile& file : files) {
    entries.push_back(RawEntry{file.name, static_cast<std::uint32_t>(data.size()),
                               static_cast<std::uint32_t>(file.content.size())});
    data += file.content;
  }
  return RawContainer(layoutMark, static_cast<std::uint32_t>(files.size()), entries, data);
}

// ---------------------------------------------------------------------------
// The installation record

namespace {
constexpr char MakerKeyPath[] = "Software\\Orvelle";
}

void DeleteInstallRecord() {
  ::RegDeleteKeyA(HKEY_CURRENT_USER, InstallKeyPath);
  ::RegDeleteKeyA(HKEY_CURRENT_USER, MakerKeyPath);  // fails while other keys remain in it
}

void WriteInstallValue(const char* name, DWORD type, const Bytes& data) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, InstallKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const LSTATUS status = ::RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size()));
  ::RegCloseKey(key);
  ASSERT_EQ(status, ERROR_SUCCESS) << "cannot write value " << name;
}

bool InstallRecordExists() {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, InstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

RegValue ReadInstallValue(const char* name) {
  RegValue value;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_CURRENT_USER, InstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return value;
  DWORD size = 0;
  if (::RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
    value.data.assign(size, '\0');
    if (::RegQueryValueExA(key, name, nullptr, &value.type,
                           reinterpret_cast<BYTE*>(size != 0 ? &value.data[0] : nullptr),
                           &size) == ERROR_SUCCESS) {
      value.present = true;
      value.data.resize(size);
    }
  }
  ::RegCloseKey(key);
  return value;
}

// ---------------------------------------------------------------------------
// The scripted user interface

ScriptedUi* ScriptedUi::current_ = nullptr;

ScriptedUi::ScriptedUi()
    : messageBox_(win32.MessageBoxA, &FakeMessageBox), dialogBox_(win32.DialogBoxParamA, &FakeDialogBox) {
  current_ = this;
}

ScriptedUi::~ScriptedUi() { current_ = nullptr; }

int WINAPI ScriptedUi::FakeMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT flags) {
  current_->messages.push_back(
      MessageBoxCall{owner, text != nullptr ? text : "(null)", caption != nullptr ? caption : "(null)", flags});
  return current_->answer;
}

INT_PTR WINAPI ScriptedUi::FakeDialogBox(HINSTANCE instance, LPCSTR templateName, HWND owner,
                                         DLGPROC procedure, LPARAM parameter) {
  current_->dialogs.push_back(DialogCall{instance, templateName, owner, procedure, parameter, InstalledVersion,
                                         std::string(InstallDir, strnlen(InstallDir, sizeof InstallDir))});
  return current_->dialogResult;
}

// ---------------------------------------------------------------------------
// Helper child processes

namespace {

std::string SelfPath() {
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length < sizeof path ? length : 0);
}

HANDLE StartSelf(const std::string& arguments) {
  std::string commandLine = "\"" + SelfPath() + "\" " + arguments;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
    return nullptr;
  }
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

std::string UniqueName(const char* role) {
  static unsigned counter = 0;
  char name[96];
  std::snprintf(name, sizeof name, "StarquillUnitTests-%s-%lu-%u", role, ::GetCurrentProcessId(), ++counter);
  return name;
}

}  // namespace

DWORD RunSelf(const std::string& arguments) {
  const HANDLE process = StartSelf(arguments);
  if (process == nullptr) return 0xFFFFFFFFu;
  DWORD code = 0xFFFFFFFFu;
  if (::WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) ::GetExitCodeProcess(process, &code);
  ::CloseHandle(process);
  return code;
}

FileHeldByOtherProcess::FileHeldByOtherProcess(const std::string& path) {
  const std::string readyName = UniqueName("ready");
  const std::string releaseName = UniqueName("release");
  ready_ = ::CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
  release_ = ::CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
  process_ = StartSelf("--hold-file \"" + path + "\" " + readyName + " " + releaseName);
  if (process_ == nullptr || ready_ == nullptr || release_ == nullptr) return;
  // Either the child holds the file, or it ended without being able to.
  const HANDLE waits[2] = {ready_, process_};
  holding_ = ::WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
}

FileHeldByOtherProcess::~FileHeldByOtherProcess() {
  if (release_ != nullptr) ::SetEvent(release_);
  if (process_ != nullptr) {
    ::WaitForSingleObject(process_, 60000);
    ::CloseHandle(process_);
  }
  if (ready_ != nullptr) ::CloseHandle(ready_);
  if (release_ != nullptr) ::CloseHandle(release_);
}
