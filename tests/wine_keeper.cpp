// Kept running in a Wine prefix for a whole table of runs. A program with a
// window brings up the prefix's desktop process; with this one holding it,
// each run finds the desktop there instead of starting one of its own, which
// under emulation costs seconds and crashes on its way out.
#include <windows.h>

int main() {
  CreateWindowExA(0, "STATIC", "talvenor keeper", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                  nullptr);
  Sleep(INFINITE);
}
