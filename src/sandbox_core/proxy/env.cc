// The canonical proxy variables. Pure; values are copied verbatim.
#include "sandbox_core/proxy/proxy_env.h"

namespace sandbox::proxy {

std::vector<ProxyEnvVar> build_proxy_env(std::string_view http_url,
                                         std::optional<std::string_view> socks_url) {
  std::vector<ProxyEnvVar> vars;
  for (const ProxyRow& row : kProxyRows) {
    const bool socks = row.protocol == ProxyProtocol::Socks5 && socks_url;
    for (const char* name : row.url_variables)
      vars.push_back({name, std::string(socks ? *socks_url : http_url)});
  }
  for (const char* name : kNoProxyVarNames) vars.push_back({name, std::string(kNoProxyValue)});
  return vars;
}

}  // namespace sandbox::proxy
