// The stand-in platform keeps the promises the other tests rely on: the
// results of its creation call and what its state file may hold.
#include <ole2.h>

#include "remote_desktop/remote_desktop.h"
#include "stand_in/local_machine.h"
#include "stand_in/state_store.h"
#include "stand_in_fixture.h"

namespace {

void* const kPoisonPointer = reinterpret_cast<void*>(0xdeadbeef);
const IID kUnknownId = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const GUID kOtherId = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};

using CreationTest = StandInTest;

// COM initialised on this thread, then the object created, each call succeeding.
ILocalMachine* CreatedMachine() {
  EXPECT_EQ(OleInitialize(nullptr), S_OK);
  ILocalMachine* machine = nullptr;
  EXPECT_EQ(
      CoCreateInstance(stand_in::kLocalMachineClassId, nullptr, CLSCTX_INPROC_SERVER,
                       stand_in::kLocalMachineInterfaceId, reinterpret_cast<void**>(&machine)),
      S_OK);
  return machine;
}

TEST_F(CreationTest, CreationResultsFollowClassInterfaceAndContext) {
  struct Case {
    const char* name;
    const GUID* class_id;
    bool aggregated;
    DWORD context;
    const IID* interface_id;
    HRESULT result;  // S_OK alone gives an object
  };
  const CLSID& machine_class = stand_in::kLocalMachineClassId;
  const IID& machine_interface = stand_in::kLocalMachineInterfaceId;
  const Case cases[] = {
      {"local machine", &machine_class, false, 1, &machine_interface, S_OK},
      {"as IUnknown", &machine_class, false, 1, &kUnknownId, S_OK},
      {"any context with in-process", &machine_class, false, 0x17, &machine_interface, S_OK},
      {"other class", &kOtherId, false, 1, &machine_interface, REGDB_E_CLASSNOTREG},
      {"interface id as class", &machine_interface, false, 1, &machine_interface,
       REGDB_E_CLASSNOTREG},
      {"local server only", &machine_class, false, 4, &machine_interface, REGDB_E_CLASSNOTREG},
      {"other interface", &machine_class, false, 1, &kOtherId, E_NOINTERFACE},
      {"aggregated", &machine_class, true, 1, &machine_interface, CLASS_E_NOAGGREGATION},
  };
  OnFreshThread([&cases] {
    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    for (const Case& each : cases) {
      SCOPED_TRACE(each.name);
      void* object = kPoisonPointer;
      const LPUNKNOWN outer = each.aggregated ? reinterpret_cast<LPUNKNOWN>(&object) : nullptr;
      EXPECT_EQ(CoCreateInstance(*each.class_id, outer, each.context, *each.interface_id, &object),
                each.result);
      if (each.result == S_OK) {
        EXPECT_NE(object, kPoisonPointer);
        EXPECT_NE(object, nullptr);
      } else {
        EXPECT_TRUE(object == kPoisonPointer || object == nullptr);
      }
    }
  });
}

TEST_F(CreationTest, EachCreationFaultAnswersAsItSays) {
  struct Case {
    const char* fault;
    HRESULT result;
    void* object;  // as the caller's pointer is left; null for a new object
  };
  const Case cases[] = {
      {"create", E_FAIL, kPoisonPointer},
      {"create=0x80000000", static_cast<HRESULT>(0x80000000U), kPoisonPointer},
      {"create-poison", E_OUTOFMEMORY, stand_in::kPoisonObject},
      {"create-poison=0x8000FFFF", static_cast<HRESULT>(0x8000FFFFU), stand_in::kPoisonObject},
      {"no-object", S_OK, kPoisonPointer},
      {"create-positive", S_FALSE, nullptr},
      {"create-positive=0x7FFFFFFF", 0x7FFFFFFF, nullptr},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.fault);
    SetFault(each.fault);
    OnFreshThread([&each] {
      ASSERT_EQ(OleInitialize(nullptr), S_OK);
      void* object = kPoisonPointer;
      EXPECT_EQ(CoCreateInstance(stand_in::kLocalMachineClassId, nullptr, CLSCTX_INPROC_SERVER,
                                 stand_in::kLocalMachineInterfaceId, &object),
                each.result);
      if (each.object == nullptr) {
        EXPECT_NE(object, kPoisonPointer);
        EXPECT_NE(object, nullptr);
      } else {
        EXPECT_EQ(object, each.object);
      }
    });
  }
}

