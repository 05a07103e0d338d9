// The test program's entry point. Started with a role argument, it acts as a
// helper process for a test instead of running the tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "control/updater_main.h"
#include "test_support.h"

namespace {

// --hold-file PATH READY RELEASE: opens PATH with no sharing, signals READY,
// keeps the file open until RELEASE is signalled (or a minute passes).
int HoldFile(const char* path, const char* readyName, const char* releaseName) {
  const HANDLE file = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 2;
  const HANDLE ready = ::OpenEventA(EVENT_MODIFY_STATE, FALSE, readyName);
  const HANDLE release = ::OpenEventA(SYNCHRONIZE, FALSE, releaseName);
  if (ready == nullptr || release == nullptr) return 3;
  ::SetEvent(ready);
  ::WaitForSingleObject(release, 60000);
  ::CloseHandle(file);
  return 0;
}

// --second-instance: runs the updater while the test that started this
// process holds the updater's mutex. Exit code: the updater's result, plus
// 0x100 for each dialog and 0x10000 for each message box it attempted.
int SecondInstance() {
  ScriptedUi ui;
  ui.dialogResult = 1;  // a dialog, if one ran, would report a finished update
  const int result = UpdaterMain(::GetModuleHandleA(nullptr));
  return result + 0x100 * static_cast<int>(ui.dialogs.size()) + 0x10000 * static_cast<int>(ui.messages.size());
}

}  // namespace

int RunChildRole(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--hold-file") == 0) return HoldFile(argv[2], argv[3], argv[4]);
  if (argc == 2 && std::strcmp(argv[1], "--second-instance") == 0) return SecondInstance();
  return -1;
}

int main(int argc, char** argv) {
  const int role = RunChildRole(argc, argv);
  if (role >= 0) return role;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
