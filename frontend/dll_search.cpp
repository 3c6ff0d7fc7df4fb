#include "frontend/dll_search.h"

void RestrictDllSearchWith(SetDefaultDllDirectoriesCall set_default,
                           SetDllDirectoryCall set_folder) {
  if (set_default != nullptr) {
    set_default(kSearchSystemFolderOnly);
  } else if (set_folder != nullptr) {
    set_folder(L"");  // empty, not null: null would put the current folder back
  }
}
