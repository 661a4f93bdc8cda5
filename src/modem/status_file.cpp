#include "modem/status_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>

#include "common/console.h"
#include "common/paths.h"
#include "common/unique_fd.h"
#include "modem/modem_texts.h"

namespace {

constexpr char kStatusPath[] = "/tmp/modemInfo.txt";
constexpr size_t kStatusSize = 512;
// Links followed at most in a row (as the kernel stops at a loop).
constexpr int kMaxLinks = 8;

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The target of the link at path when the link is trusted: owned by root or
// by the user the daemon runs as (the rule of the kernel's protected_symlinks
// for a sticky, world-writable folder such as /tmp).
bool trusted_link_target(const std::string& path, std::string& target) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return false;
  std::array<char, PATH_MAX> buf{};
  const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size() - 1);
  if (n <= 0) return false;
  target.assign(buf.data(), static_cast<size_t>(n));
  if (target[0] != '/') target = folder_of(path) + "/" + target;
  return true;
}

bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string status_file_target(const std::string& path) {
  std::string at = path;
  std::string next;
  for (int i = 0; i < kMaxLinks && trusted_link_target(at, next); ++i) at = next;
  return at;
}

bool replace_status_file(const std::string& path, std::string_view text) {
  const std::string target = status_file_target(path);
  // mkstemp creates a new file (O_EXCL): nothing planted is opened. The file
  // lives in RAM (/tmp, /run) and is rewritten about once a second: no sync.
  std::string temp = target + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return false;
  const bool ok = write_all(fd.get(), text) && ::fchmod(fd.get(), 0644) == 0 && fd.close() == 0 &&
                  ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

void remove_status_file(const std::string& path) {
  ::unlink(status_file_target(path).c_str());
}

void write_modem_status(int32_t creg, int32_t csq) {
  std::array<char, kStatusSize> status{};
  bformat(status.data(), status.size(), kTxtModemStatus, creg, csq);
  if (!replace_status_file(resolve_path(kStatusPath), {status.data(), status.size()})) {
    console().line(kTxtStatusOpenFailLine);
    return;
  }
  console().line(status.data());
}

void remove_modem_status() {
  remove_status_file(resolve_path(kStatusPath));
}
