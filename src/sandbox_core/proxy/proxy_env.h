// The proxies of a session, one row per protocol: the name of its URL on the binding, and
// the variables that carry the URL into the child, written once here. The writer
// (build_proxy_env), the reader (the network fence's endpoints) and the binding's slots
// all go by these rows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sandbox::proxy {

// The protocols, in the order a session starts (and stops) their proxies.
enum class ProxyProtocol : uint8_t { Http, Socks5 };

inline constexpr const char* kHttpUrlVarNames[] = {"HTTPS_PROXY", "HTTP_PROXY", "https_proxy",
                                                   "http_proxy"};
inline constexpr const char* kSocksUrlVarNames[] = {"ALL_PROXY", "all_proxy"};

struct ProxyRow {
  ProxyProtocol protocol;
  const char* url_attribute;  // of the binding's AllowListProxy, also its argument name
  const char* label;          // in its messages: "http proxy start"
  std::span<const char* const> url_variables;
};

// In the canonical order of the variables: the HTTP proxy's four, then the two that take
// the SOCKS5 URL (the HTTP one where there is no SOCKS5 proxy).
inline constexpr ProxyRow kProxyRows[] = {
    {ProxyProtocol::Http, "url", "http", kHttpUrlVarNames},
    {ProxyProtocol::Socks5, "socks_url", "socks", kSocksUrlVarNames},
};
inline constexpr size_t kProxyCount = std::size(kProxyRows);

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
