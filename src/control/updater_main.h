// Start-up, the installation record and the update dialog.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/bounded_text.h"

constexpr char MutexName[] = "KXUPDATE Ver0.10";
constexpr char InstallKeyPath[] = "Software\\Orvelle\\Starquill";
constexpr char InstallFolderValue[] = "InstallFolder";
constexpr char VersionValue[] = "Version";

// Versions in thousandths: 1000 is 1.000.
constexpr uint32_t BaseVersion = 1000;
constexpr uint32_t TargetVersion = 1300;

// The run state, filled from the installation record before the dialog runs.
extern TextBuffer InstallDir;
extern uint32_t InstalledVersion;

// Runs the updater: single-instance guard, installation check, the optional
// overwrite question, the dialog and the version record. Always returns 0.
int UpdaterMain(HINSTANCE instance);

// The update dialog's procedure. Returns 0 for every message.
INT_PTR CALLBACK UpdateDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The five-character version text of `version` ("1.300" for 1300) into
// `text`, which holds at least 6 bytes.
void FormatVersionText(uint32_t version, char* text);
