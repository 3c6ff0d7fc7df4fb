#include "frontend/command.h"

namespace {

void WriteLine(std::FILE* stream, const char* text) {
  std::fputs(text, stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

void PrintUsage(std::FILE* out) {
  WriteLine(out, "Talvenor " TALVENOR_VERSION);
  WriteLine(out, "Usage:");
  WriteLine(out, "e\tenable Remote Desktop");
  WriteLine(out, "d\tdisable Remote Desktop");
  WriteLine(out, "s\tdisplay state of service");
}

int Fail(std::FILE* err, const char* message) {
  WriteLine(err, message);
  return kExitFailure;
}

int ShowState(const RemoteDesktopOperations& operations, ILocalMachine* machine, std::FILE* out,
              std::FILE* err) {
  // Zero first, so that a getter which reports success without writing reads as disabled.
  VARIANT_BOOL state = 0;
  if (FAILED(operations.QueryRemoteDesktopEnabled(machine, &state))) {
    return Fail(err, "Can't query Remote Desktop state.");
  }
  // No line end and no flush: the state is the last thing the run prints, and
  // the stream is flushed when the process ends.
  std::fputs(state != 0 ? "Remote Desktop is enabled." : "Remote Desktop is disabled.", out);
  return kExitSuccess;
}

int ChangeState(const RemoteDesktopOperations& operations, ILocalMachine* machine, bool enable,
                std::FILE* out, std::FILE* err) {
  if (!operations.SetRemoteDesktopEnabled(machine, enable)) {
    return Fail(err, enable ? "Can't enable Remote Desktop." : "Can't disable Remote Desktop.");
  }
  WriteLine(out, "Succeeded.");
  return kExitSuccess;
}

}  // namespace

int RunCommand(int argc, const char* const* argv, const RemoteDesktopOperations& operations,
               std::FILE* out, std::FILE* err) {
  if (argc < 2) {
    PrintUsage(out);
    return kExitSuccess;
  }

  // Only the first byte counts, case-sensitively; anything else ends the run
  // silently, before COM is touched.
  const char letter = argv[1][0];
  if (letter != 'e' && letter != 'd' && letter != 's') {
    return kExitSuccess;
  }

  if (!operations.InitializeCom()) {
    return Fail(err, "Can't initialize COM.");
  }
  ILocalMachine* const machine = operations.CreateLocalMachine();
  if (machine == nullptr) {
    return Fail(err, "Can't instantiate ShellLocalMachine object.");
  }
  // The object and COM are left to the end of the process, which disposes of both.
  if (letter == 's') {
    return ShowState(operations, machine, out, err);
  }
  return ChangeState(operations, machine, letter == 'e', out, err);
}
