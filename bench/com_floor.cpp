// The floor for a "show" run: exactly the platform calls the program makes to
// read the state (COM initialisation, the object's creation, the getter), and
// nothing else. A call that fails is named with its result code, so that the
// bench can tell a failure of the floor from one of Wine's.
#include <cstdio>

#include "remote_desktop/remote_desktop.h"

namespace {

int Failed(const char* call, HRESULT result) {
  std::fprintf(stderr, "com_floor: %s failed: 0x%08lx\n", call, static_cast<unsigned long>(result));
  return 1;
}

}  // namespace

int main() {
  HRESULT result = OleInitialize(nullptr);
  if (result < 0) return Failed("OleInitialize", result);
  ILocalMachine* machine = nullptr;
  result = CoCreateInstance(CLSID_ShellLocalMachine, nullptr, CLSCTX_INPROC_SERVER,
                            IID_ILocalMachine, reinterpret_cast<void**>(&machine));
  if (result < 0) return Failed("CoCreateInstance", result);
  if (machine == nullptr) return Failed("CoCreateInstance (no interface)", result);
  VARIANT_BOOL state = 0;
  result = machine->lpVtbl->get_RemoteDesktopEnabled(machine, &state);
  if (result < 0) return Failed("get_RemoteDesktopEnabled", result);
  return 0;
}
