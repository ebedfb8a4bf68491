// The header values the engine interprets itself.
#include "stream/header_values.h"

#include "gtest/gtest.h"

namespace httpmedia {
namespace {

TEST(ContentLength, OnlyAPlainDecimalThatASigned32BitLengthHolds) {
  EXPECT_EQ(ParseContentLength(u"1234567"), 1'234'567);
  EXPECT_EQ(ParseContentLength(u" 0\t"), 0);
  EXPECT_EQ(ParseContentLength(u"2147483647"), 2'147'483'647);
  for (const char16_t* bad : {u"2147483648", u"99999999999", u"-1", u"+5", u"abc", u"12 34", u"",
                              u"0x10", u"1e6", u"12:34", u"/1"}) {
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

}  // namespace
}  // namespace httpmedia
