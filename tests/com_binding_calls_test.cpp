// The COM binding against the stand-in platform: which calls it makes, with
// what, and how it judges their results.
#include "remote_desktop/remote_desktop.h"

#include <string>
#include <thread>
#include <utility>

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

// BODY(machine) on a fresh thread, once the program's steps have made the object.
template <typename Body>
void WithMachine(Body body) {
  std::thread([&body] {
    ILocalMachine* const machine = InitializedMachine();
    ASSERT_NE(machine, nullptr);
    body(machine);
  }).join();
}

// The binding's test of the result, not the stand-in's results (which
// stand_in_records_and_answers_test.cpp checks): any but a failure succeeds,
// S_FALSE from the second call on among them.
TEST_F(BindingTest, InitializeComCountsAnyResultButAFailureAsSuccess) {
  const std::pair<const char*, bool> cases[] = {
      {"", true},      {"init-positive", true},    {"init-positive=0x7FFFFFFF", true},
      {"init", false}, {"init=0xFFFFFFFF", false}, {"init=0x80000000", false}};
  std::string log;
  for (const auto& each : cases) {
    SCOPED_TRACE(each.first);
    SetFault(each.first);
    OnFreshThread([&each] {
      EXPECT_EQ(InitializeCom(), each.second);
      EXPECT_EQ(InitializeCom(), each.second);
      EXPECT_EQ(CreateLocalMachine() != nullptr, each.second);
    });
    log += kInitialization + kInitialization + kCreation;
  }
  EXPECT_EQ(Log(), log);
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

TEST_F(BindingTest, QueryPassesOnTheGettersResultAndWhatItWrites) {
  struct Case {
    const char* fault;
    HRESULT result;
    VARIANT_BOOL state;  // stored, and as the caller's value is left; kPoison: left alone
  };
  const Case cases[] = {
      {"", S_OK, -1},
      {"get", stand_in::kGetFailure, kPoison},
      {"get=0x8000FFFF", static_cast<HRESULT>(0x8000FFFFU), kPoison},
      {"get-positive", S_FALSE, 1},
      {"get-positive=0x7FFFFFFF", 0x7FFFFFFF, 1},
  };
  std::string log;
  for (const Case& each : cases) {
    SCOPED_TRACE(each.fault);
    StoreState(std::to_string(each.state == kPoison ? 1 : each.state) + "\n");
    SetFault(each.fault);
    WithMachine([&each](ILocalMachine* machine) {
      VARIANT_BOOL state = kPoison;
      EXPECT_EQ(QueryRemoteDesktopEnabled(machine, &state), each.result);
      EXPECT_EQ(state, each.state);
    });
    log += kInitialization + kCreation + "get self=created 23130\n";
  }
  EXPECT_EQ(Log(), log);
}

TEST_F(BindingTest, SetWritesExactlyOneOrZero) {
  WithMachine([this](ILocalMachine* machine) {
    EXPECT_TRUE(SetRemoteDesktopEnabled(machine, true));
    EXPECT_EQ(StoredState(), "1\n");
    EXPECT_TRUE(SetRemoteDesktopEnabled(machine, false));
    EXPECT_EQ(StoredState(), "0\n");
  });
  EXPECT_EQ(Log(), kInitialization + kCreation + "set self=created 1\nset self=created 0\n");
}

TEST_F(BindingTest, SetCountsAnyResultButAFailureAsSuccess) {
  const std::pair<const char*, bool> cases[] = {{"set-positive", true},
                                                {"set-positive=0x7FFFFFFF", true},
                                                {"set", false},
                                                {"set=0x80004005", false}};
  for (const auto& each : cases) {
    SCOPED_TRACE(each.first);
    StoreState("0\n");
    SetFault(each.first);
    WithMachine([&each](ILocalMachine* machine) {
      EXPECT_EQ(SetRemoteDesktopEnabled(machine, true), each.second);
    });
    EXPECT_EQ(StoredState(), each.second ? "1\n" : "0\n");
  }
}

TEST_F(BindingTest, NoEntryButGetterAndSetterIsEverCalled) {
  WithMachine([](ILocalMachine* machine) {
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
