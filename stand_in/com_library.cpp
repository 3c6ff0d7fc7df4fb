// The COM library calls, on machines without the platform: COM initialisation
// per thread and creation of the one class this stand-in serves.
#include <ole2.h>

#include "stand_in/local_machine.h"

namespace {

constexpr HRESULT kInvalidArgument = static_cast<HRESULT>(0x80070057U);

thread_local bool com_initialized = false;

// Checked before main runs, so that a mistyped fault stops even a run that
// would never reach COM.
__attribute__((constructor)) void CheckFaultKnob() { stand_in::ConfiguredFault(); }

}  // namespace

// The program leaves the local-machine object to the end of the process, which
// disposes of it: by design it is never released, so it is never freed. Told
// to the leak checker here rather than in a file or the environment, so that a
// run as any user, from any folder, has it, and says nothing of it.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" const char* __lsan_default_suppressions() { return "leak:stand_in::NewLocalMachine\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// cppcheck-suppress [constParameter, constParameterPointer] ; the signature is the platform's
HRESULT OleInitialize(void* reserved) {
  stand_in::LogCall("OleInitialize");
  if (reserved != nullptr) return kInvalidArgument;
  const stand_in::Fault fault = stand_in::ConfiguredFault();
  if (fault == stand_in::Fault::kInit) return E_FAIL;
  const bool already = com_initialized;
  com_initialized = true;
  return already || fault == stand_in::Fault::kInitPositive ? S_FALSE : S_OK;
}

// cppcheck-suppress [constParameter, constParameterPointer] ; the signature is the platform's
HRESULT CoCreateInstance(REFCLSID class_id, LPUNKNOWN outer, DWORD context, REFIID interface_id,
                         void** object) {
  stand_in::LogCall("CoCreateInstance");
  if (object == nullptr) return E_POINTER;
  if (!com_initialized) return CO_E_NOTINITIALIZED;
  switch (stand_in::ConfiguredFault()) {
    case stand_in::Fault::kCreate:
      return E_FAIL;
    case stand_in::Fault::kNoObject:
      return S_OK;  // and the caller's pointer is left as it was
    default:
      break;
  }
  // The class is registered as an in-process server only.
  if (IsEqualGUID(class_id, stand_in::kLocalMachineClassId) == 0 ||
      (context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return stand_in::NewLocalMachine(interface_id, object);
}
