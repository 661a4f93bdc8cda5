#include "common/paths.h"

#include <sys/stat.h>

#include <cstdlib>

std::string resolve_path(std::string_view absolute_path) {
  const char* root = std::getenv("QUORVANE_ROOT");
  if (root == nullptr || *root == '\0') return std::string(absolute_path);
  struct stat st {};
  if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) return std::string(absolute_path);
  std::string out(root);
  while (!out.empty() && out.back() == '/') out.pop_back();
  out.append(absolute_path);
  return out;
}
