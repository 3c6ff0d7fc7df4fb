#include <csignal>
#include <cstdio>

#include "frontend/command.h"
#include "frontend/dll_search.h"
#include "remote_desktop/remote_desktop.h"

// cppcheck-suppress constParameter ; the signature is the language's
int main(int argc, char* argv[]) {
#ifdef _WIN32
  // First, before the program itself loads any DLL by name or COM loads a
  // class's server; the DLLs it imports were loaded before main.
  RestrictDllSearch();
#endif
#ifdef SIGPIPE
  // A reader that has gone away makes a write fail; it must not end the run
  // before its status is decided.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const RemoteDesktopOperations platform = {InitializeCom, CreateLocalMachine,
                                            QueryRemoteDesktopEnabled, SetRemoteDesktopEnabled};
  return RunCommand(argc, argv, platform, stdout, stderr);
}
