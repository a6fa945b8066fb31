// The canonical proxy variables. Pure; values are copied verbatim.
#include "sandbox_core/proxy/proxy_env.h"

namespace sandbox::proxy {

std::vector<ProxyEnvVar> build_proxy_env(std::string_view http_url,
                                         std::optional<std::string_view> socks_url) {
  const std::string_view all = socks_url ? *socks_url : http_url;
  std::vector<ProxyEnvVar> vars;
  vars.reserve(kProxyUrlVarNames.size() + kNoProxyVarNames.size());
  for (size_t i = 0; i < kProxyUrlVarNames.size(); ++i)
    vars.push_back({kProxyUrlVarNames[i], std::string(i < kHttpProxyVarCount ? http_url : all)});
  for (const char* name : kNoProxyVarNames) vars.push_back({name, std::string(kNoProxyValue)});
  return vars;
}

}  // namespace sandbox::proxy
