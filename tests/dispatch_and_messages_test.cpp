// The front end against fake operations: every message, stream, line end,
// flush, exit status and call it makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frontend/command.h"
#include "frontend/dll_search.h"

namespace {

constexpr VARIANT_BOOL kPoison = static_cast<VARIANT_BOOL>(0x5A5A);

// What the fake platform does when called.
struct Script {
  bool initialize_succeeds = true;
  bool create_gives_object = true;
  HRESULT query_result = S_OK;
  bool query_writes = true;
  VARIANT_BOOL stored_state = 0;
  bool set_succeeds = true;
};

struct FakePlatform {
  Script script;
  ILocalMachine object = {nullptr};
  std::vector<std::string> calls;
};
FakePlatform* fake = nullptr;

std::string Described(const char* name, ILocalMachine* machine) {
  return std::string(name) + (machine == &fake->object ? "" : " on a foreign object");
}

bool FakeInitializeCom() {
  fake->calls.emplace_back("InitializeCom");
  return fake->script.initialize_succeeds;
}

ILocalMachine* FakeCreateLocalMachine() {
  fake->calls.emplace_back("CreateLocalMachine");
  return fake->script.create_gives_object ? &fake->object : nullptr;
}

HRESULT FakeQuery(ILocalMachine* machine, VARIANT_BOOL* state) {
  fake->calls.push_back(Described("Query", machine) + " entered with " + std::to_string(*state));
  if (fake->script.query_writes) *state = fake->script.stored_state;
  return fake->script.query_result;
}

bool FakeSet(ILocalMachine* machine, bool enabled) {
  fake->calls.push_back(Described("Set", machine) + (enabled ? " enabled" : " disabled"));
  return fake->script.set_succeeds;
}

const RemoteDesktopOperations kFakeOperations = {FakeInitializeCom, FakeCreateLocalMachine,
                                                 FakeQuery, FakeSet};

// A stream in memory whose visible size changes only when it is flushed.
class CapturedStream {
 public:
  CapturedStream() : stream_(open_memstream(&buffer_, &flushed_size_)) {}
  ~CapturedStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(buffer_);
  }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  std::FILE* stream() const { return stream_; }
  std::string Flushed() const {
    return std::string(buffer_ == nullptr ? "" : buffer_, flushed_size_);
  }
  std::string Closed() {
    std::fclose(stream_);
    stream_ = nullptr;
    return Flushed();
  }

 private:
  char* buffer_ = nullptr;
  std::size_t flushed_size_ = 0;
  std::FILE* stream_;
};

struct Outcome {
  int status;
  std::string out_flushed;  // what had reached standard output when the run returned
  std::string out;          // standard output once the process ends
  std::string err_flushed;
  std::string err;
  std::vector<std::string> calls;
};

Outcome RunWithFakes(const std::vector<std::string>& arguments, const Script& script) {
  FakePlatform platform;
  platform.script = script;
  fake = &platform;
  std::vector<const char*> argv = {"talvenor"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  CapturedStream out;
  CapturedStream err;
  Outcome outcome;
  outcome.status = RunCommand(static_cast<int>(argv.size() - 1), argv.data(), kFakeOperations,
                              out.stream(), err.stream());
  outcome.out_flushed = out.Flushed();
  outcome.err_flushed = err.Flushed();
  outcome.out = out.Closed();
  outcome.err = err.Closed();
  outcome.calls = platform.calls;
  fake = nullptr;
  return outcome;
}

const char kUsage[] =
    "Talvenor 1.0\n"
    "Usage:\n"
    "e\tenable Remote Desktop\n"
    "d\tdisable Remote Desktop\n"
    "s\tdisplay state of service\n";

const std::vector<std::string> kQueried = {"InitializeCom", "CreateLocalMachine",
                                           "Query entered with 0"};
const std::vector<std::string> kEnabled = {"InitializeCom", "CreateLocalMachine", "Set enabled"};
const std::vector<std::string> kDisabled = {"InitializeCom", "CreateLocalMachine", "Set disabled"};

Script StoredState(VARIANT_BOOL state) {
  Script script;
  script.stored_state = state;
  return script;
}

struct Case {
  const char* name;
  std::vector<std::string> arguments;
  Script script;
  int status;
  const char* out;
  const char* err;
  std::vector<std::string> calls;
};

void ExpectCase(const Case& expected) {
  SCOPED_TRACE(expected.name);
  const Outcome outcome = RunWithFakes(expected.arguments, expected.script);
  EXPECT_EQ(outcome.status, expected.status);
  EXPECT_EQ(outcome.out, expected.out);
  EXPECT_EQ(outcome.err, expected.err);
  EXPECT_EQ(outcome.calls, expected.calls);
}

TEST(Usage, NoArgumentPrintsFiveFlushedLinesAndTouchesNothing) {
  const Outcome outcome = RunWithFakes({}, Script());
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out_flushed, kUsage);
  EXPECT_EQ(outcome.out, kUsage);
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(outcome.calls.empty());
}

TEST(Dispatch, UnrecognisedFirstByteEndsSilentlyBeforeCom) {
  const std::vector<std::vector<std::string>> ignored = {
      {""}, {"E"}, {"D"}, {"S"}, {"-s"}, {"/s"}, {"x"}, {" s"}, {"\xe9"}, {"", "s"}, {"?"}};
  for (const auto& arguments : ignored) {
    ExpectCase({"ignored", arguments, Script(), 0, "", "", {}});
  }
}

