// The header values the engine interprets itself.
#include "stream/header_values.h"

#include "gtest/gtest.h"

namespace httpmedia {
namespace {

TEST(ContentLength, OnlyAPlainDecimalPast32BitsToo) {
  EXPECT_EQ(ParseContentLength(u"1234567"), 1'234'567);
  EXPECT_EQ(ParseContentLength(u" 0\t"), 0);
  EXPECT_EQ(ParseContentLength(u"2147483648"), 2'147'483'648);
  EXPECT_EQ(ParseContentLength(u"3000000000"), 3'000'000'000);
  for (const char16_t* bad : {u"99999999999999999999", u"-1", u"+5", u"abc", u"12 34", u"", u"0x10",
                              u"1e6", u"12:34", u"/1"}) {
    EXPECT_EQ(ParseContentLength(bad), std::nullopt) << std::u16string(bad).size();
  }
}

TEST(ContentRange, FirstLastAndTotal) {
  const std::optional<ContentRange> range = ParseContentRange(u"bytes 19000000-19999999/20000000");
  ASSERT_TRUE(range);
  EXPECT_EQ(range->first, 19'000'000);
  EXPECT_EQ(range->last, 19'999'999);
  EXPECT_EQ(range->total, 20'000'000);
  const std::optional<ContentRange> unknownTotal = ParseContentRange(u"bytes 5-9/*");
  ASSERT_TRUE(unknownTotal);
  EXPECT_EQ(unknownTotal->total, std::nullopt);
  for (const char16_t* bad : {u"bytes */20000000", u"bytes 9-5/20", u"bytes 5-9/9", u"items 1-2/3",
                              u"bytes 1-2", u"bytes -1-2/3", u"bytes 1-2/x", u"",
                              u"bytes 1-99999999999999999999/100000000000000000000"}) {
    EXPECT_EQ(ParseContentRange(bad), std::nullopt) << std::u16string(bad).size();
  }
}

// Each of HTTP's three date forms, in seconds or in a date; a two-digit year
// more than 50 years ahead is the century before; a past date is now.
TEST(RetryAfter, SecondsOrADateInAnyOfItsThreeForms) {
  constexpr std::int64_t Nov1994 = 784'111'777;  // 1994-11-06 08:49:37 UTC
  constexpr std::uint32_t Cap = 15'000;
  EXPECT_EQ(ParseRetryAfter(u"3", Nov1994, Cap), 3'000u);
  EXPECT_EQ(ParseRetryAfter(u"86400", Nov1994, Cap), Cap);
  EXPECT_EQ(ParseRetryAfter(u"Sun, 06 Nov 1994 08:49:42 GMT", Nov1994, Cap), 5'000u);
  EXPECT_EQ(ParseRetryAfter(u"Sunday, 06-Nov-94 08:49:41 GMT", Nov1994, Cap), 4'000u);
  EXPECT_EQ(ParseRetryAfter(u"Sun Nov  6 08:49:39 1994", Nov1994, Cap), 2'000u);
  EXPECT_EQ(ParseRetryAfter(u"Sun Nov  6 08:40:00 1994", Nov1994, Cap), 0u);
  EXPECT_EQ(ParseHttpDate(u"Tuesday, 01-Jan-80 00:00:00 GMT", 1'796'000'000), 315'532'800);
  EXPECT_EQ(ParseHttpDate(u"Friday, 01-Jan-66 00:00:00 GMT", 1'796'000'000), 3'029'529'600);
  for (const char16_t* bad : {u"Sun, 06 Nov 1994 08:49:37 UTC", u"Sun, 06 Nov 1994 24:00:00 GMT",
                              u"Sunday, 06-Nov-1994 08:49:37 GMT", u"Sun Nov  6 08:49:37 94"}) {
    EXPECT_EQ(ParseRetryAfter(bad, Nov1994, Cap), std::nullopt) << std::u16string(bad).size();
  }
}

TEST(Validators, IfRangeCarriesAStrongETagOrAStrongDateWithNoETagAtAll) {
  const std::u16string date = u"Sun, 06 Nov 1994 08:49:37 GMT";
  const std::u16string strong = u"\"\u00e9t\u00ffg\"";  // octets above 0x7F as sent
  const std::u16string weak = u"W/\"x\"";
  EXPECT_EQ((Validators{strong, date, true}.IfRange()), strong);
  EXPECT_EQ((Validators{weak, date, true}.IfRange()), u"");
  EXPECT_EQ((Validators{u"", date, true}.IfRange()), date);
  EXPECT_EQ((Validators{u"", date, false}.IfRange()), u"");
  EXPECT_FALSE((Validators{weak, u"", false}.Identify()));
  EXPECT_TRUE((Validators{weak, date, false}.Identify()));
  // A date is strong once it is 60 seconds older than the answer's Date.
  EXPECT_TRUE(DateIsStrong(date, u"Sun, 06 Nov 1994 08:50:37 GMT", 0));
  EXPECT_FALSE(DateIsStrong(date, u"Sun, 06 Nov 1994 08:50:36 GMT", 0));
  // It tells versions apart once a second older; without a Date, than the
  // answer's arrival.
  EXPECT_TRUE(DateVouches(date, u"Sun, 06 Nov 1994 08:49:38 GMT", 0));
  EXPECT_FALSE(DateVouches(date, date, 0));
  EXPECT_TRUE(DateVouches(date, u"", 784'111'778));
  EXPECT_FALSE(DateVouches(date, u"", 784'111'777));
  EXPECT_TRUE(DateVouches(date, u"soon", 784'111'778));
  EXPECT_TRUE(DateVouches(u"Mon, 02 Jan 2006", date, 0));
  EXPECT_TRUE((Validators{u"", date, false, true}.Vouch()));
  EXPECT_FALSE((Validators{u"", date, false, false}.Vouch()));
  EXPECT_FALSE((Validators{weak, date, false, false}.Vouch()));
  EXPECT_TRUE((Validators{strong, date, false, false}.Vouch()));
}

TEST(ContentEncoding, GzipAndDeflateAreDecodedAnyOtherRefused) {
  for (const char16_t* none : {u"", u" identity ", u"Identity, ,"}) {
    EXPECT_EQ(ClassifyContentEncoding(none), ContentCoding::Identity)
        << std::u16string_view(none).size();
  }
  for (const char16_t* decodable : {u"gzip", u"X-GZIP", u" deflate", u"gzip, identity, deflate"}) {
    EXPECT_EQ(ClassifyContentEncoding(decodable), ContentCoding::Decodable);
  }
  for (const char16_t* other : {u"br", u"gzip, br", u"compress", u"zstd", u"gzip;q=1"}) {
    EXPECT_EQ(ClassifyContentEncoding(other), ContentCoding::Undecodable);
  }
}

}  // namespace
}  // namespace httpmedia
