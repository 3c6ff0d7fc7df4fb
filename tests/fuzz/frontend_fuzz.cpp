// Fuzzes the front end: arbitrary bytes become an argument vector and the
// outcome of each operation, and every run must keep the front end's promises.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/command.h"

namespace {

// Reads the fuzzer's bytes front to back; past the end it yields zeros.
class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Take(std::size_t count) {
    std::string taken;
    while (count-- > 0 && at_ < size_) taken.push_back(static_cast<char>(data_[at_++]));
    return taken;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct Outcomes {
  bool initialize_succeeds;
  bool create_gives_object;
  HRESULT query_result;
  bool query_writes;
  VARIANT_BOOL state;
  bool set_succeeds;
};

Outcomes outcomes;
ILocalMachine the_object = {nullptr};
std::string calls;  // one letter per call: I, C, Q, S

bool InitializeCom() {
  calls += 'I';
  return outcomes.initialize_succeeds;
}
ILocalMachine* CreateLocalMachine() {
  calls += 'C';
  return outcomes.create_gives_object ? &the_object : nullptr;
}
HRESULT Query(ILocalMachine* machine, VARIANT_BOOL* state) {
  calls += machine == &the_object && *state == 0 ? 'Q' : 'q';
  if (outcomes.query_writes) *state = outcomes.state;
  return outcomes.query_result;
}
bool Set(ILocalMachine* machine, bool enabled) {
  calls += machine == &the_object ? (enabled ? 'E' : 'D') : 's';
  return outcomes.set_succeeds;
}
const RemoteDesktopOperations kOperations = {InitializeCom, CreateLocalMachine, Query, Set};

const char kUsage[] =
    "Talvenor 1.0\nUsage:\ne\tenable Remote Desktop\nd\tdisable Remote Desktop\n"
    "s\tdisplay state of service\n";

// Every message the program may write: its stream, and whether it fails the run.
struct Message {
  const char* text;
  bool on_error_stream;
};
const Message kMessages[] = {
    {"Can't initialize COM.\n", true},
    {"Can't instantiate ShellLocalMachine object.\n", true},
    {"Can't query Remote Desktop state.\n", true},
    {"Can't enable Remote Desktop.\n", true},
    {"Can't disable Remote Desktop.\n", true},
    {"Remote Desktop is enabled.", false},
    {"Remote Desktop is disabled.", false},
    {"Succeeded.\n", false},
};

[[noreturn]] void Broken(const char* invariant, const std::string& out, const std::string& err) {
  std::fprintf(stderr, "broken: %s\ncalls: %s\nout: [%s]\nerr: [%s]\n", invariant, calls.c_str(),
               out.c_str(), err.c_str());
  std::abort();
}

std::string Captured(std::FILE* stream, char** buffer, std::size_t* size) {
  std::fclose(stream);
  std::string text(*buffer, *size);
  std::free(*buffer);
  return text;
}

// The message a run must end with, given the calls it made and their outcomes.
const char* ExpectedMessage(char letter) {
  if (!outcomes.initialize_succeeds) return "Can't initialize COM.\n";
  if (!outcomes.create_gives_object) return "Can't instantiate ShellLocalMachine object.\n";
  if (letter == 's') {
    if (FAILED(outcomes.query_result)) return "Can't query Remote Desktop state.\n";
    const bool enabled = outcomes.query_writes && outcomes.state != 0;
    return enabled ? "Remote Desktop is enabled." : "Remote Desktop is disabled.";
  }
  if (outcomes.set_succeeds) return "Succeeded.\n";
  return letter == 'e' ? "Can't enable Remote Desktop.\n" : "Can't disable Remote Desktop.\n";
}

void CheckRun(int argc, const char* const* argv, int status, const std::string& out,
              const std::string& err) {
  if (status != 0 && status != 1) Broken("status is 0 or 1", out, err);
  if (argc < 2) {
    if (out != kUsage || !err.empty() || !calls.empty()) Broken("usage alone", out, err);
    if (status != 0) Broken("usage ends with 0", out, err);
    return;
  }
  const char letter = argv[1][0];
  if (letter != 'e' && letter != 'd' && letter != 's') {
    if (!out.empty() || !err.empty() || !calls.empty()) Broken("silent, no COM", out, err);
    if (status != 0) Broken("unrecognised letter ends with 0", out, err);
    return;
  }
  const Message* written = nullptr;
  for (const Message& message : kMessages) {
    const std::string& stream = message.on_error_stream ? err : out;
    const std::string& other = message.on_error_stream ? out : err;
    if (stream == message.text && other.empty()) written = &message;
  }
  if (written == nullptr) Broken("exactly one defined message on its stream", out, err);
  if (status != (written->on_error_stream ? 1 : 0)) Broken("1 exactly on failure", out, err);
  if (std::strcmp(written->text, ExpectedMessage(letter)) != 0) {
    Broken("the message that matches the outcome", out, err);
  }
  const std::string last = letter == 's' ? "Q" : (letter == 'e' ? "E" : "D");
  const std::string order = "IC" + last;
  if (order.compare(0, calls.size(), calls) != 0 || calls.empty()) {
    Broken("calls in order, each at most once, query or setter never both", out, err);
  }
  const std::size_t expected_calls = !outcomes.initialize_succeeds   ? 1
                                     : !outcomes.create_gives_object ? 2
                                                                     : 3;
  if (calls.size() != expected_calls) Broken("the first failure ends the run", out, err);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes bytes(data, size);
  const std::uint8_t flags = bytes.Next();
  outcomes.initialize_succeeds = (flags & 1) == 0;
  outcomes.create_gives_object = (flags & 2) == 0;
  outcomes.query_writes = (flags & 4) == 0;
  outcomes.set_succeeds = (flags & 8) == 0;
  std::uint32_t result = 0;
  for (int i = 0; i < 4; ++i) result = result << 8 | bytes.Next();
  outcomes.query_result = static_cast<HRESULT>(result);
  outcomes.state = static_cast<VARIANT_BOOL>(bytes.Next() << 8 | bytes.Next());

  const int arguments = bytes.Next() % 9;
  std::vector<std::string> texts = {"talvenor"};
  for (int i = 0; i < arguments; ++i) texts.push_back(bytes.Take(bytes.Next() % 16));
  std::vector<const char*> argv;
  for (const std::string& text : texts) argv.push_back(text.c_str());
  argv.push_back(nullptr);

  calls.clear();
  char* out_buffer = nullptr;
  char* err_buffer = nullptr;
  std::size_t out_size = 0;
  std::size_t err_size = 0;
  std::FILE* out = open_memstream(&out_buffer, &out_size);
  std::FILE* err = open_memstream(&err_buffer, &err_size);
  const int argc = static_cast<int>(texts.size());
  const int status = RunCommand(argc, argv.data(), kOperations, out, err);
  CheckRun(argc, argv.data(), status, Captured(out, &out_buffer, &out_size),
           Captured(err, &err_buffer, &err_size));
  return 0;
}
