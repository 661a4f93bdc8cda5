// Fixed absolute paths of the daemon, resolved under QUORVANE_ROOT when that
// environment variable names a directory (tests and the bench kit run the real
// daemon against pseudo-terminals and files in a directory of their own).
#pragma once

#include <string>
#include <string_view>

// The path as used: "<root><path>" when QUORVANE_ROOT names a directory,
// otherwise the path unchanged.
std::string resolve_path(std::string_view absolute_path);
