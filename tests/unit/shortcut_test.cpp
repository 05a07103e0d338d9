// The Start-menu shortcut: the programs-folder path rule, the link as the
// shell reads it back, and where no link may appear.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include <gtest/gtest.h>

#include "install/shortcut.h"
#include "platform/win32_api.h"
#include "resources/texts.h"
#include "test_support.h"

namespace {

TEST(TrimTrailingBackslash, RemovesExactlyOneBackslash) {
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"C:\\Menu\\Programs\\", "C:\\Menu\\Programs"},
      {"C:\\Menu\\Programs\\\\", "C:\\Menu\\Programs\\"},
      {"C:\\Menu\\Programs", "C:\\Menu\\Programs"},
      {"\\", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    char path[MAX_PATH];
    lstrcpyA(path, c.before);
    TrimTrailingBackslash(path);
    EXPECT_STREQ(path, c.after);
  }
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

struct LinkFields {
  std::string path, description, workingDir, arguments, iconPath;
  int showCmd = -1;
};

// Reads a saved link back through the shell's own IShellLinkA.
LinkFields ReadLink(const std::string& linkPath) {
  LinkFields fields;
  IShellLinkA* link = nullptr;
  IPersistFile* file = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(&link)))) {
    ADD_FAILURE() << "no shell link object";
    return fields;
  }
  link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
  WCHAR wide[MAX_PATH];
  MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wide, MAX_PATH);
  EXPECT_EQ(file->Load(wide, STGM_READ), S_OK) << linkPath;
  char text[MAX_PATH];
  memset(text, 0xdd, sizeof text);
  if (link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH) == S_OK) fields.path = text;
  if (link->GetDescription(text, MAX_PATH) == S_OK) fields.description = text;
  if (link->GetWorkingDirectory(text, MAX_PATH) == S_OK) fields.workingDir = text;
  if (link->GetArguments(text, MAX_PATH) == S_OK) fields.arguments = text;
  int icon = -1;
  if (link->GetIconLocation(text, MAX_PATH, &icon) == S_OK) fields.iconPath = text;
  link->GetShowCmd(&fields.showCmd);
  file->Release();
  link->Release();
  return fields;
}

class ShortcutTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(CoInitialize(nullptr), 0); }
  void TearDown() override { CoUninitialize(); }
};

TEST_F(ShortcutTest, SavedLinkReadsBackThroughTheShell) {
  ScratchFolder folder;
  const std::string linkPath = folder / ThirtyFpsLinkName;
  const HRESULT hr = CreateShellLink(linkPath.c_str(), "C:\\Games\\Starquill\\Tesselka30.exe",
                                     ThirtyFpsDescription, nullptr, "C:\\Games\\Starquill", nullptr, 0,
                                     SW_SHOWNORMAL);
  ASSERT_EQ(hr, S_OK);
  const LinkFields link = ReadLink(linkPath);
  EXPECT_EQ(link.path, "C:\\Games\\Starquill\\Tesselka30.exe");
  EXPECT_EQ(link.description, ThirtyFpsDescription);
  EXPECT_EQ(link.workingDir, "C:\\Games\\Starquill");
  EXPECT_EQ(link.arguments, "");
  EXPECT_EQ(link.iconPath, "");
  EXPECT_EQ(link.showCmd, SW_SHOWNORMAL);
}

TEST_F(ShortcutTest, SaveIntoAMissingFolderFailsAndWritesNothing) {
  ScratchFolder folder;
  const std::string linkPath = folder / "absent\\x.lnk";
  EXPECT_LT(CreateShellLink(linkPath.c_str(), "C:\\t.exe", "d", nullptr, "C:\\", nullptr, 0, SW_SHOWNORMAL), 0);
  EXPECT_FALSE(Exists(linkPath));
}

// Stands in for the shell's answer about the programs folder.
std::string fakeProgramsFolder;
BOOL WINAPI FakePathFromIDList(PCIDLIST_ABSOLUTE, LPSTR path) {
  lstrcpyA(path, fakeProgramsFolder.c_str());
  return TRUE;
}
HRESULT WINAPI NoSpecialFolder(HWND, int, PIDLIST_ABSOLUTE*) { return E_FAIL; }

TEST_F(ShortcutTest, ProgramsFolderWithTrailingBackslashGetsTheLinkInsideIt) {
  ScratchFolder programs;
  CreateDirectoryA((programs / MenuMakerFolder).c_str(), nullptr);
  CreateDirectoryA((programs / MenuMakerFolder + "\\" + MenuGameFolder).c_str(), nullptr);
  fakeProgramsFolder = programs.path() + "\\";
  {
    ScopedSwap<decltype(Win32Api::SHGetPathFromIDListA)> swap(win32.SHGetPathFromIDListA, &FakePathFromIDList);
    CreateShortcuts("C:\\Games\\Starquill");
  }

  const LinkFields link =
      ReadLink(programs / MenuMakerFolder + "\\" + MenuGameFolder + "\\" + ThirtyFpsLinkName);
  EXPECT_EQ(link.path, "C:\\Games\\Starquill\\Tesselka30.exe");
  EXPECT_EQ(link.workingDir, "C:\\Games\\Starquill");
}

TEST_F(ShortcutTest, NoProgramsFolderMeansNoLinkAtTheDriveRoot) {
  // Were the empty programs path used, the link would land in this folder.
  const std::string rootMenu = std::string("C:\\") + MenuMakerFolder;
  RemoveTree(rootMenu);
  ASSERT_TRUE(CreateDirectoryA(rootMenu.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((rootMenu + "\\" + MenuGameFolder).c_str(), nullptr));
  int result = -1;
  {
    CurrentDirectory atRoot("C:\\");
    ScopedSwap<decltype(Win32Api::SHGetSpecialFolderLocation)> swap(win32.SHGetSpecialFolderLocation,
                                                                     &NoSpecialFolder);
    result = CreateMenuShortcut(ThirtyFpsLinkName, "Tesselka30.exe", ThirtyFpsDescription, nullptr,
                                "C:\\Games\\Starquill");
  }
  const bool linkAtRoot = Exists(rootMenu + "\\" + MenuGameFolder + "\\" + ThirtyFpsLinkName);
  RemoveTree(rootMenu);
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(linkAtRoot);
}

}  // namespace
