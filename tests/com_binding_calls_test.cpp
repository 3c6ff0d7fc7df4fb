// The COM binding against the stand-in platform: which calls it makes, with
// what, and how it judges their results.
#include "remote_desktop/remote_desktop.h"

#include <string>
#include <vector>

#include "stand_in/local_machine.h"
#include "stand_in_fixture.h"

namespace {

constexpr VARIANT_BOOL kPoison = static_cast<VARIANT_BOOL>(0x5A5A);  // 23130

// The stand-in's log of the binding's two COM library calls, every argument written out.
const std::string kInitialization = "OleInitialize reserved=null\n";
const std::string kCreation =
    "CoCreateInstance {60664CAF-AF0D-0005-A300-5C7D25FF22A0} outer=null context=1 "
    "{60664CAF-AF0D-1005-A300-5C7D25FF22A0} *object=null\n";

using BindingTest = StandInTest;

// What the program does before each command: COM initialised on this thread,
// then the object created.
ILocalMachine* InitializedMachine() {
  EXPECT_TRUE(InitializeCom());
  return CreateLocalMachine();
}

// The binding's test of the result, not the stand-in's results (which
// stand_in_records_and_answers_test.cpp checks): S_OK, then S_FALSE from the second call on.
TEST_F(BindingTest, InitializeComCountsPositiveResultAsSuccess) {
  for (const char* fault : {"", "init-positive", "init-positive=0x7FFFFFFF"}) {
    SCOPED_TRACE(fault);
    SetFault(fault);
    OnFreshThread([] {
      EXPECT_TRUE(InitializeCom());
      EXPECT_TRUE(InitializeCom());
      EXPECT_NE(CreateLocalMachine(), nullptr);
    });
  }
}

TEST_F(BindingTest, InitializeComReportsFailure) {
  for (const char* fault : {"init", "init=0xFFFFFFFF", "init=0x80000000"}) {
    SCOPED_TRACE(fault);
    SetFault(fault);
    OnFreshThread([] { EXPECT_FALSE(InitializeCom()); });
  }
  EXPECT_EQ(Log(), kInitialization + kInitialization + kInitialization);
}

TEST_F(BindingTest, CreateLocalMachineMakesOneCreationAndCallsNoEntry) {
  OnFreshThread([] { EXPECT_NE(InitializedMachine(), nullptr); });
  EXPECT_EQ(Log(), kInitialization + kCreation);
}

TEST_F(BindingTest, CreateLocalMachineFailsWhereComIsNotInitialised) {
  OnFreshThread([] { EXPECT_EQ(CreateLocalMachine(), nullptr); });
  EXPECT_EQ(Log(), kCreation);
}

TEST_F(BindingTest, CreateLocalMachineTreatsFailureCodeAndMissingObjectAlike) {
  for (const char* fault : {"create", "create=0x80000000", "create-poison", "no-object"}) {
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
  EXPECT_EQ(Log(), kInitialization + kCreation + "get self=created 23130\n");
}

TEST_F(BindingTest, QueryReturnsTheGettersResultUnchanged) {
  struct Case {
    const char* fault;
    HRESULT result;
    VARIANT_BOOL state;  // as the caller's value is left
  };
  const Case cases[] = {
      {"get", stand_in::kGetFailure, kPoison},
      {"get=0x8000FFFF", static_cast<HRESULT>(0x8000FFFFU), kPoison},
      {"get-positive", S_FALSE, 1},
      {"get-positive=0x7FFFFFFF", 0x7FFFFFFF, 1},
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
  EXPECT_EQ(Log(), kInitialization + kCreation + "set self=created 1\nset self=created 0\n");
}

TEST_F(BindingTest, SetCountsAPositiveResultAsSuccess) {
  for (const char* fault : {"set-positive", "set-positive=0x7FFFFFFF"}) {
    SCOPED_TRACE(fault);
    StoreState("0\n");
    SetFault(fault);
    OnFreshThread([this] {
      ILocalMachine* const machine = InitializedMachine();
      ASSERT_NE(machine, nullptr);
      EXPECT_TRUE(SetRemoteDesktopEnabled(machine, true));
      EXPECT_EQ(StoredState(), "1\n");
    });
  }
}

TEST_F(BindingTest, SetReportsTheSettersFailure) {
  for (const char* fault : {"set", "set=0x80004005"}) {
    SCOPED_TRACE(fault);
    StoreState("0\n");
    SetFault(fault);
    OnFreshThread([] {
      ILocalMachine* const machine = InitializedMachine();
      ASSERT_NE(machine, nullptr);
      EXPECT_FALSE(SetRemoteDesktopEnabled(machine, true));
    });
    EXPECT_EQ(StoredState(), "0\n");
  }
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
  EXPECT_EQ(Log(), kInitialization + kCreation +
                       "get self=created 0\nset self=created 1\nget self=created 0\n"
                       "set self=created 0\n");
}

}  // namespace
