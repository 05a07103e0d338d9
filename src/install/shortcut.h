// The Start-menu shortcut that an update from the base version adds.
#pragma once

#include <windows.h>

struct ShortcutEntry {
  const char* linkName;     // file name inside the game's Start-menu folder
  const char* targetName;   // executable inside the install folder
  const char* description;  // the shortcut's description
};

// The shortcuts to make, ended by a null pointer.
extern const ShortcutEntry* const ShortcutTable[];

// The game's Start-menu folder inside the user's programs folder. It is made
// by the game's installer; a missing folder means no shortcut.
constexpr char MenuMakerFolder[] = "Orvelle";
constexpr char MenuGameFolder[] = "Starquill";

// Makes every shortcut of ShortcutTable for the game in `installDir`. Silent:
// a shortcut that cannot be made is left out.
void CreateShortcuts(const char* installDir);

// Saves <programs>\Orvelle\Starquill\<linkName> pointing at
// <workingDir>\<targetName>. Returns 1 when the shell link was attempted, 0
// when the buffers, the programs folder or the COM library cannot be had.
int CreateMenuShortcut(const char* linkName, const char* targetName, const char* description,
                       const char* arguments, const char* workingDir);

// Writes the path of the special folder `csidl` into `path` (260 bytes);
// leaves `path` untouched on failure.
void GetSpecialFolderPath(int csidl, char* path);

// Removes one trailing backslash from `path`, if it has one.
void TrimTrailingBackslash(char* path);

// Creates and saves a shell link. Returns the HRESULT of the first failing
// creation step, or of the save.
HRESULT CreateShellLink(const char* linkPath, const char* targetPath, const char* description,
                        const char* arguments, const char* workingDir, const char* iconPath,
                        int iconIndex, int showCmd);
