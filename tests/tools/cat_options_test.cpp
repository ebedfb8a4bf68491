// The command line of httpmedia-cat: the GNU conventions people type, and the
// limits of a signed 32-bit stream that the plug-in works in.
#include "cat_options.h"

#include <gtest/gtest.h>

namespace httpmedia::tools {
namespace {

ParsedOptions Parse(std::vector<std::string_view> arguments) { return ParseCatOptions(arguments); }

TEST(CatOptions, AcceptsTheUsualSpellings) {
  const ParsedOptions bundled = Parse({"-qb64k", "-o", "out", "--range=1M:2k", "http://h/x"});
  ASSERT_EQ(bundled.error, "");
  EXPECT_TRUE(bundled.options.quiet);
  EXPECT_EQ(bundled.options.read_size, 65536);
  EXPECT_EQ(bundled.options.output, "out");
  ASSERT_TRUE(bundled.options.range);
  EXPECT_EQ(bundled.options.range->start, 1 << 20);
  EXPECT_EQ(bundled.options.range->length, 2048);
  EXPECT_EQ(bundled.options.url, "http://h/x");

  const ParsedOptions separate = Parse({"--seek", "10", "--", "-odd-url"});
  ASSERT_EQ(separate.error, "");
  EXPECT_EQ(separate.options.seek, 10);
  EXPECT_EQ(separate.options.url, "-odd-url");

  EXPECT_EQ(Parse({"-vv", "--verbose", "u"}).options.verbosity, 3);

  const ParsedOptions none = Parse({});
  ASSERT_EQ(none.error, "");
  EXPECT_FALSE(none.options.url);  // the built-in sample
  EXPECT_EQ(none.options.read_size, kDefaultReadSize);
}

TEST(CatOptions, RefusesWhatTheStreamCannotHold) {
  EXPECT_EQ(ParseByteCount("2147483647"), 2147483647);
  EXPECT_FALSE(ParseByteCount("2147483648"));
  EXPECT_FALSE(ParseByteCount("2G"));  // 2 GiB is one past the largest offset
  EXPECT_FALSE(ParseByteCount("99999999999"));
  EXPECT_FALSE(ParseByteCount("-1"));
  EXPECT_FALSE(ParseByteCount("k"));
  EXPECT_NE(Parse({"--range=2147483000:1000", "u"}).error, "");  // the end overflows
  EXPECT_NE(Parse({"--range=5:0", "u"}).error, "");
  EXPECT_NE(Parse({"--range=5", "u"}).error, "");
  EXPECT_NE(Parse({"--quiet=yes", "u"}).error, "");
  EXPECT_NE(Parse({"--verbose=2", "u"}).error, "");
  EXPECT_NE(Parse({"-o"}).error, "");
  EXPECT_NE(Parse({"-x", "u"}).error, "");
}

}  // namespace
}  // namespace httpmedia::tools
