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

// "08:49:37" as seconds into the day.
std::optional<std::int64_t> ParseClock(std::u16string_view value) {
  if (value.size() != 8 || value[2] != u':' || value[5] != u':') return std::nullopt;
  const auto hour = ParseDecimal(value.substr(0, 2), 23);
  const auto minute = ParseDecimal(value.substr(3, 2), 59);
  const auto second = ParseDecimal(value.substr(6, 2), 60);
  if (!hour || !minute || !second) return std::nullopt;
  return *hour * 3'600 + *minute * 60 + *second;
}

std::optional<std::int64_t> ParseMonth(std::u16string_view value) {
  constexpr std::u16string_view Months[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                            u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  const auto month = std::find(std::begin(Months), std::end(Months), value);
  if (month == std::end(Months)) return std::nullopt;
  return month - std::begin(Months) + 1;
}

// A two-digit year of the obsolete form: the latest year ending in those
// digits that lies not more than 50 years after now (a day's error in the
// current year matters to no date a server sends).
std::int64_t FullYear(std::int64_t twoDigits, std::int64_t nowSeconds) {
  const std::int64_t nowYear = 1970 + nowSeconds / 86'400 * 400 / 146'097;
  std::int64_t year = nowYear - nowYear % 100 + twoDigits;
  if (year > nowYear + 50) year -= 100;
  return year;
}

}  // namespace

std::optional<std::int64_t> ParseHttpDate(std::u16string_view value, std::int64_t nowSeconds) {
  value = Trimmed(value);
  std::optional<std::int64_t> day, month, year, clock;
  const std::size_t comma = value.find(u',');
  const std::u16string_view rest =
      comma == std::u16string_view::npos ? value : value.substr(comma + 1);
  if (comma != std::u16string_view::npos && rest.size() == 25 && rest.substr(21) == u" GMT") {
    // " 06 Nov 1994 08:49:37 GMT"
    if (rest[0] != u' ' || rest[3] != u' ' || rest[7] != u' ' || rest[12] != u' ') return {};
    day = ParseDecimal(rest.substr(1, 2), 31);
    month = ParseMonth(rest.substr(4, 3));
    year = ParseDecimal(rest.substr(8, 4), 9999);
    clock = ParseClock(rest.substr(13, 8));
  } else if (comma != std::u16string_view::npos && rest.size() == 23 &&
             rest.substr(19) == u" GMT") {
    // " 06-Nov-94 08:49:37 GMT"
    if (rest[0] != u' ' || rest[3] != u'-' || rest[7] != u'-' || rest[10] != u' ') return {};
    day = ParseDecimal(rest.substr(1, 2), 31);
    month = ParseMonth(rest.substr(4, 3));
    year = ParseDecimal(rest.substr(8, 2), 99);
    if (year) year = FullYear(*year, nowSeconds);
    clock = ParseClock(rest.substr(11, 8));
  } else if (comma == std::u16string_view::npos && value.size() == 24) {
    // "Sun Nov  6 08:49:37 1994"
    if (value[3] != u' ' || value[7] != u' ' || value[10] != u' ' || value[19] != u' ') return {};
    day = ParseDecimal(value.substr(value[8] == u' ' ? 9 : 8, value[8] == u' ' ? 1 : 2), 31);
    month = ParseMonth(value.substr(4, 3));
    year = ParseDecimal(value.substr(20, 4), 9999);
    clock = ParseClock(value.substr(11, 8));
  }
  if (!day || !month || !year || !clock) return std::nullopt;
  return DaysFromCivil(*year, *month, *day) * 86'400 + *clock;
}

std::optional<std::int64_t> ParseContentLength(std::u16string_view value) {
  return ParseDecimal(Trimmed(value), std::numeric_limits<std::int64_t>::max() / 16);
}

ContentCoding ClassifyContentEncoding(std::u16string_view value) {
  ContentCoding coding = ContentCoding::Identity;
  while (!value.empty()) {
    const std::size_t comma = std::min(value.find(u','), value.size());
    const std::u16string_view name = Trimmed(value.substr(0, comma));
    value.remove_prefix(std::min(comma + 1, value.size()));
    auto is = [name](std::u16string_view known) {
      return std::equal(name.begin(), name.end(), known.begin(), known.end(),
                        [](char16_t a, char16_t b) { return (a | 0x20) == b; });
    };
    if (name.empty() || is(u"identity")) continue;
    if (!is(u"gzip") && !is(u"x-gzip") && !is(u"deflate")) return ContentCoding::Undecodable;
    coding = ContentCoding::Decodable;
  }
  return coding;
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
    const std::optional<std::int64_t> date = ParseHttpDate(value, nowSeconds);
    if (!date) return std::nullopt;
    seconds = std::clamp<std::int64_t>(*date - nowSeconds, 0, capMs / 1000 + 1);
  }
  return static_cast<std::uint32_t>(std::min<std::int64_t>(*seconds * 1000, capMs));
}

std::u16string Validators::IfRange() const {
  if (!etag.empty()) return WeakETag() ? std::u16string() : etag;
  return dateStrong ? lastModified : std::u16string();
}

bool DateIsStrong(std::u16string_view lastModified, std::u16string_view date,
                  std::int64_t nowSeconds) {
  constexpr std::int64_t StrongAfterSeconds = 60;
  const std::optional<std::int64_t> modified = ParseHttpDate(lastModified, nowSeconds);
  const std::optional<std::int64_t> sent = ParseHttpDate(date, nowSeconds);
  return modified && sent && *sent - *modified >= StrongAfterSeconds;
}

bool DateVouches(std::u16string_view lastModified, std::u16string_view date,
                 std::int64_t nowSeconds) {
  // RFC 9110's rule for a date that may be taken as strong: a version
  // written again within the second of its date keeps that date.
  // A value that is no date is compared octet for octet, as any validator.
  constexpr std::int64_t VouchesAfterSeconds = 1;
  const std::optional<std::int64_t> modified = ParseHttpDate(lastModified, nowSeconds);
  if (!modified) return true;
  const std::int64_t sent = ParseHttpDate(date, nowSeconds).value_or(nowSeconds);
  return sent - *modified >= VouchesAfterSeconds;
}

}  // namespace httpmedia
