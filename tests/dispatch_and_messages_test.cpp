// The front end against fake operations: every message, stream, line end,
// flush, exit status and call it makes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
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
  ~CapturedStream() { std::free(buffer_); }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;

  std::FILE* stream() const { return stream_; }
  // What had been flushed; then closes the stream, which writes the rest.
  void Close(std::string* flushed, std::string* whole) {
    *flushed = std::string(buffer_ == nullptr ? "" : buffer_, flushed_size_);
    std::fclose(stream_);
    *whole = std::string(buffer_, flushed_size_);
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
  out.Close(&outcome.out_flushed, &outcome.out);
  err.Close(&outcome.err_flushed, &outcome.err);
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

// The status, standard output as flushed and whole, standard error alike, and
// the calls: compared in one, and all printed where any differs.
auto Fields(const Outcome& outcome) {
  return std::make_tuple(outcome.status, outcome.out_flushed, outcome.out, outcome.err_flushed,
                         outcome.err, outcome.calls);
}

// One platform step of a run: the call the fake records, whether it succeeds,
// and the message that ends the run where it does not.
struct Step {
  const char* call;
  bool succeeds;
  const char* failure;
};

// What a run promises, from the usage text and the message table: the first
// byte of the first argument alone picks the command; its platform steps are
// called once each, in order, on the object created, and the first that fails
// ends the run with its one message on standard error and status 1. Every
// line is flushed as it is written, except the state, which has no line end.
Outcome Promised(const std::vector<std::string>& arguments, const Script& script) {
  Outcome promised = {0, "", "", "", "", {}};
  if (arguments.empty()) {
    promised.out_flushed = promised.out = kUsage;
    return promised;
  }
  const char letter = arguments[0].c_str()[0];
  if (letter != 'e' && letter != 'd' && letter != 's') return promised;
  const bool show = letter == 's';
  const Step command =
      show ? Step{"Query entered with 0", script.query_result >= 0,
                  "Can't query Remote Desktop state.\n"}
      : letter == 'e'
          ? Step{"Set enabled", script.set_succeeds, "Can't enable Remote Desktop.\n"}
          : Step{"Set disabled", script.set_succeeds, "Can't disable Remote Desktop.\n"};
  const Step steps[] = {{"InitializeCom", script.initialize_succeeds, "Can't initialize COM.\n"},
                        {"CreateLocalMachine", script.create_gives_object,
                         "Can't instantiate ShellLocalMachine object.\n"},
                        command};
  for (const auto& step : steps) {
    promised.calls.emplace_back(step.call);
    if (!step.succeeds) {
      promised.status = 1;
      promised.err_flushed = promised.err = step.failure;
      return promised;
    }
  }
  if (!show) {
    promised.out_flushed = promised.out = "Succeeded.\n";
  } else {
    const bool enabled = script.query_writes && script.stored_state != 0;
    promised.out = enabled ? "Remote Desktop is enabled." : "Remote Desktop is disabled.";
  }
  return promised;
}

std::string CaseName(const std::vector<std::string>& arguments, const Script& script) {
  char outcomes[128];
  std::snprintf(outcomes, sizeof outcomes,
                "; init %d create %d query %#x writes %d state %d set %d",
                script.initialize_succeeds, script.create_gives_object,
                static_cast<unsigned>(script.query_result), script.query_writes,
                script.stored_state, script.set_succeeds);
  return "arguments: " + testing::PrintToString(arguments) + outcomes;
}

// Every first byte, as the whole argument and followed by more, with no, one
// and two further arguments (and none at all), against every combination of
// the platform's outcomes: success and failure of each step, the getter's
// results at the edges of success and failure, writing or not, and states at
// the edges of the 16-bit range and with a zero low byte.
TEST(EveryInput, KeepsThePromise) {
  std::vector<std::vector<std::string>> argument_lists = {{}};
  for (int byte = 0; byte < 256; ++byte) {
    const std::string first(byte == 0 ? 0 : 1, static_cast<char>(byte));
    argument_lists.push_back({first});
    argument_lists.push_back({first + (byte == 0 ? "" : "es"), "d"});
    argument_lists.push_back({first + (byte == 0 ? "" : "d"), "s", "e"});
  }
  const HRESULT results[] = {
      S_OK, S_FALSE, 0x7FFFFFFF, E_FAIL, HRESULT(0x80000000U), HRESULT(0xFFFFFFFFU)};
  const VARIANT_BOOL states[] = {0, 1, -1, 0x100, 0x7FFF, -0x8000, kPoison};
  std::vector<Script> scripts;
  for (int flags = 0; flags < 16; ++flags) {
    for (const HRESULT result : results) {
      for (const VARIANT_BOOL state : states) {
        scripts.push_back({(flags & 1) == 0, (flags & 2) == 0, result, (flags & 4) == 0, state,
                           (flags & 8) == 0});
      }
    }
  }
  for (const auto& arguments : argument_lists) {
    // A run that is to call nothing cannot learn how the platform would
    // answer, and a call it made would show: one script is enough for it.
    const std::size_t tried = Promised(arguments, scripts[0]).calls.empty() ? 1 : scripts.size();
    for (std::size_t each = 0; each < tried; ++each) {
      const Script& script = scripts[each];
      const Outcome outcome = RunWithFakes(arguments, script);
      const Outcome promised = Promised(arguments, script);
      if (Fields(outcome) == Fields(promised)) continue;
      SCOPED_TRACE(CaseName(arguments, script));
      EXPECT_EQ(Fields(outcome), Fields(promised));
      return;  // the first broken promise is enough to read
    }
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
    const char* call;  // the one call made, if any
  };
  const Entries cases[] = {
      {"both", FakeSetDefaultDllDirectories, FakeSetDllDirectoryW, "SetDefaultDllDirectories 2048"},
      {"SetDefaultDllDirectories", FakeSetDefaultDllDirectories, nullptr,
       "SetDefaultDllDirectories 2048"},
      {"SetDllDirectoryW", nullptr, FakeSetDllDirectoryW, "SetDllDirectoryW empty"},
      {"neither", nullptr, nullptr, nullptr},
  };
  for (const Entries& each : cases) {
    SCOPED_TRACE(each.name);
    kernel_calls.clear();
    RestrictDllSearchWith(each.set_default, each.set_folder);
    EXPECT_EQ(kernel_calls, each.call == nullptr ? std::vector<std::string>()
                                                 : std::vector<std::string>{each.call});
  }
}

}  // namespace
