#include "remote_desktop/remote_desktop.h"

const CLSID CLSID_ShellLocalMachine = {
    0x60664CAF, 0xAF0D, 0x0005, {0xA3, 0x00, 0x5C, 0x7D, 0x25, 0xFF, 0x22, 0xA0}};
const IID IID_ILocalMachine = {
    0x60664CAF, 0xAF0D, 0x1005, {0xA3, 0x00, 0x5C, 0x7D, 0x25, 0xFF, 0x22, 0xA0}};

bool InitializeCom() { return SUCCEEDED(OleInitialize(nullptr)); }

ILocalMachine* CreateLocalMachine() {
  // Null first: a creation that writes nothing must read as no object.
  ILocalMachine* machine = nullptr;
  const HRESULT result = CoCreateInstance(CLSID_ShellLocalMachine, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_ILocalMachine, reinterpret_cast<void**>(&machine));
  return SUCCEEDED(result) ? machine : nullptr;
}

HRESULT QueryRemoteDesktopEnabled(ILocalMachine* machine, VARIANT_BOOL* state) {
  return machine->lpVtbl->get_RemoteDesktopEnabled(machine, state);
}

bool SetRemoteDesktopEnabled(ILocalMachine* machine, bool enabled) {
  // The setting is written as 1 or 0, not as VARIANT_TRUE (-1).
  const VARIANT_BOOL state = enabled ? 1 : 0;
  return SUCCEEDED(machine->lpVtbl->put_RemoteDesktopEnabled(machine, state));
}
