// The file that holds the stand-in's Remote Desktop setting: a decimal 16-bit
// integer and a newline, at $TALVENOR_STANDIN_STATE, else
// $XDG_STATE_HOME/talvenor/remote-desktop, else
// $HOME/.local/state/talvenor/remote-desktop.
#pragma once

#include <windows.h>

namespace stand_in {

// A missing file reads as 0. False, with *value untouched, when the file
// cannot be read or holds anything but one integer in range.
bool ReadState(VARIANT_BOOL* value) noexcept;

// Replaces the file in one step (a temporary file beside it, then a rename),
// creating its folder when missing. False, with the old file intact, when it
// cannot be written.
bool WriteState(VARIANT_BOOL value) noexcept;

// Opened files never take the numbers of the standard streams, even when one
// of them is closed: a message meant for a closed stream must not reach a
// file of ours.
int KeepClearOfStandardStreams(int descriptor) noexcept;

}  // namespace stand_in
