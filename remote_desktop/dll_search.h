// Where the platform may look for a DLL that it, or a COM class's server,
// loads by bare name.
#pragma once

// Limits that search to the system folder where the platform can (Windows 8,
// or 7 with its DLL-search update); elsewhere takes at least the current
// folder out of it (Windows XP SP1 on). An administrator runs this program
// from wherever its zip was unpacked, and a DLL planted there would otherwise
// run with the administrator's rights. Does nothing on a platform that offers
// neither call; the run goes on unchanged whatever they return.
void RestrictDllSearch();
