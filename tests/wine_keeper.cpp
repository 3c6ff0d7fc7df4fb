// wine_keeper READY_FILE: kept running in a Wine prefix for a whole session of
// runs. A program with a window brings up the prefix's desktop process; with
// this one holding it, each run finds the desktop there instead of starting
// one of its own, or meeting one on its way out. READY_FILE is created once
// the window exists, so that nothing else starts before the desktop is up.
#include <windows.h>

int main(int argc, char* argv[]) {
  if (argc != 2) return 2;
  if (CreateWindowExA(0, "STATIC", "talvenor keeper", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                      nullptr) == nullptr) {
    return 1;
  }
  const HANDLE ready = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  Sleep(INFINITE);
}
