// The platform layers' one UTF-16 to UTF-8 conversion.
#include "text.h"

#include <string>
#include <string_view>

#include "gtest/gtest.h"

namespace {

struct Conversion {
  std::u16string_view utf16;
  std::string_view utf8;
  bool replaced;
};

constexpr char16_t Lead = 0xD800, LastLead = 0xDBFF, Trail = 0xDC00, LastTrail = 0xDFFF;
constexpr char16_t LoneLead[] = {u'a', Lead, u'-'};
constexpr char16_t LoneTrail[] = {u'a', LastTrail};
constexpr char16_t LeadAtEnd[] = {u'x', LastLead};
constexpr char16_t TrailThenLead[] = {Trail, Lead};
constexpr char16_t TwoLeadsThenTrail[] = {Lead, Lead, Trail};
constexpr char16_t LastPair[] = {LastLead, LastTrail};
constexpr char16_t WithNul[] = {u'a', 0, u'b'};

const Conversion Conversions[] = {
    {u"", "", false},
    {u"http://h/a b", "http://h/a b", false},
    {u"\u007F\u0080\u07FF\u0800\uFFFF", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", false},
    {u"\U0001F3B5", "\xF0\x9F\x8E\xB5", false},  // a surrogate pair
    {{LastPair, 2}, "\xF4\x8F\xBF\xBF", false},  // the highest code point
    {{WithNul, 3}, std::string_view("a\0b", 3), false},
    {{LoneLead, 3}, "a\xEF\xBF\xBD-", true},
    {{LoneTrail, 2}, "a\xEF\xBF\xBD", true},
    {{LeadAtEnd, 2}, "x\xEF\xBF\xBD", true},
    {{TrailThenLead, 2}, "\xEF\xBF\xBD\xEF\xBF\xBD", true},
    {{TwoLeadsThenTrail, 3}, "\xEF\xBF\xBD\xF0\x90\x80\x80", true},
};

TEST(Utf16ToUtf8, EncodesPairsAndReplacesEachLoneSurrogate) {
  for (const Conversion& c : Conversions) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.utf8)));
    bool replaced = !c.replaced;
    EXPECT_EQ(httpmedia::text::Utf16ToUtf8(c.utf16, &replaced), c.utf8);
    EXPECT_EQ(replaced, c.replaced);
  }
}

}  // namespace