TEST_F(CreationTest, OleInitializeAnswersAsItsFaultSays) {
  struct Case {
    const char* fault;
    HRESULT first;  // and from the second call on
    HRESULT again;
  };
  const Case cases[] = {
      {"", S_OK, S_FALSE},
      {"init", E_FAIL, E_FAIL},
      {"init=0xFFFFFFFF", static_cast<HRESULT>(0xFFFFFFFFU), static_cast<HRESULT>(0xFFFFFFFFU)},
      {"init-positive", S_FALSE, S_FALSE},
      {"init-positive=0x7FFFFFFF", 0x7FFFFFFF, 0x7FFFFFFF},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.fault);
    SetFault(each.fault);
    OnFreshThread([&each] {
      EXPECT_EQ(OleInitialize(nullptr), each.first);
      EXPECT_EQ(OleInitialize(nullptr), each.again);
    });
  }
}

TEST_F(CreationTest, LogShowsTheArgumentsTheCallsReceived) {
  OnFreshThread([] {
    EXPECT_EQ(OleInitialize(kPoisonPointer), static_cast<HRESULT>(0x80070057U));
    ILocalMachine* const machine = CreatedMachine();
    ASSERT_NE(machine, nullptr);
    void* object = kPoisonPointer;
    const auto outer = reinterpret_cast<LPUNKNOWN>(0x1234);
    EXPECT_EQ(CoCreateInstance(kOtherId, outer, 0x17, kUnknownId, &object), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kOtherId, nullptr, 1, kOtherId, nullptr), E_POINTER);
    EXPECT_EQ(machine->lpVtbl->put_RemoteDesktopEnabled(machine, -1), S_OK);
    ILocalMachine copy = *machine;  // the same table, but not the object
    EXPECT_EQ(copy.lpVtbl->get_RemoteDesktopEnabled(&copy, nullptr), E_POINTER);
  });
  EXPECT_EQ(Log(),
            "OleInitialize reserved=0xDEADBEEF\n" + kInitialization + kCreation +
                "CoCreateInstance {12345678-9ABC-DEF0-0102-030405060708} outer=0x1234 context=23 "
                "{00000000-0000-0000-C000-000000000046} *object=0xDEADBEEF\n"
                "CoCreateInstance {12345678-9ABC-DEF0-0102-030405060708} outer=null context=1 "
                "{12345678-9ABC-DEF0-0102-030405060708} object=null\n"
                "set self=created -1\n"
                "get self=other null\n");
  EXPECT_EQ(StoredState(), "-1\n");
}

// COM lets an object's IUnknown be another pointer than its interfaces, as long
// as every face gives the same IUnknown and they share one reference count.
TEST_F(CreationTest, IUnknownIsAPointerOfItsOwnWithTheObjectsIdentity) {
  OnFreshThread([] {
    ILocalMachine* const machine = CreatedMachine();
    ASSERT_NE(machine, nullptr);
    void* unknown = kPoisonPointer;
    ASSERT_EQ(machine->lpVtbl->QueryInterface(machine, kUnknownId, &unknown), S_OK);
    EXPECT_NE(unknown, machine);
    auto* const face = static_cast<ILocalMachine*>(unknown);
    void* again = kPoisonPointer;
    void* back = kPoisonPointer;
    EXPECT_EQ(face->lpVtbl->QueryInterface(face, kUnknownId, &again), S_OK);
    EXPECT_EQ(face->lpVtbl->QueryInterface(face, stand_in::kLocalMachineInterfaceId, &back), S_OK);
    EXPECT_EQ(again, unknown);
    EXPECT_EQ(back, machine);
    EXPECT_EQ(face->lpVtbl->AddRef(face), 5U);
    EXPECT_EQ(machine->lpVtbl->Release(machine), 4U);
    VARIANT_BOOL state = 0x5A5A;
    EXPECT_EQ(face->lpVtbl->get_RemoteDesktopEnabled(face, &state), E_NOTIMPL);
    EXPECT_EQ(face->lpVtbl->put_RemoteDesktopEnabled(face, 1), E_NOTIMPL);
    EXPECT_EQ(state, 0x5A5A);
    const ULONG live = stand_in::LiveLocalMachines();
    for (ULONG left = 3; left > 0; --left) EXPECT_EQ(face->lpVtbl->Release(face), left);
    EXPECT_EQ(machine->lpVtbl->Release(machine), 0U);
    EXPECT_EQ(stand_in::LiveLocalMachines(), live - 1);
  });
  EXPECT_EQ(Log(),
            kInitialization + kCreation +
                "slot 1\nslot 1 via IUnknown\nslot 1 via IUnknown\nslot 2 via IUnknown\nslot 3\n"
                "slot 14 via IUnknown\nslot 15 via IUnknown\nslot 3 via IUnknown\n"
                "slot 3 via IUnknown\nslot 3 via IUnknown\nslot 3\n");
  EXPECT_EQ(StoredState(), "(missing)");
}

using StateFileTest = StandInTest;

