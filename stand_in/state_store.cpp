#include "stand_in/state_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace stand_in {
namespace {

#ifdef _WIN32
constexpr const char* kSeparators = "/\\";
int MakeDirectory(const char* path) { return _mkdir(path); }
int SyncToDisk(int descriptor) { return _commit(descriptor); }
bool ReplaceWith(const char* from, const char* target) {
  return MoveFileExA(from, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
#else
constexpr const char* kSeparators = "/";
int MakeDirectory(const char* path) { return mkdir(path, 0755); }
int SyncToDisk(int descriptor) { return fsync(descriptor); }
bool ReplaceWith(const char* from, const char* target) { return std::rename(from, target) == 0; }
#endif

std::string StatePath() {
  if (const char* path = std::getenv("TALVENOR_STANDIN_STATE"); path != nullptr && *path != '\0') {
    return path;
  }
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != '\0') {
    return std::string(state) + "/talvenor/remote-desktop";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.local/state/talvenor/remote-desktop";
  }
  return std::string();
}

std::string FolderOf(const std::string& path) {
  const std::string::size_type last = path.find_last_of(kSeparators);
  if (last == std::string::npos) return ".";
  if (last == 0) return path.substr(0, 1);
  return path.substr(0, last);
}

// Creates every missing folder on the way to folder. Failures are left for
// the file creation that follows to find.
void MakeFolders(const std::string& folder) {
  for (std::string::size_type end = folder.find_first_of(kSeparators, 1); end != std::string::npos;
       end = folder.find_first_of(kSeparators, end + 1)) {
    MakeDirectory(folder.substr(0, end).c_str());
  }
  MakeDirectory(folder.c_str());
}

// One optional minus sign, digits, an optional newline, nothing more. The
// caller reads at most 15 bytes, so the digits cannot overflow.
bool ParseState(const char* text, std::size_t length, VARIANT_BOOL* value) {
  if (length > 0 && text[length - 1] == '\n') --length;
  std::size_t index = 0;
  const bool negative = length > 0 && text[0] == '-';
  if (negative) ++index;
  if (index == length) return false;
  long long magnitude = 0;
  for (; index < length; ++index) {
    if (text[index] < '0' || text[index] > '9') return false;
    magnitude = magnitude * 10 + (text[index] - '0');
  }
  const long long number = negative ? -magnitude : magnitude;
  if (number < -32768 || number > 32767) return false;
  *value = static_cast<VARIANT_BOOL>(number);
  return true;
}

bool WriteAll(int descriptor, const char* text, std::size_t length) {
  while (length > 0) {
    const auto written = write(descriptor, text, static_cast<unsigned>(length));
    if (written <= 0) return false;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

int KeepClearOfStandardStreams(int descriptor) noexcept {
#ifndef _WIN32
  if (descriptor >= 0 && descriptor <= 2) {
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    close(descriptor);
    return moved;
  }
#endif
  return descriptor;
}

bool ReadState(VARIANT_BOOL* value) noexcept {
  const std::string path = StatePath();
  if (path.empty()) return false;
  const int file = KeepClearOfStandardStreams(open(path.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC));
  if (file < 0) {
    if (errno != ENOENT) return false;
    *value = 0;
    return true;
  }
  // A valid file is at most eight bytes ("-32768\n"); one byte more than the
  // buffer holds is enough to reject a larger one without reading it all.
  char text[16];
  std::size_t length = 0;
  bool readable = true;
  while (length < sizeof text) {
    const auto got = read(file, text + length, static_cast<unsigned>(sizeof text - length));
    if (got < 0) readable = false;
    if (got <= 0) break;
    length += static_cast<std::size_t>(got);
  }
  close(file);
  return readable && length < sizeof text && ParseState(text, length, value);
}

bool WriteState(VARIANT_BOOL value) noexcept {
  const std::string path = StatePath();
  if (path.empty()) return false;
  const std::string folder = FolderOf(path);
  MakeFolders(folder);

  std::string temporary = folder + "/.remote-desktop.XXXXXX";
  const int file = KeepClearOfStandardStreams(mkstemp(temporary.data()));
  if (file < 0) return false;
#ifdef _WIN32
  _setmode(file, _O_BINARY);
#else
  fchmod(file, 0644);  // mkstemp makes it private; the setting is readable by all
#endif
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%d\n", value);
  const bool written =
      WriteAll(file, text, static_cast<std::size_t>(length)) && SyncToDisk(file) == 0;
  const bool closed = close(file) == 0;
  if (written && closed && ReplaceWith(temporary.c_str(), path.c_str())) return true;
  std::remove(temporary.c_str());
  return false;
}

}  // namespace stand_in
