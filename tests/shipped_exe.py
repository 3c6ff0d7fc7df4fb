#!/usr/bin/env python3
"""Checks the shipped 32-bit program by inspection, since this machine cannot
run it: what it is, what it imports, how it loads and what it says of itself.

    shipped_exe.py PROGRAM
"""
import re
import subprocess
import sys

OBJDUMP = "i686-w64-mingw32-objdump"

# Only DLLs that every Windows has in its system folder: any other would be
# searched for beside the program and in the current folder.
ALLOWED_DLLS = {"KERNEL32.dll", "msvcrt.dll", "ole32.dll"}

# Functions that Windows XP's kernel32, msvcrt and ole32 do not export, and
# that compilers and runtimes newer than XP like to reach for.
MISSING_ON_XP = {
    "AcquireSRWLockExclusive", "AcquireSRWLockShared", "CompareStringEx",
    "CoGetApartmentType", "CreateEventExA", "CreateEventExW", "CreateMutexExA", "CreateMutexExW",
    "CreateSemaphoreExW", "CreateSymbolicLinkA", "CreateSymbolicLinkW", "FlsAlloc", "FlsFree",
    "FlsGetValue", "FlsSetValue", "GetCurrentProcessorNumber", "GetFileInformationByHandleEx",
    "GetFinalPathNameByHandleA", "GetFinalPathNameByHandleW", "GetLocaleInfoEx",
    "GetQueuedCompletionStatusEx", "GetSystemTimePreciseAsFileTime", "GetTickCount64",
    "GetUserDefaultLocaleName", "InitializeConditionVariable", "InitializeCriticalSectionEx",
    "InitializeProcThreadAttributeList", "InitializeSRWLock", "InitOnceBeginInitialize",
    "InitOnceComplete", "InitOnceExecuteOnce", "LCMapStringEx", "QueryFullProcessImageNameA",
    "QueryFullProcessImageNameW", "ReleaseSRWLockExclusive", "ReleaseSRWLockShared",
    "SetDefaultDllDirectories", "SetDllDirectoryA", "SetDllDirectoryW",
    "SetFileInformationByHandle", "SleepConditionVariableCS", "SleepConditionVariableSRW",
    "TryAcquireSRWLockExclusive", "WakeAllConditionVariable", "WakeConditionVariable",
    "__acrt_iob_func", "__stdio_common_vfprintf", "_create_locale", "_free_locale",
    "_fseeki64", "_ftelli64", "_get_errno", "_set_errno", "_get_output_format",
    "_set_invalid_parameter_handler", "_invalid_parameter_noinfo",
}

VERSION_STRINGS = {
    "FileVersion": "1.0.0.0",
    "ProductVersion": "1.0.0.0",
    "ProductName": "Talvenor",
    "OriginalFilename": "talvenor.exe",
}


def header_field(dump, name):
    match = re.search(rf"^{name}\s+(\S+)", dump, re.MULTILINE)
    return match.group(1) if match else None


def imports(dump):
    """Maps each imported DLL to the names it is asked for."""
    table = {}
    current = None
    for line in dump.splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            current = table.setdefault(dll.group(1), set())
            continue
        name = re.match(r"\s+[0-9a-f]+\s+[0-9]+\s+(\S+)$", line)
        if current is not None and name:
            current.add(name.group(1))
    return table


def checks(program):
    dump = subprocess.run([OBJDUMP, "-p", program], check=True, capture_output=True,
                          text=True).stdout
    utf16 = subprocess.run(["strings", "-el", program], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    sections = subprocess.run([OBJDUMP, "-h", program], check=True, capture_output=True,
                              text=True).stdout
    ascii_text = subprocess.run(["strings", "-n", "8", program], check=True, capture_output=True,
                                text=True).stdout
    imported = imports(dump)
    names = set().union(*imported.values()) if imported else set()
    relocations = re.search(r"^Entry 5 [0-9a-f]+ ([0-9a-f]+) Base Relocation Directory", dump,
                            re.MULTILINE)

    yield "PE32 for i386", "file format pei-i386" in dump
    yield "console subsystem", re.search(r"^Subsystem\s+00000003", dump, re.MULTILINE) is not None
    for field in ("MajorOSystemVersion", "MajorSubsystemVersion"):
        minor = field.replace("Major", "Minor")
        version = (int(header_field(dump, field) or 99), int(header_field(dump, minor) or 99))
        yield f"{field[5:]} at most 5.1 (is {version[0]}.{version[1]})", version <= (5, 1)
    yield f"imports only {sorted(ALLOWED_DLLS)} (has {sorted(imported)})", \
        set(imported) <= ALLOWED_DLLS
    yield "imports COM initialisation and creation from ole32", \
        {"OleInitialize", "CoCreateInstance"} <= imported.get("ole32.dll", set())
    too_new = sorted(n for n in names if n in MISSING_ON_XP or n.endswith("_s"))
    yield f"imports nothing Windows XP lacks (found {too_new})", not too_new
    yield "ASLR (DYNAMIC_BASE)", "DYNAMIC_BASE" in dump
    yield "DEP (NX_COMPAT)", "NX_COMPAT" in dump
    yield "no exception handlers of its own (NO_SEH)", "NO_SEH" in dump
    yield "relocations kept, so that ASLR can move it", \
        bool(relocations) and int(relocations.group(1), 16) > 0
    yield "stripped of symbols and debugging information", (
        "symbols stripped" in dump and "debugging information removed" in dump
        and re.search(r"^\s+\d+ (\.debug|/\d)", sections, re.MULTILINE) is None)
    for key, value in VERSION_STRINGS.items():
        at = [i for i, line in enumerate(utf16) if line == key]
        yield f"version resource {key} = {value}", any(
            i + 1 < len(utf16) and utf16[i + 1] == value for i in at)
    yield "version resource has a FileDescription", "FileDescription" in utf16
    yield "manifest asks to run as invoker", \
        'requestedExecutionLevel level="asInvoker"' in ascii_text


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    passed = failed = 0
    for name, ok in checks(argv[1]):
        print(("ok   " if ok else "FAIL ") + name)
        passed += bool(ok)
        failed += not ok
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
