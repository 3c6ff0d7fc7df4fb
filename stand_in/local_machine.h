// The stand-in local-machine object: the class the program creates, with its
// setting kept in a file, its calls logged and its faults chosen by the
// environment. One source, hosted by the native COM library and by the
// in-process server DLL.
#pragma once

#include <windows.h>

#include <ole2.h>

namespace stand_in {

extern const CLSID kLocalMachineClassId;
extern const IID kLocalMachineInterfaceId;

// TALVENOR_STANDIN_FAULT: the one platform call that misbehaves in this run.
// The two "positive" faults of the object do their work and then answer
// S_FALSE, a success code other than S_OK.
enum class Fault {
  kNone,
  kInit,
  kInitPositive,
  kCreate,
  kNoObject,
  kGet,
  kGetPositive,
  kSet,
  kSetPositive
};

// What the getter answers under the "get" fault: a code of its own, so that a
// test can tell it passed on from one a caller made up.
constexpr HRESULT kGetFailure = static_cast<HRESULT>(0x80070015U);  // "device not ready"

// Reads TALVENOR_STANDIN_FAULT. A value it does not know ends the process with
// status 2 after one line on standard error, so that a mistyped test cannot
// pass by running without its fault.
Fault ConfiguredFault() noexcept;

// Appends one line to the file named by TALVENOR_STANDIN_LOG, if it is set.
void LogCall(const char* call) noexcept;
void LogCall(const char* call, long value) noexcept;

// Creates an object and hands out its interface_id interface with one
// reference; E_NOINTERFACE for any interface but IUnknown and the local-machine one.
HRESULT NewLocalMachine(REFIID interface_id, void** object) noexcept;

// Objects not yet released, for a server deciding whether it may unload.
ULONG LiveLocalMachines() noexcept;

}  // namespace stand_in
