// Where the platform may look for a DLL that it, or a COM class's server,
// loads by bare name.
#pragma once

#include <windows.h>

using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD flags);
using SetDllDirectoryCall = BOOL(WINAPI*)(const wchar_t* folder);

// LOAD_LIBRARY_SEARCH_SYSTEM32, which headers for older Windows do not define.
constexpr DWORD kSearchSystemFolderOnly = 0x800;

// Limits that search with the best of the two kernel entries offered (null
// for one the kernel lacks): to the system folder with SetDefaultDllDirectories
// (Windows 8, or 7 with its DLL-search update), else at least without the
// current folder with SetDllDirectoryW(L"") (Windows XP SP1 on), else nothing.
// An administrator runs this program from wherever its zip was unpacked, and a
// DLL planted there would otherwise run with the administrator's rights. The
// run goes on unchanged whatever the entry returns.
void RestrictDllSearchWith(SetDefaultDllDirectoriesCall set_default,
                           SetDllDirectoryCall set_folder);

#ifdef _WIN32
// Looks the two entries up in kernel32 at run time, so that the program
// imports neither and still loads on the Windows versions that lack them.
void RestrictDllSearch();
#endif