TEST(Dispatch, OnlyTheFirstByteOfTheFirstArgumentCounts) {
  const Case cases[] = {
      {"status", {"status"}, Script(), 0, "Remote Desktop is disabled.", "", kQueried},
      {"show", {"show"}, Script(), 0, "Remote Desktop is disabled.", "", kQueried},
      {"s and more", {"s", "e", "d"}, Script(), 0, "Remote Desktop is disabled.", "", kQueried},
      {"enable", {"enable"}, Script(), 0, "Succeeded.\n", "", kEnabled},
      {"e and more", {"e", "d"}, Script(), 0, "Succeeded.\n", "", kEnabled},
      {"disable", {"disable"}, Script(), 0, "Succeeded.\n", "", kDisabled},
      {"delete", {"delete"}, Script(), 0, "Succeeded.\n", "", kDisabled},
  };
  for (const Case& each : cases) ExpectCase(each);
}

TEST(Show, ReportsAnyNonZeroStateAsEnabled) {
  const Case cases[] = {
      {"zero", {"s"}, StoredState(0), 0, "Remote Desktop is disabled.", "", kQueried},
      {"one", {"s"}, StoredState(1), 0, "Remote Desktop is enabled.", "", kQueried},
      {"minus one", {"s"}, StoredState(-1), 0, "Remote Desktop is enabled.", "", kQueried},
      {"other", {"s"}, StoredState(kPoison), 0, "Remote Desktop is enabled.", "", kQueried},
  };
  for (const Case& each : cases) ExpectCase(each);
}

TEST(Show, StateMessageHasNoLineEndAndStaysUnflushed) {
  const Outcome enabled = RunWithFakes({"s"}, StoredState(1));
  EXPECT_EQ(enabled.out_flushed, "");
  EXPECT_EQ(enabled.out.size(), 26U);
  const Outcome disabled = RunWithFakes({"s"}, StoredState(0));
  EXPECT_EQ(disabled.out_flushed, "");
  EXPECT_EQ(disabled.out.size(), 27U);
}

TEST(Show, SuccessfulQueryThatWritesNothingReadsAsDisabled) {
  Script script = StoredState(1);
  script.query_writes = false;
  ExpectCase({"unwritten", {"s"}, script, 0, "Remote Desktop is disabled.", "", kQueried});
  script.query_result = S_FALSE;  // any success code counts as success
  ExpectCase(
      {"unwritten, positive", {"s"}, script, 0, "Remote Desktop is disabled.", "", kQueried});
}

TEST(Show, FailedQueryIsReportedWithoutAState) {
  Script unwritten;
  unwritten.query_result = E_FAIL;
  unwritten.query_writes = false;
  Script written = StoredState(1);
  written.query_result = E_ACCESSDENIED;
  const char kMessage[] = "Can't query Remote Desktop state.\n";
  ExpectCase({"unwritten", {"s"}, unwritten, 1, "", kMessage, kQueried});
  ExpectCase({"written", {"s"}, written, 1, "", kMessage, kQueried});
  const Outcome outcome = RunWithFakes({"s"}, unwritten);
  EXPECT_EQ(outcome.err_flushed, kMessage);
}

TEST(Change, SuccessPrintsSucceededFlushed) {
  for (const char* letter : {"e", "d"}) {
    const Outcome outcome = RunWithFakes({letter}, Script());
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.out_flushed, "Succeeded.\n");
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(Change, FailedSetterNamesTheChangeThatFailed) {
  Script refused;
  refused.set_succeeds = false;
  const Case cases[] = {
      {"enable", {"e"}, refused, 1, "", "Can't enable Remote Desktop.\n", kEnabled},
      {"disable", {"d"}, refused, 1, "", "Can't disable Remote Desktop.\n", kDisabled},
  };
  for (const Case& each : cases) ExpectCase(each);
}

TEST(Failure, EachFailureEndsTheRunAfterOneFlushedMessage) {
  Script no_com;
  no_com.initialize_succeeds = false;
  Script no_object;
  no_object.create_gives_object = false;
  const std::vector<std::string> initialized = {"InitializeCom"};
  const std::vector<std::string> created = {"InitializeCom", "CreateLocalMachine"};
  const char kNoCom[] = "Can't initialize COM.\n";
  const char kNoObject[] = "Can't instantiate ShellLocalMachine object.\n";
  for (const char* letter : {"e", "d", "s"}) {
    ExpectCase({letter, {letter}, no_com, 1, "", kNoCom, initialized});
    ExpectCase({letter, {letter}, no_object, 1, "", kNoObject, created});
    EXPECT_EQ(RunWithFakes({letter}, no_com).err_flushed, kNoCom);
    EXPECT_EQ(RunWithFakes({letter}, no_object).err_flushed, kNoObject);
  }
}

// The start-up's hardening: which kernel entry limits the DLL search.
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
  struct Entries {
    const char* name;
    SetDefaultDllDirectoriesCall set_default;
    SetDllDirectoryCall set_folder;
    std::vector<std::string> calls;
  };
  const Entries cases[] = {
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
  for (const Entries& each : cases) {
    SCOPED_TRACE(each.name);
    kernel_calls.clear();
    RestrictDllSearchWith(each.set_default, each.set_folder);
    EXPECT_EQ(kernel_calls, each.calls);
  }
}

}  // namespace
