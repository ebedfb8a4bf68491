#include "stream/header_values.h"

#include <algorithm>
#include <limits>

namespace httpmedia {

namespace {

std::u16string_view Trimmed(std::u16string_view value) {
  while (!value.empty() && (value.front() == u' ' || value.front() == u'\t'))
    value.remove_prefix(1);
  while (!value.empty() && (value.back() == u' ' || value.back() == u'\t')) value.remove_suffix(1);
  return value;
}

// A decimal number of at most `largest`; nothing for anything else.
std::optional<std::int64_t> ParseDecimal(std::u16string_view digits, std::int64_t largest) {
  if (digits.empty()) return std::nullopt;
  std::int64_t result = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    result = result * 10 + (c - u'0');
    if (result > largest) return std::nullopt;
  }
  return result;
}

}  // namespace

std::optional<std::int32_t> ParseContentLength(std::u16string_view value) {
  const std::optional<std::int64_t> number =
      ParseDecimal(Trimmed(value), std::numeric_limits<std::int32_t>::max());
  if (!number) return std::nullopt;
  return static_cast<std::int32_t>(*number);
}

bool NamesByteRanges(std::u16string_view value) {
  const std::u16string_view unit = Trimmed(value);
  constexpr std::u16string_view Bytes = u"bytes";
  return std::equal(unit.begin(), unit.end(), Bytes.begin(), Bytes.end(),
                    [](char16_t a, char16_t b) { return (a | 0x20) == b; });
}

std::optional<ContentRange> ParseContentRange(std::u16string_view value) {
  constexpr std::int64_t Largest = std::numeric_limits<std::int64_t>::max() / 16;
  constexpr std::u16string_view Unit = u"bytes ";
  value = Trimmed(value);
  if (value.substr(0, Unit.size()) != Unit) return std::nullopt;
  value.remove_prefix(Unit.size());
  const std::size_t dash = value.find(u'-');
  const std::size_t slash = value.find(u'/');
  if (dash == std::u16string_view::npos || slash == std::u16string_view::npos || slash < dash) {
    return std::nullopt;
  }
  const std::optional<std::int64_t> first = ParseDecimal(value.substr(0, dash), Largest);
  const std::optional<std::int64_t> last =
      ParseDecimal(value.substr(dash + 1, slash - dash - 1), Largest);
  if (!first || !last || *last < *first) return std::nullopt;
  ContentRange range{*first, *last, std::nullopt};
  const std::u16string_view total = value.substr(slash + 1);
  if (total != u"*") {
    range.total = ParseDecimal(total, Largest);
    if (!range.total || *range.total <= *last) return std::nullopt;
  }
  return range;
}

}  // namespace httpmedia
