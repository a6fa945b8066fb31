// The proxy environment variables: their names, written once here, and the canonical
// values. The writer (build_proxy_env) and the reader (the network fence's endpoints)
// both use these names.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox::proxy {

// The variables that name a proxy URL, in the canonical order: the HTTP proxy's four,
// then the two that take the SOCKS5 URL where there is one.
inline constexpr std::array<const char*, 6> kProxyUrlVarNames = {
    "HTTPS_PROXY", "HTTP_PROXY", "https_proxy", "http_proxy", "ALL_PROXY", "all_proxy"};
inline constexpr size_t kHttpProxyVarCount = 4;
inline constexpr std::array<const char*, 2> kNoProxyVarNames = {"NO_PROXY", "no_proxy"};
inline constexpr std::string_view kNoProxyValue = "127.0.0.1,localhost";

struct ProxyEnvVar {
  const char* name;
  std::string value;
};
// The eight canonical proxy variables, in their fixed order.
std::vector<ProxyEnvVar> build_proxy_env(std::string_view http_url,
                                         std::optional<std::string_view> socks_url);

}  // namespace sandbox::proxy