TEST_F(StateFileTest, ReadsOneIntegerInRangeOrNoFileAsZeroAndNothingElse) {
  struct Case {
    const char* contents;
    bool readable;
    VARIANT_BOOL value;
  };
  const Case cases[] = {
      {nullptr, true, 0},  // no file: disabled
      {"0\n", true, 0},
      {"1\n", true, 1},
      {"-1\n", true, -1},
      {"1", true, 1},
      {"32767\n", true, 32767},
      {"-32768\n", true, -32768},
      {"00000001\n", true, 1},
      {"32768\n", false, 0},
      {"-32769\n", false, 0},
      {"", false, 0},
      {"\n", false, 0},
      {"-\n", false, 0},
      {"+1\n", false, 0},
      {" 1\n", false, 0},
      {"1 \n", false, 0},
      {"1\n\n", false, 0},
      {"1\r\n", false, 0},
      {"yes\n", false, 0},
      {"0x1\n", false, 0},
      {"999999999999999", false, 0},
      {"00000000000001\n", true, 1},    // 15 bytes: one short of the read cap
      {"000000000000001\n", false, 0},  // 16 bytes: at the cap, so too long
      {"1\n0000000000000000000000", false, 0},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(testing::PrintToString(each.contents));
    std::filesystem::remove(StatePath());
    if (each.contents != nullptr) StoreState(each.contents);
    VARIANT_BOOL value = static_cast<VARIANT_BOOL>(0x5A5A);
    EXPECT_EQ(stand_in::ReadState(&value), each.readable);
    EXPECT_EQ(value, each.readable ? each.value : 0x5A5A);
  }
}

TEST_F(StateFileTest, WriteCreatesTheFolderAndLeavesOnlyTheFile) {
  ASSERT_TRUE(stand_in::WriteState(-1));
  EXPECT_EQ(StoredState(), "-1\n");
  const std::filesystem::path folder = std::filesystem::path(StatePath()).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(StateFileTest, WriteThatCannotBeDoneLeavesEverythingAsItWas) {
  namespace fs = std::filesystem;
  const fs::path state = StatePath();
  struct Case {
    const char* name;
    fs::path blocked;  // a file where a folder should be, or a folder where the file should be
    bool is_folder;
  };
  const Case cases[] = {
      {"a file where the state folder should be", state.parent_path(), false},
      {"a folder where the state file should be", state, true},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    fs::remove_all(state.parent_path());
    fs::create_directories(each.blocked.parent_path());
    if (each.is_folder) {
      fs::create_directory(each.blocked);
    } else {
      std::ofstream(each.blocked) << "in the way";
    }
    EXPECT_FALSE(stand_in::WriteState(1));
    EXPECT_EQ(fs::is_directory(each.blocked), each.is_folder);
    EXPECT_EQ(
        std::distance(fs::directory_iterator(each.blocked.parent_path()), fs::directory_iterator()),
        1);
    VARIANT_BOOL value = 0x5A5A;
    EXPECT_FALSE(stand_in::ReadState(&value));
    EXPECT_EQ(value, 0x5A5A);
  }
}

// The object's faults do what the stand-in says they do, so that a binding
// that counted only S_OK as success could not pass against them.
TEST_F(CreationTest, EachObjectFaultAnswersAsItSays) {
  struct Case {
    const char* fault;
    bool setter;  // else the getter
    HRESULT result;
    VARIANT_BOOL state;  // as the getter leaves the caller's value
    const char* stored;  // the state file after the call
  };
  constexpr VARIANT_BOOL kPoison = 0x5A5A;
  const Case cases[] = {
      {"", false, S_OK, 1, "1\n"},
      {"get", false, stand_in::kGetFailure, kPoison, "1\n"},
      {"get=0x8000FFFF", false, static_cast<HRESULT>(0x8000FFFFU), kPoison, "1\n"},
      {"get-positive", false, S_FALSE, 1, "1\n"},
      {"get-positive=0x7FFFFFFF", false, 0x7FFFFFFF, 1, "1\n"},
      {"", true, S_OK, kPoison, "0\n"},
      {"set", true, E_ACCESSDENIED, kPoison, "1\n"},
      {"set=0x80004005", true, E_FAIL, kPoison, "1\n"},
      {"set-positive", true, S_FALSE, kPoison, "0\n"},
      {"set-positive=0x7FFFFFFF", true, 0x7FFFFFFF, kPoison, "0\n"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(std::string(each.fault) + (each.setter ? " setter" : " getter"));
    StoreState("1\n");
    SetFault(each.fault);
    OnFreshThread([&each] {
      ILocalMachine* const machine = CreatedMachine();
      ASSERT_NE(machine, nullptr);
      VARIANT_BOOL state = kPoison;
      EXPECT_EQ(each.setter ? machine->lpVtbl->put_RemoteDesktopEnabled(machine, 0)
                            : machine->lpVtbl->get_RemoteDesktopEnabled(machine, &state),
                each.result);
      EXPECT_EQ(state, each.state);
    });
    EXPECT_EQ(StoredState(), each.stored);
  }
}

}  // namespace
