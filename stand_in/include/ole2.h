// The COM library calls this program makes, for machines without the platform.
#pragma once

#include <windows.h>

struct IUnknown;
using LPUNKNOWN = IUnknown*;

enum CLSCTX : DWORD { CLSCTX_INPROC_SERVER = 1 };

// Initialises COM on the calling thread: S_OK the first time, S_FALSE after.
HRESULT OleInitialize(void* reserved);

// Creates the one class this platform knows, the local-machine object, in-process.
HRESULT CoCreateInstance(REFCLSID class_id, LPUNKNOWN outer, DWORD context, REFIID interface_id,
                         void** object);
