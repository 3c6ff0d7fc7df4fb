// Access to the machine's Remote Desktop setting through the platform's
// ShellLocalMachine COM class.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <cstddef>
#include <type_traits>

extern const CLSID CLSID_ShellLocalMachine;
extern const IID IID_ILocalMachine;

struct ILocalMachine;

// The interface's method table as the class lays it out. The program calls the
// state getter and setter and nothing else; the entries before them are declared
// only so that those two sit at the positions the class gives them.
struct ILocalMachineVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(ILocalMachine* self, REFIID iid, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(ILocalMachine* self);
  ULONG(STDMETHODCALLTYPE* Release)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry4)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry5)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry6)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry7)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry8)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry9)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry10)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry11)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry12)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* Entry13)(ILocalMachine* self);
  HRESULT(STDMETHODCALLTYPE* get_RemoteDesktopEnabled)(ILocalMachine* self, VARIANT_BOOL* enabled);
  HRESULT(STDMETHODCALLTYPE* put_RemoteDesktopEnabled)(ILocalMachine* self, VARIANT_BOOL enabled);
};

struct ILocalMachine {
  const ILocalMachineVtbl* lpVtbl;
};

// Entries counted from 1, IUnknown's three first: the getter is the 14th entry
// (13 pointers in) and the setter the 15th, and the table ends there.
static_assert(offsetof(ILocalMachineVtbl, get_RemoteDesktopEnabled) == 13 * sizeof(void*),
              "the state getter must be entry 14 of the table");
static_assert(offsetof(ILocalMachineVtbl, put_RemoteDesktopEnabled) == 14 * sizeof(void*),
              "the state setter must be entry 15 of the table");
static_assert(sizeof(ILocalMachineVtbl) == 15 * sizeof(void*),
              "the table must hold exactly 15 entries");
// The two entries' calling convention too: on i386 a setter called with the
// caller's convention still runs, its frame hiding the arguments popped twice,
// so no run would show the difference.
static_assert(std::is_same_v<decltype(ILocalMachineVtbl::get_RemoteDesktopEnabled),
                             HRESULT(STDMETHODCALLTYPE*)(ILocalMachine*, VARIANT_BOOL*)>,
              "the state getter must be the class's, convention and all");
static_assert(std::is_same_v<decltype(ILocalMachineVtbl::put_RemoteDesktopEnabled),
                             HRESULT(STDMETHODCALLTYPE*)(ILocalMachine*, VARIANT_BOOL)>,
              "the state setter must be the class's, convention and all");

// Initialises COM on the calling thread. A positive result (COM already
// initialised here) counts as success.
bool InitializeCom();

// Creates the ShellLocalMachine object in-process. Returns null on failure,
// including a creation that reports success but hands back no interface.
ILocalMachine* CreateLocalMachine();

// Reads the Remote Desktop state into *state and returns the getter's result
// unchanged. A failing getter may leave *state as it was.
HRESULT QueryRemoteDesktopEnabled(ILocalMachine* machine, VARIANT_BOOL* state);

// Turns Remote Desktop on or off; true when the setter reports success.
bool SetRemoteDesktopEnabled(ILocalMachine* machine, bool enabled);
