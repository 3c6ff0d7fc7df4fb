#include "remote_desktop/dll_search.h"

#include <windows.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32, which headers for older Windows do not define.
constexpr DWORD kSearchSystemFolderOnly = 0x800;

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD flags);
using SetDllDirectoryCall = BOOL(WINAPI*)(const wchar_t* folder);

// Looked up at run time, so that the program imports neither call and still
// loads on the Windows versions that lack them.
template <typename Call>
Call KernelEntry(const char* name) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  // GetProcAddress hands back a generic function pointer; the entry's own type is Call.
  return reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

}  // namespace

void RestrictDllSearch() {
  if (const auto set_default =
          KernelEntry<SetDefaultDllDirectoriesCall>("SetDefaultDllDirectories")) {
    set_default(kSearchSystemFolderOnly);
  } else if (const auto set_folder = KernelEntry<SetDllDirectoryCall>("SetDllDirectoryW")) {
    set_folder(L"");
  }
}
