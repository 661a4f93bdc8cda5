// The modem status file "/tmp/modemInfo.txt" (under QUORVANE_ROOT when set):
// exactly 512 bytes, "cregvalue=%d\ncsqvalue=%d\n" and zero bytes.
//
// /tmp is shared with every user of the board, so nothing planted at the path
// is written through, followed or blocked on: the text goes to a temporary
// file in the same folder, which is renamed over the path. A reader sees the
// old file or the new one, never a part of either. A symbolic link at the path
// is followed only when root or the daemon's own user owns it (a link that
// the system set up, pointing into the daemon's runtime folder); the file is
// then replaced in the link's target folder, and the link stays. Any other
// link is replaced, not followed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Replaces the file at path with text. False when it could not be (a folder
// at the path, a folder that does not exist or is not writable, a link in a
// sticky folder that belongs to another user, ...); nothing was written
// anywhere else then.
bool replace_status_file(const std::string& path, std::string_view text);

// Removes the status file: the target of a trusted link (the link stays), or
// whatever else is at the path. A missing file is no error.
void remove_status_file(const std::string& path);

// Where a write to path goes: path itself, or, through trusted links, the
// file they point to.
std::string status_file_target(const std::string& path);

// The status text of the two values (512 bytes) written to the status file,
// and printed as one line; "Open modemInfo.txt fail!!" instead when the file
// cannot be replaced.
void write_modem_status(int32_t creg, int32_t csq);

// Removes the status file (a bring-up begins).
void remove_modem_status();
