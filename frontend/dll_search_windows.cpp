#include <windows.h>

#include "frontend/dll_search.h"

namespace {

template <typename Call>
Call KernelEntry(HMODULE kernel, const char* name) {
  if (kernel == nullptr) return nullptr;
  // GetProcAddress hands back a generic function pointer; the entry's own type is Call.
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

}  // namespace

void RestrictDllSearch() {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  RestrictDllSearchWith(
      KernelEntry<SetDefaultDllDirectoriesCall>(kernel, "SetDefaultDllDirectories"),
      KernelEntry<SetDllDirectoryCall>(kernel, "SetDllDirectoryW"));
}
