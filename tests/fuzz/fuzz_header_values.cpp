// The header values the engine interprets: Content-Length and Content-Range.
// Whatever the value, the result is either nothing or numbers that say what
// the value says.
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "stream/header_values.h"

namespace {

std::u16string_view Trim(std::u16string_view value) {
  while (!value.empty() && (value.front() == u' ' || value.front() == u'\t')) {
    value.remove_prefix(1);
  }
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.remove_suffix(1);
  return value;
}

// The decimal digits of `number` equal `digits` but for leading zeros.
bool SameNumber(std::u16string_view digits, std::int64_t number) {
  while (digits.size() > 1 && digits.front() == u'0') digits.remove_prefix(1);
  const std::string text = std::to_string(number);
  return std::u16string(text.begin(), text.end()) == digits;
}

void Check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string value = httpmedia::fuzzing::Utf16(data, size);

  if (const auto length = httpmedia::ParseContentLength(value)) {
    Check(*length >= 0 && SameNumber(Trim(value), *length));
  }

  if (const auto range = httpmedia::ParseContentRange(value)) {
    Check(range->first >= 0 && range->first <= range->last);
    Check(!range->total || *range->total > range->last);
    const std::u16string_view text = Trim(value);
    const std::size_t dash = text.find(u'-');
    const std::size_t slash = text.find(u'/');
    Check(text.substr(0, 6) == u"bytes " && dash != text.npos && slash != text.npos);
    Check(SameNumber(text.substr(6, dash - 6), range->first));
    Check(SameNumber(text.substr(dash + 1, slash - dash - 1), range->last));
    Check(range->total ? SameNumber(text.substr(slash + 1), *range->total)
                       : text.substr(slash + 1) == u"*");
  }
  return 0;
}
