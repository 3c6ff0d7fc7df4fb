// The stand-in's files. The one that holds the stand-in's Remote Desktop
// setting: a decimal 16-bit integer and a newline, at $TALVENOR_STANDIN_STATE,
// else $XDG_STATE_HOME/talvenor/remote-desktop (when absolute), else
// $HOME/.local/state/talvenor/remote-desktop. An empty variable counts as unset.
#pragma once

#include <windows.h>

#include <cstddef>

namespace stand_in {

// A missing file reads as 0. False, with *value untouched, when the file
// cannot be read, is 16 bytes or longer, or holds anything but one integer in range.
bool ReadState(VARIANT_BOOL* value) noexcept;

// Replaces the file in one step (a temporary file beside it, written through
// to the disk, then a rename), creating its folder when missing. False, with
// the old file intact and nothing left beside it, when it cannot be written.
bool WriteState(VARIANT_BOOL value) noexcept;

// Appends a line, formatted as printf formats it, and a newline to the file at
// path (nothing when path is null or empty), creating it when missing, in one
// write, so that lines from concurrent runs never interleave. Best effort: a
// line that cannot be written, or is longer than kLineRoom with its newline, is lost.
void AppendLine(const char* path, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// Room for a line and its newline: plainly more than the longest the stand-in
// writes, CoCreateInstance's two identifiers and three values (about 130
// bytes), or a program's file name and an apartment (at most MAX_PATH + 16).
constexpr std::size_t kLineRoom = 512;

}  // namespace stand_in
