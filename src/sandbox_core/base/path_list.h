// PATH-style lists, split the one way both searches use: the host's PATH for the tools
// we run, and the child's PATH for its program. Pure.
#pragma once

#include <string>
#include <string_view>

namespace sandbox {

// Calls `fn(entry)` for each colon-separated entry of `list`, in order, empty ones too
// (execvp takes an empty entry for the current directory). Stops early when `fn` returns
// true, and returns whether it did.
template <class F>
bool for_each_path_entry(std::string_view list, F&& fn) {
  while (true) {
    size_t colon = list.find(':');
    if (fn(list.substr(0, colon))) return true;
    if (colon == std::string_view::npos) return false;
    list.remove_prefix(colon + 1);
  }
}

// `dir` + "/" + `name`, without doubling a trailing slash of `dir`.
inline std::string path_join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

}  // namespace sandbox
