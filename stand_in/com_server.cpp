// The stand-in local-machine class as an in-process COM server, for running
// the Windows program against it under Wine. The COM library is then Wine's;
// this file only serves the class.
#include <windows.h>

#include <ole2.h>
#include <olectl.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "stand_in/local_machine.h"
#include "stand_in/state_store.h"

namespace {

HMODULE server_module = nullptr;
LONG server_locks = 0;

const char kClassKey[] = "CLSID\\{60664CAF-AF0D-0005-A300-5C7D25FF22A0}";
const char kServerKey[] = "CLSID\\{60664CAF-AF0D-0005-A300-5C7D25FF22A0}\\InprocServer32";
const char kHandlerKey[] = "CLSID\\{60664CAF-AF0D-0005-A300-5C7D25FF22A0}\\InprocHandler32";

const char* ApartmentName() {
  // By APTTYPE: APTTYPE_STA (0), APTTYPE_MTA, APTTYPE_NA, APTTYPE_MAINSTA (3).
  const char* const names[] = {"sta", "mta", "neutral", "main-sta"};
  APTTYPE type;
  APTTYPEQUALIFIER qualifier;
  if (FAILED(CoGetApartmentType(&type, &qualifier))) return "none";
  return type >= APTTYPE_STA && type <= APTTYPE_MAINSTA ? names[type] : "other";
}

// What each creation that goes ahead does first. TALVENOR_STANDIN_HOST: a file
// that gets where the object is created, as the program's file name and the
// apartment of the creating thread, so that a test can see the object made
// inside the program on its own (main) thread. TALVENOR_STANDIN_LOAD: a DLL
// loaded by bare name, as a class's server may, logged as "loaded NAME" or
// "not loaded NAME", so that a test can see which folders the platform searches.
void BeforeCreation() {
  char program[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, program, MAX_PATH);
  const char* const name = std::strrchr(program, '\\');
  stand_in::AppendLine(std::getenv("TALVENOR_STANDIN_HOST"), "%s %s",
                       name == nullptr ? program : name + 1, ApartmentName());
  const char* const library_name = std::getenv("TALVENOR_STANDIN_LOAD");
  if (library_name == nullptr || library_name[0] == '\0') return;
  const HMODULE library = LoadLibraryA(library_name);
  stand_in::AppendLine(stand_in::LogFile(), "%s %s", library != nullptr ? "loaded" : "not loaded",
                       library_name);
  if (library != nullptr) FreeLibrary(library);
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID interface_id, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualGUID(interface_id, IID_IUnknown) == 0 &&
        IsEqualGUID(interface_id, IID_IClassFactory) == 0) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // One factory for the life of the server: nothing to count.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  // Logged as "CreateInstance outer=<pointer> <interface>": what Wine's COM
  // library asks the factory for on the program's behalf.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID interface_id,
                                           void** object) override {
    stand_in::AppendLine(stand_in::LogFile(), "CreateInstance outer=%s %s",
                         stand_in::FormatPointer(outer).text,
                         stand_in::FormatGuid(interface_id).text);
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return stand_in::NewLocalMachine(interface_id, object, BeforeCreation);
  }

  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    InterlockedExchangeAdd(&server_locks, lock != FALSE ? 1 : -1);
    return S_OK;
  }
};

ClassFactory class_factory;

bool SetString(HKEY root, const char* key, const char* name, const char* value) {
  HKEY opened;
  if (RegCreateKeyExA(root, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) !=
      ERROR_SUCCESS) {
    return false;
  }
  const LONG result = RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                     static_cast<DWORD>(std::strlen(value) + 1));
  RegCloseKey(opened);
  return result == ERROR_SUCCESS;
}

// The class under its name, with the server DLL (this one) under subkey.
HRESULT Register(const char* subkey) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(server_module, path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return E_FAIL;
  const bool registered = SetString(HKEY_CLASSES_ROOT, kClassKey, nullptr, "ShellLocalMachine") &&
                          SetString(HKEY_CLASSES_ROOT, subkey, nullptr, path) &&
                          SetString(HKEY_CLASSES_ROOT, subkey, "ThreadingModel", "Apartment");
  return registered ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    server_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID class_id, REFIID interface_id, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (IsEqualGUID(class_id, stand_in::kLocalMachineClassId) == 0) return CLASS_E_CLASSNOTAVAILABLE;
  return class_factory.QueryInterface(interface_id, object);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return server_locks == 0 && stand_in::LiveLocalMachines() == 0 ? S_OK : S_FALSE;
}

// Registered as the class's server only: a handler registered before goes.
HRESULT STDAPICALLTYPE DllRegisterServer() {
  RegDeleteKeyA(HKEY_CLASSES_ROOT, kHandlerKey);
  return Register(kServerKey);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
  RegDeleteKeyA(HKEY_CLASSES_ROOT, kServerKey);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, kHandlerKey);
  const LONG result = RegDeleteKeyA(HKEY_CLASSES_ROOT, kClassKey);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

// "regsvr32 /n /i:handler": the class registered as an in-process handler
// only, which a creation asking for an in-process server alone must not find;
// a server registered before goes.
HRESULT STDAPICALLTYPE DllInstall(BOOL install, const wchar_t* command_line) {
  if (install == FALSE || command_line == nullptr || std::wcscmp(command_line, L"handler") != 0) {
    return E_INVALIDARG;
  }
  RegDeleteKeyA(HKEY_CLASSES_ROOT, kServerKey);
  return Register(kHandlerKey);
}

}  // extern "C"
