#include "stand_in/local_machine.h"

#include <charconv>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "stand_in/state_store.h"

struct ILocalMachine;

namespace stand_in {

const CLSID kLocalMachineClassId = {
    0x60664CAF, 0xAF0D, 0x0005, {0xA3, 0x00, 0x5C, 0x7D, 0x25, 0xFF, 0x22, 0xA0}};
const IID kLocalMachineInterfaceId = {
    0x60664CAF, 0xAF0D, 0x1005, {0xA3, 0x00, 0x5C, 0x7D, 0x25, 0xFF, 0x22, 0xA0}};

namespace {

const IID kUnknownInterfaceId = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Callers hold the object as an ILocalMachine*, the interface's name in their
// headers; entries take that type so that each call matches the function's own
// type exactly. Behind the pointer is one of a Machine's two faces: its
// local-machine interface, or its IUnknown, a pointer of its own as COM allows.
enum Face : int { kMachineFace, kUnknownFace, kFaces };
struct MachineTable;
struct Machine {
  const MachineTable* faces[kFaces];
  ULONG references;  // shared by both faces
};

template <int kFace>
Machine* Object(ILocalMachine* self) {
  return reinterpret_cast<Machine*>(reinterpret_cast<const MachineTable**>(self) - kFace);
}

// The method table as the class lays it out: IUnknown's three entries, ten
// entries this program has no use for, then the state getter and setter.
constexpr int kUnusedEntries = 10;
using UnusedEntry = HRESULT(STDMETHODCALLTYPE*)(ILocalMachine* self);
struct MachineTable {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)
  (ILocalMachine* self, REFIID interface_id, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(ILocalMachine* self);
  ULONG(STDMETHODCALLTYPE* Release)(ILocalMachine* self);
  UnusedEntry unused[kUnusedEntries];
  HRESULT(STDMETHODCALLTYPE* GetEnabled)(ILocalMachine* self, VARIANT_BOOL* enabled);
  HRESULT(STDMETHODCALLTYPE* SetEnabled)(ILocalMachine* self, VARIANT_BOOL enabled);
};
static_assert(offsetof(MachineTable, GetEnabled) == 13 * sizeof(void*), "getter is entry 14");
static_assert(offsetof(MachineTable, SetEnabled) == 14 * sizeof(void*), "setter is entry 15");

ULONG live_machines = 0;
// The pointer the latest creation handed out, for the getter and setter to
// tell whether they were called on it.
const void* created = nullptr;

const char* SelfName(const ILocalMachine* self) { return self == created ? "created" : "other"; }

template <int kFace>
void LogSlot(int entry) {
  AppendLine(LogFile(), "slot %d%s", entry, kFace == kUnknownFace ? " via IUnknown" : "");
}

HRESULT HandOut(Machine* self, REFIID interface_id, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualGUID(interface_id, kUnknownInterfaceId) != 0) {
    *object = static_cast<void*>(&self->faces[kUnknownFace]);
  } else if (IsEqualGUID(interface_id, kLocalMachineInterfaceId) != 0) {
    *object = static_cast<void*>(&self->faces[kMachineFace]);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ++self->references;
  return S_OK;
}

template <int kFace>
HRESULT STDMETHODCALLTYPE QueryInterface(ILocalMachine* self, REFIID interface_id, void** object) {
  LogSlot<kFace>(1);
  return HandOut(Object<kFace>(self), interface_id, object);
}

template <int kFace>
ULONG STDMETHODCALLTYPE AddRef(ILocalMachine* self) {
  LogSlot<kFace>(2);
  return ++Object<kFace>(self)->references;
}

template <int kFace>
ULONG STDMETHODCALLTYPE Release(ILocalMachine* self) {
  LogSlot<kFace>(3);
  Machine* const machine = Object<kFace>(self);
  const ULONG left = --machine->references;
  if (left == 0) {
    std::free(machine);
    --live_machines;
  }
  return left;
}

// An entry that only logs and fails: one this program has no use for, or, where
// the IUnknown face has the getter and the setter, one that a caller holding
// the wrong pointer reaches, and that fails where it can see.
template <int kFace, int kEntry, typename... Arguments>
HRESULT STDMETHODCALLTYPE Unused(ILocalMachine* /*self*/, Arguments... /*arguments*/) {
  LogSlot<kFace>(kEntry);
  return E_NOTIMPL;
}

// cppcheck-suppress constParameterCallback ; the signature is the interface's
HRESULT STDMETHODCALLTYPE GetEnabled(ILocalMachine* self, VARIANT_BOOL* enabled) {
  if (enabled == nullptr) {
    AppendLine(LogFile(), "get self=%s null", SelfName(self));
    return E_POINTER;
  }
  AppendLine(LogFile(), "get self=%s %d", SelfName(self), *enabled);
  const auto [fault, result] = ConfiguredFault();
  if (fault == Fault::kGet) return result;
  VARIANT_BOOL stored = 0;
  if (!ReadState(&stored)) return E_FAIL;
  *enabled = stored;
  return fault == Fault::kGetPositive ? result : S_OK;
}

// cppcheck-suppress constParameterCallback ; the signature is the interface's
HRESULT STDMETHODCALLTYPE SetEnabled(ILocalMachine* self, VARIANT_BOOL enabled) {
  AppendLine(LogFile(), "set self=%s %d", SelfName(self), enabled);
  const auto [fault, result] = ConfiguredFault();
  if (fault == Fault::kSet) return result;
  if (!WriteState(enabled)) return E_ACCESSDENIED;
  return fault == Fault::kSetPositive ? result : S_OK;
}

template <int kFace>
constexpr MachineTable TableOf(decltype(MachineTable::GetEnabled) get,
                               decltype(MachineTable::SetEnabled) set) {
  return {QueryInterface<kFace>,
          AddRef<kFace>,
          Release<kFace>,
          {Unused<kFace, 4>, Unused<kFace, 5>, Unused<kFace, 6>, Unused<kFace, 7>, Unused<kFace, 8>,
           Unused<kFace, 9>, Unused<kFace, 10>, Unused<kFace, 11>, Unused<kFace, 12>,
           Unused<kFace, 13>},
          get,
          set};
}

const MachineTable kMachineTable = TableOf<kMachineFace>(GetEnabled, SetEnabled);
const MachineTable kUnknownTable =
    TableOf<kUnknownFace>(Unused<kUnknownFace, 14>, Unused<kUnknownFace, 15>);

struct FaultName {
  const char* name;
  Fault fault;
  HRESULT result;  // unless the setting names another
};
const FaultName kFaultNames[] = {
    {"init", Fault::kInit, E_FAIL},
    {"init-positive", Fault::kInitPositive, S_FALSE},
    {"create", Fault::kCreate, E_FAIL},
    {"create-poison", Fault::kCreatePoison, E_OUTOFMEMORY},
    {"create-positive", Fault::kCreatePositive, S_FALSE},
    {"no-object", Fault::kNoObject, S_OK},
    {"get", Fault::kGet, kGetFailure},
    {"get-positive", Fault::kGetPositive, S_FALSE},
    {"set", Fault::kSet, E_ACCESSDENIED},
    {"set-positive", Fault::kSetPositive, S_FALSE},
};

// The result after "=", as TALVENOR_STANDIN_FAULT's comment in the header gives it.
bool ParseResult(const char* text, const FaultName& known, HRESULT* result) {
  constexpr std::size_t kDigits = 8;
  if (std::strncmp(text, "0x", 2) != 0 || std::strlen(text + 2) != kDigits) return false;
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text + 2, text + 2 + kDigits, value, 16);
  if (error != std::errc() || end != text + 2 + kDigits) return false;
  *result = static_cast<HRESULT>(value);
  return (*result < 0) == (known.result < 0) && (*result == 0) == (known.result == 0);
}

}  // namespace

