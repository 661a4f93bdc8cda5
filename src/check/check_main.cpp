// quorvane-check: commissioning checks of a gateway, safe beside a running
// daemon: it opens no modem or GPS port, writes no file and takes no lock.
//
//   quorvane-check [files|devices] [--root DIR] [--json] [--strict]

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check/check.h"
#include "config/fixed_settings.h"

namespace {

constexpr const char* kUsage =
    "Usage: quorvane-check [files|devices] [--root DIR] [--json] [--strict]\n"
    "  files    the three configuration files as the daemon reads them (default)\n"
    "  devices  one read of every configured Modbus device (nothing is written)\n"
    "  --root DIR  read the files under DIR, as QUORVANE_ROOT does\n"
    "  --json      one JSON object instead of the text report\n"
    "  --strict    warnings count: exit 1 when there is any\n";

int usage(const char* wrong) {
  std::fprintf(stderr, "quorvane-check: %s\n%s", wrong, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CheckOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "files") {
      options.devices = false;
    } else if (arg == "devices") {
      options.devices = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--strict") {
      options.strict = true;
    } else if (arg == "--root" && i + 1 < argc) {
      options.root = argv[++i];
      struct stat st {};
      if (stat(options.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return usage(("--root " + options.root + ": not a directory").c_str());
      }
      setenv("QUORVANE_ROOT", options.root.c_str(), 1);
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "-v" || arg == "--version") {
      std::printf("quorvane-check version = %s %s\n", str_ver, str_date);
      return 0;
    } else {
      return usage(("unknown argument " + arg).c_str());
    }
  }
  if (options.root.empty()) {
    const char* root = std::getenv("QUORVANE_ROOT");
    options.root = root != nullptr ? root : "";
  }
  // The function engine's console lines are captured line by line.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const FilesCheck files = check_files();
  if (!options.devices || files.refusal() != nullptr) return report(options, files, nullptr);
  const std::vector<DeviceRead> reads = read_devices(files.devices->value());
  return report(options, files, &reads);
}
