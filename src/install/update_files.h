// The update list and the replacement of its files in the install folder.
#pragma once

#include <windows.h>

#include <cstdint>

// Payload names (opened through OpenPayload) and target file names inside the
// install folder, in processing order; both lists end with a null entry.
extern const char* const UpdateSourceNames[];
extern const char* const UpdateTargetNames[];

// The update container the payloads fall back on, in the current directory.
constexpr char ContainerName[] = "UpdateData.dat";

// Payloads are copied through a buffer of this many bytes, so memory stays
// flat whatever a payload's size.
constexpr uint32_t CopyChunkSize = 4u << 20;

// Replaces every listed file in `installDir` with its payload.
//
// First every entry is checked: its target path must fit and its payload
// must open whole; if one fails, nothing in the folder changes. Then, entry by
// entry, the payload is copied into a temporary file in the folder, which is
// then moved over the target, so a failed entry leaves its target as it was.
// On the first failure the user is told "ファイルが書き込めません。[name]"
// (owned by `owner`) and 0 is returned; earlier entries stay replaced.
// Returns 1 when every file was replaced.
int ApplyUpdateFiles(HWND owner, const char* installDir);
