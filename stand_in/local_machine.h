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

// TALVENOR_STANDIN_FAULT: the one platform call that misbehaves in this run,
// as a fault's name, or its name, "=" and the result it answers instead of its
// own, written 0x and eight hex digits (get=0x8000FFFF). A result of another
// kind than the fault's own (a success for a failure, S_OK for a positive
// success) is refused. The "positive" faults do their work and then answer a
// success code other than S_OK; "create-poison" writes a pointer that is no
// object and fails.
enum class Fault {
  kNone,
  kInit,
  kInitPositive,
  kCreate,
  kCreatePoison,
  kCreatePositive,
  kNoObject,
  kGet,
  kGetPositive,
  kSet,
  kSetPositive
};

// What the getter answers under the "get" fault: a code of its own, so that a
// test can tell it passed on from one a caller made up.
constexpr HRESULT kGetFailure = static_cast<HRESULT>(0x80070015U);  // "device not ready"

// What "create-poison" writes to the caller's pointer: calling through it crashes.
inline void* const kPoisonObject = reinterpret_cast<void*>(0x5A5A5A5AU);

struct FaultSetting {
  Fault fault;
  HRESULT result;  // what the faulty call answers
};

// Reads TALVENOR_STANDIN_FAULT. A value it does not know ends the process with
// status 2 after one line on standard error, so that a mistyped test cannot
// pass by running without its fault.
FaultSetting ConfiguredFault() noexcept;

// TALVENOR_STANDIN_LOG: the file that gets a line for each platform call, for AppendLine.
const char* LogFile() noexcept;

// How the log writes an identifier, in full and in braces, and a pointer: "null" or in hex.
struct GuidText {
  char text[39];
};
GuidText FormatGuid(const GUID& identifier) noexcept;
struct PointerText {
  char text[2 + (2 * sizeof(void*)) + 1];  // "0x", the digits, the terminator
};
PointerText FormatPointer(const void* pointer) noexcept;

// The class's creation, for the native library and the server alike, as the
// fault says: "create" and "no-object" answer their result and leave *object
// as it was, "create-poison" writes kPoisonObject and answers its result.
// Otherwise prepare (when given) runs, and an object is made and its
// interface_id interface handed out with one reference, E_NOINTERFACE for any
// interface but IUnknown and the local-machine one; "create-positive" then
// answers its result. Its IUnknown is a pointer of its own, whose table has the
// getter's and the setter's places too, where entries stand that only log and fail.
HRESULT NewLocalMachine(REFIID interface_id, void** object, void (*prepare)() = nullptr) noexcept;

// Objects not yet released, for a server deciding whether it may unload.
ULONG LiveLocalMachines() noexcept;

}  // namespace stand_in