FaultSetting ConfiguredFault() noexcept {
  const char* const value = std::getenv("TALVENOR_STANDIN_FAULT");
  if (value == nullptr || value[0] == '\0') return {Fault::kNone, S_OK};
  const std::string_view setting = value;
  const std::size_t equals = setting.find('=');
  for (const FaultName& known : kFaultNames) {
    if (setting.substr(0, equals) != known.name) continue;
    HRESULT result = known.result;
    if (equals == std::string_view::npos || ParseResult(value + equals + 1, known, &result)) {
      return {known.fault, result};
    }
    break;
  }
  std::fprintf(stderr, "stand-in: TALVENOR_STANDIN_FAULT=%s is not one of", value);
  const char* separator = " ";
  for (const FaultName& known : kFaultNames) {
    std::fprintf(stderr, "%s%s", separator, known.name);
    separator = ", ";
  }
  std::fputs(", each alone or with =0x and eight hex digits of a result of its kind\n", stderr);
  std::fflush(stderr);
  std::_Exit(2);
}

const char* LogFile() noexcept { return std::getenv("TALVENOR_STANDIN_LOG"); }

GuidText FormatGuid(const GUID& identifier) noexcept {
  GuidText text;
  std::snprintf(text.text, sizeof text.text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(identifier.Data1),
                static_cast<unsigned>(identifier.Data2), static_cast<unsigned>(identifier.Data3),
                identifier.Data4[0], identifier.Data4[1], identifier.Data4[2], identifier.Data4[3],
                identifier.Data4[4], identifier.Data4[5], identifier.Data4[6], identifier.Data4[7]);
  return text;
}

PointerText FormatPointer(const void* pointer) noexcept {
  PointerText text = {"null"};
  if (pointer != nullptr) {
    std::snprintf(text.text, sizeof text.text, "0x%" PRIXPTR,
                  reinterpret_cast<std::uintptr_t>(pointer));
  }
  return text;
}

HRESULT NewLocalMachine(REFIID interface_id, void** object, void (*prepare)()) noexcept {
  if (object == nullptr) return E_POINTER;
  const auto [fault, result] = ConfiguredFault();
  switch (fault) {
    case Fault::kCreate:
    case Fault::kNoObject:
      return result;  // and the caller's pointer is left as it was
    case Fault::kCreatePoison:
      *object = kPoisonObject;
      return result;
    default:
      break;
  }
  *object = nullptr;
  if (prepare != nullptr) prepare();
  auto* const machine = static_cast<Machine*>(std::malloc(sizeof(Machine)));
  if (machine == nullptr) return E_OUTOFMEMORY;
  *machine = {{&kMachineTable, &kUnknownTable}, 0};
  if (HandOut(machine, interface_id, object) != S_OK) {
    std::free(machine);
    return E_NOINTERFACE;
  }
  ++live_machines;
  created = *object;
  // The object lives on behind the pointer handed out, which points into it.
  // cppcheck-suppress memleak
  return fault == Fault::kCreatePositive ? result : S_OK;
}

ULONG LiveLocalMachines() noexcept { return live_machines; }

}  // namespace stand_in
