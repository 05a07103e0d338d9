// Helpers shared by the unit tests: the guard that swaps one entry of the
// `win32` table, scratch folders and files, the installation record in the
// registry, the scripted user interface and helper child processes.
//
// Everything here uses the real Win32 API directly (never the `win32` table),
// so a swapped entry only ever affects the code under test.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32_api.h"

// ---------------------------------------------------------------------------
// Swapping one entry of the table

// Replaces one entry of `win32` for the guard's lifetime and restores it.
template <typename Function>
class ScopedSwap {
 public:
  ScopedSwap(Function& entry, Function replacement) : entry_(entry), saved_(entry) {
    entry_ = replacement;
  }
  ~ScopedSwap() { entry_ = saved_; }
  ScopedSwap(const ScopedSwap&) = delete;
  ScopedSwap& operator=(const ScopedSwap&) = delete;

 private:
  Function& entry_;
  Function saved_;
};

// ---------------------------------------------------------------------------
// Bytes and files

// Bytes are held in std::string: comparisons print both sides on failure.
using Bytes = std::string;

// `size` reproducible pseudo-random bytes that differ for each seed.
Bytes MakeBytes(std::uint32_t seed, std::size_t size);

// Little-endian 32-bit value as 4 bytes.
Bytes Le32(std::uint32_t value);

// Writes `bytes` as the whole content of `path` (real CreateFileA). Fails the
// current test when that is not possible.
void WriteFileBytes(const std::string& path, const Bytes& bytes);

// The whole content of `path`; `exists` tells whether it could be opened.
Bytes ReadFileBytes(const std::string& path, bool* exists = nullptr);

// The names in folder `dir` (without "." and ".."), sorted.
std::vector<std::string> ListFolder(const std::string& dir);

// A fresh, empty folder under the Windows temporary folder, removed with all
// its content by the destructor.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() + "\" + name
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

// Makes `dir` the process's current directory and restores the previous one.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::string& dir);
  ~CurrentDirectory();
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::string saved_;
};

// Removes `path` and everything below it (real API).
void RemoveTree(const std::string& path);

// ---------------------------------------------------------------------------
// The update container

// One directory entry: the raw name field content (padded with NULs to the
// field size; a field exactly as wide as the layout's field has no NUL) and
// the location record.
struct RawEntry {
  std::string nameField;
  std::uint32_t offset;
  std::uint32_t length;
};

// A container with the given layout mark, entry count field, directory and
// data area; the signature is "UPDATEDATA" plus a space.
Bytes RawContainer(std::uint8_t layoutMark, std::uint32_t entryCount,
                   const std::vector<RawEntry>& entries, const Bytes& data);

// A well-formed container holding `files` (name, content) in order, their
// data laid one after the other.
struct PackedFile {
  std::string name;
  Bytes content;
};
Bytes PackContainer(std::uint8_t layoutMark, const std::vector<PackedFile>& files);

// ---------------------------------------------------------------------------
// The installation record HKCU\Software\Orvelle\Starquill (real registry)

struct RegValue {
  bool present = false;
  DWORD type = 0;
  Bytes data;
};

// Removes the record (and its maker key when that is left empty).
void DeleteInstallRecord();
// Creates the key and writes one value.
void WriteInstallValue(const char* name, DWORD type, const Bytes& data);
bool InstallRecordExists();
RegValue ReadInstallValue(const char* name);

// ---------------------------------------------------------------------------
// The scripted user interface: MessageBoxA and DialogBoxParamA

struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT flags;
};

struct DialogCall {
  HINSTANCE instance;
  LPCSTR templateName;
  HWND owner;
  DLGPROC procedure;
  LPARAM parameter;
  std::uint32_t installedVersion;  // InstalledVersion while the dialog runs
  std::string installDir;          // InstallDir while the dialog runs
};

// While alive, MessageBoxA and DialogBoxParamA are recorded instead of shown;
// message boxes answer `answer` and the dialog ends with `dialogResult`.
class ScriptedUi {
 public:
  ScriptedUi();
  ~ScriptedUi();
  ScriptedUi(const ScriptedUi&) = delete;
  ScriptedUi& operator=(const ScriptedUi&) = delete;

  int answer = IDOK;
  INT_PTR dialogResult = 0;
  std::vector<MessageBoxCall> messages;
  std::vector<DialogCall> dialogs;

 private:
  static int WINAPI FakeMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT flags);
  static INT_PTR WINAPI FakeDialogBox(HINSTANCE instance, LPCSTR templateName, HWND owner,
                                      DLGPROC procedure, LPARAM parameter);
  static ScriptedUi* current_;
  ScopedSwap<decltype(Win32Api::MessageBoxA)> messageBox_;
  ScopedSwap<decltype(Win32Api::DialogBoxParamA)> dialogBox_;
};

// ---------------------------------------------------------------------------
// Helper child processes: this test program started again with a role

// Runs the role named by argv[1] when there is one; returns -1 otherwise.
int RunChildRole(int argc, char** argv);

// Another process that holds `path` open with no sharing until destroyed.
class FileHeldByOtherProcess {
 public:
  explicit FileHeldByOtherProcess(const std::string& path);
  ~FileHeldByOtherProcess();
  FileHeldByOtherProcess(const FileHeldByOtherProcess&) = delete;
  FileHeldByOtherProcess& operator=(const FileHeldByOtherProcess&) = delete;

  bool holding() const { return holding_; }

 private:
  HANDLE process_ = nullptr;
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  bool holding_ = false;
};

// Starts this program with `arguments` and returns its exit code (or
// 0xFFFFFFFF when it could not be started or did not end within a minute).
DWORD RunSelf(const std::string& arguments);

// Names each case of a parameterised test by its `label` field.
struct CaseLabel {
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.label;
  }
};
