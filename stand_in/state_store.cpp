#include "stand_in/state_store.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace stand_in {
namespace {

// Room for any path the platform takes; a longer one counts as unusable.
constexpr std::size_t kPathRoom = 4096;

#ifdef _WIN32
// Windows paths, as the program is handed them under Wine, take either separator.
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

// Writes first followed by second into joined; false when they do not fit.
bool Join(char (&joined)[kPathRoom], const char* first, const char* second) {
  const int length = std::snprintf(joined, kPathRoom, "%s%s", first, second);
  return length >= 0 && static_cast<std::size_t>(length) < kPathRoom;
}

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

bool StatePath(char (&path)[kPathRoom]) {
  if (const char* state = std::getenv("TALVENOR_STANDIN_STATE"); IsSet(state)) {
    return Join(path, state, "");
  }
  // XDG_STATE_HOME, a Unix variable, holds an absolute path: a relative one is
  // invalid, and ignored as if unset.
  if (const char* state = std::getenv("XDG_STATE_HOME"); IsSet(state) && state[0] == '/') {
    return Join(path, state, "/talvenor/remote-desktop");
  }
  if (const char* home = std::getenv("HOME"); IsSet(home)) {
    return Join(path, home, "/.local/state/talvenor/remote-desktop");
  }
  return false;
}

// Creates every missing folder on the way to the file at path. Failures are
// left for the file creation that follows to find.
void MakeFolders(char (&path)[kPathRoom]) {
  for (std::size_t i = 1; path[i] != '\0'; ++i) {
    if (std::strchr(kSeparators, path[i]) == nullptr) continue;
    const char separator = path[i];
    path[i] = '\0';
    MakeDirectory(path);
    path[i] = separator;
  }
}

// One optional minus sign, digits, an optional newline, nothing more: what
// from_chars takes, range check included, with no plus sign or white space.
bool ParseState(const char* text, std::size_t length, VARIANT_BOOL* value) {
  if (length > 0 && text[length - 1] == '\n') --length;
  VARIANT_BOOL parsed = 0;
  const auto [end, error] = std::from_chars(text, text + length, parsed);
  if (error != std::errc() || end != text + length) return false;
  *value = parsed;
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

// A C variadic function, so that the compiler checks each format against its values.
void AppendLine(const char* path, const char* format, ...) noexcept {  // NOLINT(cert-dcl50-cpp)
  if (path == nullptr || path[0] == '\0') return;
  char line[kLineRoom];
  va_list values;
  va_start(values, format);
  // clang-tidy 14's analyser, given several files in one run, loses sight of va_start here.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  const int length = std::vsnprintf(line, sizeof line - 1, format, values);
  va_end(values);
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof line - 1) return;
  line[length] = '\n';
  const int file = open(path, O_WRONLY | O_CREAT | O_APPEND | O_BINARY, 0644);
  if (file < 0) return;
  [[maybe_unused]] const bool written = WriteAll(file, line, static_cast<std::size_t>(length) + 1);
  close(file);
}

bool ReadState(VARIANT_BOOL* value) noexcept {
  char path[kPathRoom];
  if (!StatePath(path)) return false;
  const int file = open(path, O_RDONLY | O_BINARY);
  if (file < 0) {
    if (errno != ENOENT) return false;
    *value = 0;
    return true;
  }
  // The stand-in writes at most seven bytes ("-32768\n"), but reads any file
  // of up to 15 that holds one integer (leading zeros and all); a 16th byte
  // refuses the file, however long or endless, without reading the rest.
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
  char path[kPathRoom];
  char temporary[kPathRoom];
  if (!StatePath(path) || !Join(temporary, path, ".XXXXXX")) return false;
  MakeFolders(path);
  const int file = mkstemp(temporary);
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
  if (written && closed && ReplaceWith(temporary, path)) return true;
  std::remove(temporary);
  return false;
}

}  // namespace stand_in
