#include "url_credentials.h"

#include <algorithm>

namespace httpmedia::tools {

std::string HideCredentials(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::string(url);
  const std::size_t authority = scheme + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", authority), url.size());
  // An '@' past the host belongs to the path or the query, and stays.
  const std::size_t at = url.substr(authority, end - authority).rfind('@');
  if (at == std::string_view::npos) return std::string(url);
  return std::string(url.substr(0, authority)) + "***" + std::string(url.substr(authority + at));
}

}  // namespace httpmedia::tools
