// Text helpers shared by the engine and the Linux platform layers: the one
// UTF-16 to UTF-8 conversion, and the ASCII case and white-space rules of
// HTTP names and values.
#pragma once

#include <string>
#include <string_view>

namespace httpmedia::text {

// UTF-8 for UTF-16 text. A lone surrogate has no UTF-8 form and becomes
// U+FFFD; *replaced (when given) tells whether any did, for callers that must
// refuse such text rather than pass on a changed one.
std::string Utf16ToUtf8(std::u16string_view text, bool* replaced = nullptr);

// ASCII case-insensitive equality, as HTTP compares header names and schemes.
bool EqualsNoCase(std::string_view a, std::string_view b);

// Without leading spaces and tabs, and without trailing spaces, tabs, CR and
// LF: a header line's name or value as received.
std::string_view Trim(std::string_view s);

}  // namespace httpmedia::text
