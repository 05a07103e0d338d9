// The GUI entry point: run the updater, then exit with its result.
#include <windows.h>

#include "control/updater_main.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) { return UpdaterMain(instance); }
