#include "stand_in/local_machine.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

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
// type exactly. Behind the pointer is a Machine.
struct MachineTable;
struct Machine {
  const MachineTable* table;
  ULONG references;
};

Machine* Object(ILocalMachine* self) { return reinterpret_cast<Machine*>(self); }

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

bool IsOffered(REFIID interface_id) {
  return IsEqualGUID(interface_id, kUnknownInterfaceId) != 0 ||
         IsEqualGUID(interface_id, kLocalMachineInterfaceId) != 0;
}

HRESULT HandOut(Machine* self, REFIID interface_id, void** object) {
  if (object == nullptr) return E_POINTER;
  if (!IsOffered(interface_id)) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ++self->references;
  *object = self;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE QueryInterface(ILocalMachine* self, REFIID interface_id, void** object) {
  LogCall("slot", 1);
  return HandOut(Object(self), interface_id, object);
}

ULONG STDMETHODCALLTYPE AddRef(ILocalMachine* self) {
  LogCall("slot", 2);
  return ++Object(self)->references;
}

ULONG STDMETHODCALLTYPE Release(ILocalMachine* self) {
  LogCall("slot", 3);
  Machine* const machine = Object(self);
  const ULONG left = --machine->references;
  if (left == 0) {
    std::free(machine);
    --live_machines;
  }
  return left;
}

template <int kEntry>
HRESULT STDMETHODCALLTYPE Unused(ILocalMachine* /*self*/) {
  LogCall("slot", kEntry);
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE GetEnabled(ILocalMachine* /*self*/, VARIANT_BOOL* enabled) {
  if (enabled == nullptr) {
    LogCall("get null");
    return E_POINTER;
  }
  LogCall("get", *enabled);
  const Fault fault = ConfiguredFault();
  if (fault == Fault::kGet) return kGetFailure;
  VARIANT_BOOL stored = 0;
  if (!ReadState(&stored)) return E_FAIL;
  *enabled = stored;
  return fault == Fault::kGetPositive ? S_FALSE : S_OK;
}

HRESULT STDMETHODCALLTYPE SetEnabled(ILocalMachine* /*self*/, VARIANT_BOOL enabled) {
  LogCall("set", enabled);
  const Fault fault = ConfiguredFault();
  if (fault == Fault::kSet) return E_ACCESSDENIED;
  if (!WriteState(enabled)) return E_ACCESSDENIED;
  return fault == Fault::kSetPositive ? S_FALSE : S_OK;
}

const MachineTable kMachineTable = {
    QueryInterface,
    AddRef,
    Release,
    {Unused<4>, Unused<5>, Unused<6>, Unused<7>, Unused<8>, Unused<9>, Unused<10>, Unused<11>,
     Unused<12>, Unused<13>},
    GetEnabled,
    SetEnabled,
};

struct FaultName {
  const char* name;
  Fault fault;
};
const FaultName kFaultNames[] = {
    {"init", Fault::kInit},     {"init-positive", Fault::kInitPositive},
    {"create", Fault::kCreate}, {"no-object", Fault::kNoObject},
    {"get", Fault::kGet},       {"get-positive", Fault::kGetPositive},
    {"set", Fault::kSet},       {"set-positive", Fault::kSetPositive},
};

}  // namespace

Fault ConfiguredFault() noexcept {
  const char* const value = std::getenv("TALVENOR_STANDIN_FAULT");
  if (value == nullptr || value[0] == '\0') return Fault::kNone;
  const FaultName* const end = std::end(kFaultNames);
  const FaultName* const found =
      std::find_if(std::begin(kFaultNames), end,
                   [value](const FaultName& known) { return std::strcmp(value, known.name) == 0; });
  if (found != end) return found->fault;
  std::fprintf(stderr, "stand-in: TALVENOR_STANDIN_FAULT=%s is not one of", value);
  const char* separator = " ";
  for (const FaultName& known : kFaultNames) {
    std::fprintf(stderr, "%s%s", separator, known.name);
    separator = ", ";
  }
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::_Exit(2);
}

void LogCall(const char* call) noexcept {
  const char* const path = std::getenv("TALVENOR_STANDIN_LOG");
  if (path == nullptr || path[0] == '\0') return;
  AppendLine(path, call);
}

void LogCall(const char* call, long value) noexcept {
  char line[48];
  std::snprintf(line, sizeof line, "%s %ld", call, value);
  LogCall(line);
}

HRESULT NewLocalMachine(REFIID interface_id, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsOffered(interface_id)) return E_NOINTERFACE;
  auto* const machine = static_cast<Machine*>(std::malloc(sizeof(Machine)));
  if (machine == nullptr) return E_OUTOFMEMORY;
  machine->table = &kMachineTable;
  machine->references = 1;
  ++live_machines;
  *object = machine;
  return S_OK;
}

ULONG LiveLocalMachines() noexcept { return live_machines; }

}  // namespace stand_in
