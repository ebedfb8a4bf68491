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

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t year, std::int64_t month, std::int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The date of "Sun, 06 Nov 1994 08:49:37 GMT" as seconds since 1970.
std::optional<std::int64_t> ParseHttpDate(std::u16string_view value) {
  constexpr std::u16string_view Months[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                            u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  const std::size_t comma = value.find(u',');
  if (comma == std::u16string_view::npos) return std::nullopt;
  value = Trimmed(value.substr(comma + 1));
  // "06 Nov 1994 08:49:37 GMT"
  if (value.size() != 24 || value.substr(21) != u"GMT") return std::nullopt;
  const auto day = ParseDecimal(value.substr(0, 2), 31);
  const auto year = ParseDecimal(value.substr(7, 4), 9999);
  const auto hour = ParseDecimal(value.substr(12, 2), 23);
  const auto minute = ParseDecimal(value.substr(15, 2), 59);
  const auto second = ParseDecimal(value.substr(18, 2), 60);
  const auto month = std::find(std::begin(Months), std::end(Months), value.substr(3, 3));
  if (!day || !year || !hour || !minute || !second || month == std::end(Months) ||
      value[2] != u' ' || value[6] != u' ' || value[11] != u' ' || value[14] != u':' ||
      value[17] != u':' || value[20] != u' ') {
    return std::nullopt;
  }
  const std::int64_t days = DaysFromCivil(*year, month - std::begin(Months) + 1, *day);
  return days * 86'400 + *hour * 3'600 + *minute * 60 + *second;
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

std::optional<std::uint32_t> ParseRetryAfter(std::u16string_view value, std::int64_t nowSeconds,
                                             std::uint32_t capMs) {
  value = Trimmed(value);
  std::optional<std::int64_t> seconds = ParseDecimal(value, capMs / 1000 + 1);
  if (!seconds && ParseDecimal(value, std::numeric_limits<std::int64_t>::max() / 16)) {
    seconds = capMs / 1000 + 1;  // a number of seconds beyond the cap
  }
  if (!seconds) {
    const std::optional<std::int64_t> date = ParseHttpDate(value);
    if (!date) return std::nullopt;
    seconds = std::clamp<std::int64_t>(*date - nowSeconds, 0, capMs / 1000 + 1);
  }
  return static_cast<std::uint32_t>(std::min<std::int64_t>(*seconds * 1000, capMs));
}

}  // namespace httpmedia
