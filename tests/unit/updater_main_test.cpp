// UpdaterMain against the real registry of the test prefix: the installation
// record decides between the not-installed message, the overwrite question
// and the dialog; a finished update records version 1300. The user's answers
// and the dialog's result are scripted.
#include <gtest/gtest.h>

#include <cstring>

#include "control/updater_main.h"
#include "resources/resource.h"
#include "resources/texts.h"
#include "test_support.h"

namespace {

// "レジストリエラー" and "Starquill アップデート Ver1.30" as Shift-JIS bytes.
constexpr char RegistryErrorSjis[] = "\x83\x8C\x83\x57\x83\x58\x83\x67\x83\x8A\x83\x47\x83\x89\x81\x5B";
constexpr char AppTitleSjis[] =
    "Starquill \x83\x41\x83\x62\x83\x76\x83\x66\x81\x5B\x83\x67"
    " Ver1.30";

const std::string Folder = "C:\\Games\\Orvelle\\Starquill";
// REG_SZ data as stored: the text with its NUL.
Bytes Sz(const std::string& text) { return text + '\0'; }
const Bytes RecordedTarget = "\x14\x05" + std::string(2, '\0');  // 1300, REG_BINARY

struct Value {
  const char* name;
  DWORD type;
  Bytes data;
};

struct ExpectedMessage {
  const char* text;
  UINT flags;
};

struct RecordCase {
  const char* label;
  std::vector<Value> record;  // empty: no key at all
  int answer;                 // to the overwrite question
  INT_PTR dialogResult;
  std::vector<ExpectedMessage> messages;  // all with no owner and caption AppTitle
  bool dialog;
  std::uint32_t versionAtDialog;
  std::string dirAtDialog;
  bool versionRecorded;  // "Version" becomes REG_BINARY 14 05 00 00
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.label; }

class UpdaterMainRecord : public ::testing::TestWithParam<RecordCase> {
 protected:
  void SetUp() override { DeleteInstallRecord(); }
  void TearDown() override { DeleteInstallRecord(); }
};

// The mutex is free again once UpdaterMain has returned.
void ExpectMutexReleased() {
  const HANDLE mutex = ::CreateMutexA(nullptr, FALSE, MutexName);
  const DWORD error = ::GetLastError();
  ASSERT_NE(mutex, nullptr);
  ::CloseHandle(mutex);
  EXPECT_NE(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "the updater's mutex is still held";
}

TEST_P(UpdaterMainRecord, DecidesFromTheRecord) {
  const RecordCase& c = GetParam();
  for (const Value& value : c.record) {
    ASSERT_NO_FATAL_FAILURE(WriteInstallValue(value.name, value.type, value.data));
  }
  std::memset(InstallDir, 'x', sizeof InstallDir);
  InstalledVersion = 0xDEADBEEF;
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);

  int result = -1;
  {
    ScriptedUi ui;
    ui.answer = c.answer;
    ui.dialogResult = c.dialogResult;
    result = UpdaterMain(instance);

    ASSERT_EQ(ui.messages.size(), c.messages.size());
    for (std::size_t i = 0; i < c.messages.size(); ++i) {
      EXPECT_EQ(ui.messages[i].owner, nullptr);
      EXPECT_EQ(ui.messages[i].text, c.messages[i].text);
      EXPECT_EQ(ui.messages[i].caption, AppTitle);
      EXPECT_EQ(ui.messages[i].flags, c.messages[i].flags);
    }
    ASSERT_EQ(ui.dialogs.size(), c.dialog ? 1u : 0u);
    if (c.dialog) {
      const DialogCall& d = ui.dialogs[0];
      EXPECT_EQ(d.instance, instance);
      EXPECT_EQ(d.templateName, MAKEINTRESOURCEA(IDD_UPDATE));
      EXPECT_EQ(d.owner, nullptr);
      EXPECT_EQ(d.procedure, &UpdateDialogProc);
      EXPECT_EQ(d.parameter, 0);
      EXPECT_EQ(d.installedVersion, c.versionAtDialog);
      EXPECT_EQ(d.installDir, c.dirAtDialog);
    }
  }
  EXPECT_EQ(result, 0);

  // Nothing but "Version", and that only after a finished update, is written.
  EXPECT_EQ(InstallRecordExists(), !c.record.empty());
  for (const Value& value : c.record) {
    if (std::strcmp(value.name, VersionValue) == 0 && c.versionRecorded) continue;
    const RegValue now = ReadInstallValue(value.name);
    EXPECT_TRUE(now.present) << value.name;
    EXPECT_EQ(now.type, value.type) << value.name;
    EXPECT_EQ(now.data, value.data) << value.name;
  }
  const RegValue version = ReadInstallValue(VersionValue);
  if (c.versionRecorded) {
    EXPECT_TRUE(version.present);
    EXPECT_EQ(version.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(version.data, RecordedTarget);
  } else {
    bool hadVersion = false;
    for (const Value& value : c.record) hadVersion |= std::strcmp(value.name, VersionValue) == 0;
    EXPECT_EQ(version.present, hadVersion);
  }
  ExpectMutexReleased();
}

const ExpectedMessage NotInstalled = {NotInstalledText, MB_OK};
const ExpectedMessage Overwrite = {OverwriteQuestionText, MB_OKCANCEL};
const Value FolderValue = {InstallFolderValue, REG_SZ, Sz(Folder)};
Value VersionBinary(std::uint32_t version) { return {VersionValue, REG_BINARY, Le32(version)}; }

const RecordCase RecordCases[] = {
    {"KeyMissing", {}, IDOK, 1, {NotInstalled}, false, 0, "", false},
    {"InstallFolderMissing", {VersionBinary(1000)}, IDOK, 1, {NotInstalled}, false, 0, "", false},
    {"InstallFolderEmpty",
     {{InstallFolderValue, REG_SZ, Sz("")}, VersionBinary(1000)}, IDOK, 1, {NotInstalled}, false, 0, "", false},
    {"InstallFolder260BytesWithoutNul",
     {{InstallFolderValue, REG_BINARY, Bytes(260, 'D')}}, IDOK, 1, {NotInstalled}, false, 0, "", false},
    {"InstallFolderLongerThan260Bytes",
     {{InstallFolderValue, REG_SZ, Sz(std::string(300, 'D'))}}, IDOK, 1, {NotInstalled}, false, 0, "", false},
    {"InstallFolderOf259BytesFits",
     {{InstallFolderValue, REG_SZ, Sz(std::string(259, 'D'))}}, IDOK, 0, {}, true, 1000, std::string(259, 'D'),
     false},
    {"VersionMissingQuit", {FolderValue}, IDOK, 0, {}, true, 1000, Folder, false},
    {"VersionMissingUpdated", {FolderValue}, IDOK, 1, {}, true, 1000, Folder, true},
    {"DialogCouldNotBeCreated", {FolderValue}, IDOK, -1, {}, true, 1000, Folder, false},
    {"VersionOf8BytesCountsAsAbsent",
     {FolderValue, {VersionValue, REG_BINARY, Le32(1400) + Le32(0)}}, IDOK, 0, {}, true, 1000, Folder, false},
    {"Version1200", {FolderValue, VersionBinary(1200)}, IDOK, 0, {}, true, 1200, Folder, false},
    {"Version1200AsDword", {FolderValue, {VersionValue, REG_DWORD, Le32(1200)}}, IDOK, 0, {}, true, 1200, Folder,
     false},
    {"Version1299Updated", {FolderValue, VersionBinary(1299)}, IDOK, 1, {}, true, 1299, Folder, true},
    {"Version1300Cancel", {FolderValue, VersionBinary(1300)}, IDCANCEL, 1, {Overwrite}, false, 0, "", false},
    {"Version1300Ok", {FolderValue, VersionBinary(1300)}, IDOK, 0, {Overwrite}, true, 1300, Folder, false},
    {"Version1500OkUpdated", {FolderValue, VersionBinary(1500)}, IDOK, 1, {Overwrite}, true, 1500, Folder, true},
    {"VersionFFFFFFFFCancel", {FolderValue, VersionBinary(0xFFFFFFFFu)}, IDCANCEL, 1, {Overwrite}, false, 0, "",
     false},
};

INSTANTIATE_TEST_SUITE_P(Cases, UpdaterMainRecord, ::testing::ValuesIn(RecordCases),
                         CaseLabel());

// The message texts reach the message box as Shift-JIS.
TEST(UpdaterMainTexts, AreShiftJis) {
  EXPECT_STREQ(RegistryErrorText, RegistryErrorSjis);
  EXPECT_STREQ(AppTitle, AppTitleSjis);
}

class UpdaterMainRegistryError : public ::testing::Test {
 protected:
  void SetUp() override { DeleteInstallRecord(); }
  void TearDown() override { DeleteInstallRecord(); }

  static LSTATUS WINAPI FailSecondOpen(HKEY root, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
    if (++opens == 2) return ERROR_ACCESS_DENIED;
    return ::RegOpenKeyExA(root, path, options, access, key);
  }
  static int opens;
};
int UpdaterMainRegistryError::opens = 0;

// The key opens for reading, the update finishes, but the key does not open
// again: the user is told and the old version stays recorded.
TEST_F(UpdaterMainRegistryError, ReopenFailureAfterUpdateIsReported) {
  ASSERT_NO_FATAL_FAILURE(WriteInstallValue(InstallFolderValue, REG_SZ, Sz(Folder)));
  ASSERT_NO_FATAL_FAILURE(WriteInstallValue(VersionValue, REG_BINARY, Le32(1200)));
  opens = 0;
  ScriptedUi ui;
  ui.dialogResult = 1;
  {
    ScopedSwap<decltype(Win32Api::RegOpenKeyExA)> swap(win32.RegOpenKeyExA, &FailSecondOpen);
    EXPECT_EQ(UpdaterMain(::GetModuleHandleA(nullptr)), 0);
  }
  EXPECT_EQ(opens, 2);
  EXPECT_EQ(ui.dialogs.size(), 1u);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].owner, nullptr);
  EXPECT_EQ(ui.messages[0].text, RegistryErrorSjis);
  EXPECT_EQ(ui.messages[0].caption, AppTitleSjis);
  EXPECT_EQ(ui.messages[0].flags, static_cast<UINT>(MB_OK));
  const RegValue version = ReadInstallValue(VersionValue);
  EXPECT_EQ(version.type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(version.data, Le32(1200));
}

// While this process holds the updater's mutex, an updater started in another
// process ends at once: no dialog, no message box, nothing written.
TEST(UpdaterMainSecondInstance, EndsSilentlyWhileTheMutexIsHeld) {
  DeleteInstallRecord();
  ASSERT_NO_FATAL_FAILURE(WriteInstallValue(InstallFolderValue, REG_SZ, Sz(Folder)));
  const HANDLE mutex = ::CreateMutexA(nullptr, TRUE, MutexName);
  ASSERT_NE(mutex, nullptr);
  ASSERT_NE(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  const DWORD code = RunSelf("--second-instance");
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);

  EXPECT_EQ(code, 0u) << "0x100 per dialog, 0x10000 per message box";
  EXPECT_FALSE(ReadInstallValue(VersionValue).present);
  EXPECT_EQ(ReadInstallValue(InstallFolderValue).data, Sz(Folder));
  DeleteInstallRecord();
}

// Without the mutex held the same helper does run the dialog, so the test
// above cannot pass merely because the helper never gets that far.
TEST(UpdaterMainSecondInstance, HelperRunsTheDialogWhenTheMutexIsFree) {
  DeleteInstallRecord();
  ASSERT_NO_FATAL_FAILURE(WriteInstallValue(InstallFolderValue, REG_SZ, Sz(Folder)));
  EXPECT_EQ(RunSelf("--second-instance"), 0x100u);
  const RegValue version = ReadInstallValue(VersionValue);
  EXPECT_EQ(version.type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(version.data, RecordedTarget);
  DeleteInstallRecord();
}

struct VersionText {
  const char* label;
  std::uint32_t version;
  const char* text;
};

class FormatVersion : public ::testing::TestWithParam<VersionText> {};

TEST_P(FormatVersion, GivesFiveCharactersAndNul) {
  char text[8];
  std::memset(text, '#', sizeof text);
  FormatVersionText(GetParam().version, text);
  EXPECT_STREQ(text, GetParam().text);
  EXPECT_EQ(text[6], '#');
}

INSTANTIATE_TEST_SUITE_P(Versions, FormatVersion,
                         ::testing::Values(VersionText{"V1000", 1000, "1.000"}, VersionText{"V1300", 1300, "1.300"},
                                           VersionText{"V1234", 1234, "1.234"}, VersionText{"V0", 0, "0.000"},
                                           VersionText{"V9999", 9999, "9.999"}),
                         CaseLabel());

}  // namespace
