// A URL fit to be printed: its user name and password, which the user may
// have typed into it, hidden.
#pragma once

#include <string>
#include <string_view>

namespace httpmedia::tools {

// url with everything between "://" and the last '@' before the host's end
// ('/', '?', '#' or the end) replaced by "***"; unchanged without one.
std::string HideCredentials(std::string_view url);

}  // namespace httpmedia::tools
