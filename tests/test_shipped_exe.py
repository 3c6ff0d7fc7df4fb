"""The shipped 32-bit exe by inspection: what it is, what it imports, how it
loads and what it says of itself; and the exe as the release signs it, run."""
import os

import pefile
import pytest
from conftest import built
from test_outcomes_end_to_end import CASES, run

pytestmark = pytest.mark.platforms("wine32")

HERE = os.path.dirname(os.path.abspath(__file__))

VERSION_STRINGS = {
    "FileDescription": "Turns Remote Desktop on or off",
    "FileVersion": "1.0.0.0",
    "InternalName": "talvenor",
    "OriginalFilename": "talvenor.exe",
    "ProductName": "Talvenor",
    "ProductVersion": "1.0.0.0",
}


@pytest.fixture(scope="module", params=["built", "signed"])
def exe(request, pytestconfig):
    """The exe as built, and as the zip carries it once signed."""
    if request.param == "signed":
        return pefile.PE(request.getfixturevalue("release").exe)
    return pefile.PE(built(pytestconfig, "talvenor.exe"))


def test_a_console_program_for_i386_that_loads_on_windows_xp(exe):
    header, optional = exe.FILE_HEADER, exe.OPTIONAL_HEADER
    assert {
        "machine": hex(header.Machine),
        "optional header": hex(optional.Magic),
        "subsystem": optional.Subsystem,
        "OS version": (optional.MajorOperatingSystemVersion,
                       optional.MinorOperatingSystemVersion),
        "subsystem version": (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion),
    } == {
        "machine": "0x14c",  # i386
        "optional header": "0x10b",  # PE32
        "subsystem": 3,  # console
        "OS version": (5, 1),
        "subsystem version": (5, 1),
    }


def test_imports_only_what_was_reviewed(exe):
    """Only DLLs every Windows has in its system folder (any other would be
    searched for beside the program), and only what Windows XP offers. Each
    release's mingw-w64 runtime imports its own share of the list."""
    with open(os.path.join(HERE, "shipped_exe_imports.txt")) as file:
        reviewed = {line.strip() for line in file if line.strip() and not line.startswith("#")}
    imported = {f"{dll.dll.decode()}!{entry.name.decode()}"
                for dll in exe.DIRECTORY_ENTRY_IMPORT for entry in dll.imports}
    assert sorted(imported - reviewed) == []
    assert sorted(dll.dll.decode() for dll in exe.DIRECTORY_ENTRY_IMPORT) == [
        "KERNEL32.dll", "msvcrt.dll", "ole32.dll"]


def test_aslr_dep_and_no_exception_handlers_of_its_own(exe):
    optional = exe.OPTIONAL_HEADER
    flags = pefile.DLL_CHARACTERISTICS
    assert hex(optional.DllCharacteristics) == hex(
        flags["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"] | flags["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]
        | flags["IMAGE_DLLCHARACTERISTICS_NO_SEH"])
    relocations = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    assert relocations.Size > 0, "no relocations: ASLR could not move it"


def test_stripped_of_symbols_and_debugging_information(exe):
    header = exe.FILE_HEADER
    assert (header.IMAGE_FILE_LOCAL_SYMS_STRIPPED, header.IMAGE_FILE_DEBUG_STRIPPED,
            header.NumberOfSymbols) == (True, True, 0)
    names = [section.Name.rstrip(b"\0").decode() for section in exe.sections]
    assert [name for name in names if name.startswith((".debug", "/"))] == []


def test_version_resource(exe):
    strings = {}
    for info in exe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    assert strings == VERSION_STRINGS


def test_manifest_asks_to_run_as_the_invoking_user(exe):
    manifests = [resource for kind in exe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 24
                 for name in kind.directory.entries for resource in name.directory.entries]
    assert len(manifests) == 1
    data = manifests[0].data.struct
    text = exe.get_data(data.OffsetToData, data.Size).decode()
    assert '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in text
    assert 'version="1.0.0.0"' in text


@pytest.mark.parametrize("name", ["usage", "show, enabled"])
def test_signed_exe_runs(runner, release, tmp_path, name):
    [case] = [case for case in CASES if case.name == name]
    result = run(runner, str(tmp_path), case.args, before=case.before, program=release.exe)
    assert (result.stdout.decode(), result.stderr, result.returncode) == (
        case.out.replace("\n", "\r\n"), b"", 0)
