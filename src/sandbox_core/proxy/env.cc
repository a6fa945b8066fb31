// The canonical proxy variables. Pure; values are copied verbatim.
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {

std::vector<ProxyEnvVar> build_proxy_env(std::string_view http_url,
                                         std::optional<std::string_view> socks_url) {
  const std::string http(http_url);
  const std::string all(socks_url ? *socks_url : http_url);
  const std::string no_proxy = "127.0.0.1,localhost";
  return {
      {"HTTPS_PROXY", http}, {"HTTP_PROXY", http}, {"https_proxy", http},
      {"http_proxy", http},  {"ALL_PROXY", all},   {"all_proxy", all},
      {"NO_PROXY", no_proxy}, {"no_proxy", no_proxy},
  };
}

}  // namespace sandbox::proxy
