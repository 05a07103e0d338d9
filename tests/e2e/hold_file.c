/* Holds a file open the way a running game holds its data: for reading, with
 * read sharing only, so that nobody may write it meanwhile.
 *
 *   hold_file.exe FILE READY RELEASE
 *
 * Opens FILE, creates the file READY to say so, and waits until the file
 * RELEASE exists (at most two minutes); then closes FILE and ends with 0. */
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (held == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(ready);
  for (int i = 0; i < 1200 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  CloseHandle(held);
  return 0;
}
