// The command line front end: one run, from arguments to exit status.
#pragma once

#include <cstdio>

#include "remote_desktop/remote_desktop.h"

// The operations a run drives, in the order it calls them. main wires the
// platform's; tests wire fakes.
struct RemoteDesktopOperations {
  bool (*InitializeCom)();
  ILocalMachine* (*CreateLocalMachine)();
  HRESULT (*QueryRemoteDesktopEnabled)(ILocalMachine* machine, VARIANT_BOOL* state);
  bool (*SetRemoteDesktopEnabled)(ILocalMachine* machine, bool enabled);
};

enum ExitStatus { kExitSuccess = 0, kExitFailure = 1 };

// Carries out the command in argv[1] ("e", "d" or "s", by its first byte),
// writing messages to out and err, and returns the exit status.
int RunCommand(int argc, const char* const* argv, const RemoteDesktopOperations& operations,
               std::FILE* out, std::FILE* err);
