// The floor for a "show" run: exactly the platform calls the program makes to
// read the state (COM initialisation, the object's creation, the getter), and
// nothing else.
#include "remote_desktop/remote_desktop.h"

int main() {
  OleInitialize(nullptr);
  ILocalMachine* machine = nullptr;
  CoCreateInstance(CLSID_ShellLocalMachine, nullptr, CLSCTX_INPROC_SERVER, IID_ILocalMachine,
                   reinterpret_cast<void**>(&machine));
  VARIANT_BOOL state = 0;
  return machine == nullptr
             ? 1
             : static_cast<int>(machine->lpVtbl->get_RemoteDesktopEnabled(machine, &state) < 0);
}
