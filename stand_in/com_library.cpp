// The COM library calls, on machines without the platform: COM initialisation
// per thread and creation of the one class this stand-in serves.
#include <ole2.h>

#include "stand_in/local_machine.h"
#include "stand_in/state_store.h"

namespace {

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
  stand_in::AppendLine(stand_in::LogFile(), "OleInitialize reserved=%s",
                       stand_in::FormatPointer(reserved).text);
  if (reserved != nullptr) return E_INVALIDARG;
  const auto [fault, result] = stand_in::ConfiguredFault();
  if (fault == stand_in::Fault::kInit) return result;
  const bool already = com_initialized;
  com_initialized = true;
  if (fault == stand_in::Fault::kInitPositive) return result;
  return already ? S_FALSE : S_OK;
}

// cppcheck-suppress [constParameter, constParameterPointer] ; the signature is the platform's
HRESULT CoCreateInstance(REFCLSID class_id, LPUNKNOWN outer, DWORD context, REFIID interface_id,
                         void** object) {
  stand_in::AppendLine(stand_in::LogFile(), "CoCreateInstance %s outer=%s context=%lu %s %s%s",
                       stand_in::FormatGuid(class_id).text, stand_in::FormatPointer(outer).text,
                       static_cast<unsigned long>(context), stand_in::FormatGuid(interface_id).text,
                       object == nullptr ? "object=" : "*object=",
                       stand_in::FormatPointer(object == nullptr ? nullptr : *object).text);
  if (object == nullptr) return E_POINTER;
  if (!com_initialized) return CO_E_NOTINITIALIZED;
  // The class is looked up before its server makes the object (and meets the
  // creation faults), as under Wine: it is registered as an in-process server only.
  if (IsEqualGUID(class_id, stand_in::kLocalMachineClassId) == 0 ||
      (context & CLSCTX_INPROC_SERVER) == 0) {
    return REGDB_E_CLASSNOTREG;
  }
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return stand_in::NewLocalMachine(interface_id, object);
}
