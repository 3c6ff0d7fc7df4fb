// The COM binding against the stand-in platform: which calls it makes, with
// what, and how it judges their results.
#include "remote_desktop/remote_desktop.h"

#include <string>
#include <vector>

#include "remote_desktop/dll_search.h"
#include "stand_in/local_machine.h"
#include "stand_in_fixture.h"

namespace {

constexpr VARIANT_BOOL kPoison = static_cast<VARIANT_BOOL>(0x5A5A);  // 23130

using BindingTest = StandInTest;

// What the program does before each command: COM initialised on this thread,
// then the object created.
ILocalMachine* InitializedMachine() {
  EXPECT_TRUE(InitializeCom());
  return CreateLocalMachine();
}

TEST_F(BindingTest, InitializeComCountsPositiveResultAsSuccess) {
  OnFreshThread([] {
    EXPECT_TRUE(InitializeCom());
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);  // COM is now initialised on this thread
    EXPECT_TRUE(InitializeCom());
  });
  SetFault("init-positive");
  OnFreshThread([] {
    EXPECT_TRUE(InitializeCom());
    EXPECT_NE(CreateLocalMachine(), nullptr);
  });
}

TEST_F(BindingTest, InitializeComReportsFailure) {
  SetFault("init");
  OnFreshThread([] { EXPECT_FALSE(InitializeCom()); });
  EXPECT_EQ(Log(), "OleInitialize\n");
}

TEST_F(BindingTest, CreateLocalMachineMakesOneCreationAndCallsNoEntry) {
  OnFreshThread([] { EXPECT_NE(InitializedMachine(), nullptr); });
  EXPECT_EQ(Log(), "OleInitialize\nCoCreateInstance\n");
}

TEST_F(BindingTest, CreateLocalMachineFailsWhereComIsNotInitialised) {
  OnFreshThread([] { EXPECT_EQ(CreateLocalMachine(), nullptr); });
  EXPECT_EQ(Log(), "CoCreateInstance\n");
}

TEST_F(BindingTest, CreateLocalMachineTreatsFailureCodeAndMissingObjectAlike) {
  for (const char* fault : {"create", "no-object"}) {
    SCOPED_TRACE(fault);
    SetFault(fault);
    OnFreshThread([] { EXPECT_EQ(InitializedMachine(), nullptr); });
  }
}

TEST_F(BindingTest, QueryFillsTheCallersValueThroughTheGetter) {
  StoreState("-1\n");
  OnFreshThread([] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    VARIANT_BOOL state = kPoison;
    EXPECT_EQ(QueryRemoteDesktopEnabled(machine, &state), S_OK);
    EXPECT_EQ(state, -1);
  });
  EXPECT_EQ(Log(), "OleInitialize\nCoCreateInstance\nget 23130\n");
}

TEST_F(BindingTest, QueryReturnsTheGettersResultUnchanged) {
  struct Case {
    const char* fault;
    HRESULT result;
    VARIANT_BOOL state;  // as the caller's value is left
  };
  const Case cases[] = {
      {"get", stand_in::kGetFailure, kPoison},
      {"get-positive", S_FALSE, 1},
  };
  StoreState("1\n");
  for (const Case& each : cases) {
    SCOPED_TRACE(each.fault);
    SetFault(each.fault);
    OnFreshThread([&each] {
      ILocalMachine* const machine = InitializedMachine();
      ASSERT_NE(machine, nullptr);
      VARIANT_BOOL state = kPoison;
      EXPECT_EQ(QueryRemoteDesktopEnabled(machine, &state), each.result);
      EXPECT_EQ(state, each.state);
    });
  }
}

TEST_F(BindingTest, SetWritesExactlyOneOrZero) {
  OnFreshThread([this] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    EXPECT_TRUE(SetRemoteDesktopEnabled(machine, true));
    EXPECT_EQ(StoredState(), "1\n");
    EXPECT_TRUE(SetRemoteDesktopEnabled(machine, false));
    EXPECT_EQ(StoredState(), "0\n");
  });
  EXPECT_EQ(Log(), "OleInitialize\nCoCreateInstance\nset 1\nset 0\n");
}

TEST_F(BindingTest, SetCountsAPositiveResultAsSuccess) {
  SetFault("set-positive");
  OnFreshThread([this] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    EXPECT_TRUE(SetRemoteDesktopEnabled(machine, true));
    EXPECT_EQ(StoredState(), "1\n");
  });
}

TEST_F(BindingTest, SetReportsTheSettersFailure) {
  StoreState("0\n");
  SetFault("set");
  OnFreshThread([] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    EXPECT_FALSE(SetRemoteDesktopEnabled(machine, true));
  });
  EXPECT_EQ(StoredState(), "0\n");
}

TEST_F(BindingTest, NoEntryButGetterAndSetterIsEverCalled) {
  OnFreshThread([] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    VARIANT_BOOL state = 0;
    QueryRemoteDesktopEnabled(machine, &state);
    SetRemoteDesktopEnabled(machine, true);
    QueryRemoteDesktopEnabled(machine, &state);
    SetRemoteDesktopEnabled(machine, false);
  });
  EXPECT_EQ(Log(), "OleInitialize\nCoCreateInstance\nget 0\nset 1\nget 0\nset 0\n");
}

std::vector<std::string> kernel_calls;

BOOL WINAPI FakeSetDefaultDllDirectories(DWORD flags) {
  kernel_calls.push_back("SetDefaultDllDirectories " + std::to_string(flags));
  return 0;  // refused: the run goes on all the same
}

BOOL WINAPI FakeSetDllDirectoryW(const wchar_t* folder) {
  kernel_calls.emplace_back(folder == nullptr    ? "SetDllDirectoryW null"
                            : folder[0] == L'\0' ? "SetDllDirectoryW empty"
                                                 : "SetDllDirectoryW a folder");
  return 0;
}

TEST(DllSearchTest, TheBestEntryTheKernelOffersIsCalledAlone) {
  struct Case {
    const char* name;
    SetDefaultDllDirectoriesCall set_default;
    SetDllDirectoryCall set_folder;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"both",
       FakeSetDefaultDllDirectories,
       FakeSetDllDirectoryW,
       {"SetDefaultDllDirectories 2048"}},
      {"SetDefaultDllDirectories",
       FakeSetDefaultDllDirectories,
       nullptr,
       {"SetDefaultDllDirectories 2048"}},
      {"SetDllDirectoryW", nullptr, FakeSetDllDirectoryW, {"SetDllDirectoryW empty"}},
      {"neither", nullptr, nullptr, {}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    kernel_calls.clear();
    RestrictDllSearchWith(each.set_default, each.set_folder);
    EXPECT_EQ(kernel_calls, each.calls);
  }
}

}  // namespace
