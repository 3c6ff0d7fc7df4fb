// The stand-in's files. The one that holds the stand-in's Remote Desktop
// setting: a decimal 16-bit integer and a newline, at $TALVENOR_STANDIN_STATE,
// else $XDG_STATE_HOME/talvenor/remote-desktop (when absolute), else
// $HOME/.local/state/talvenor/remote-desktop. An empty variable counts as unset.
#pragma once

#include <windows.h>

namespace stand_in {

// A missing file reads as 0. False, with *value untouched, when the file
// cannot be read or holds anything but one integer in range.
bool ReadState(VARIANT_BOOL* value) noexcept;

// Replaces the file in one step (a temporary file beside it, then a rename),
// creating its folder when missing. A symbolic link is followed, and the file
// it points at replaced the same way. False, with the old file intact, when it
// cannot be written.
bool WriteState(VARIANT_BOOL value) noexcept;

// Appends text and a newline to the file at path, creating it when missing,
// in one write, so that lines from concurrent runs never interleave. Best
// effort: a line that cannot be written is lost.
void AppendLine(const char* path, const char* text) noexcept;

}  // namespace stand_in
