// DateTime as .NET prints and converts it on a guest.
#include <gtest/gtest.h>

#include "DotNetTime.h"
#include "support/TestSupport.h"

namespace winguest {
namespace {

constexpr int64_t kJan5_2020_150405 = 1578236645;  // 2020-01-05 15:04:05 as a wall reading

struct FormatCase {
  const char* name;
  const char* culture;  // "" for the invariant culture
  const char* format;
  const char* expected;
};
void PrintTo(const FormatCase& c, std::ostream* out) { *out << c.name << ": " << c.format; }

class DateTimeFormatting : public ::testing::TestWithParam<FormatCase> {};

TEST_P(DateTimeFormatting, PrintsAsTheCulturePrints) {
  const FormatCase& c = GetParam();
  const CultureInfo& culture = *c.culture ? *FindCulture(c.culture) : InvariantCulture();
  std::string error;
  EXPECT_EQ(FormatDateTime(DotNetDateTime{kJan5_2020_150405, DateKind::Local}, c.format, culture, error), c.expected);
  EXPECT_EQ(error, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DateTimeFormatting,
    ::testing::Values(FormatCase{"UsDefault", "en-US", "", "1/5/2020 3:04:05 PM"},
                      FormatCase{"GermanDefault", "de-DE", "", "05.01.2020 15:04:05"},
                      FormatCase{"BritishDefault", "en-GB", "", "05/01/2020 15:04:05"},
                      FormatCase{"InvariantDefault", "", "", "01/05/2020 15:04:05"},
                      FormatCase{"InvariantCustom", "", "M/d/yyyy h:mm:ss tt", "1/5/2020 3:04:05 PM"},
                      // The "/" and "tt" of a custom pattern follow the culture.
                      FormatCase{"GermanCustom", "de-DE", "M/d/yyyy h:mm:ss tt", "1.5.2020 3:04:05 "},
                      FormatCase{"QuotedLiteral", "", "yyyy'-'MM", "2020-01"},
                      FormatCase{"Sortable", "de-DE", "s", "2020-01-05T15:04:05"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST(DotNetTime, UnknownStandardFormatIsAnError) {
  std::string error;
  FormatDateTime(DotNetDateTime{}, "Q", InvariantCulture(), error);
  EXPECT_FALSE(error.empty());
}

TEST(DotNetTime, LocalConversionFollowsDaylightSaving) {
  zqtest::ScopedEnv tz("TZ", "Europe/Berlin");
  tzset();
  const int64_t summerNoonUtc = 1593604800;  // 2020-07-01 12:00 UTC
  const DotNetDateTime summer = LocalFromUtcSeconds(summerNoonUtc);
  EXPECT_EQ(summer.wall, summerNoonUtc + 7200);
  EXPECT_EQ(ToUtcSeconds(summer), summerNoonUtc);
  const int64_t winterNoonUtc = 1578225600;  // 2020-01-05 12:00 UTC
  EXPECT_EQ(LocalFromUtcSeconds(winterNoonUtc).wall, winterNoonUtc + 3600);
  // An unspecified reading converts as UTC to local time and as local time to UTC, like .NET.
  EXPECT_EQ(ToLocalTime(DotNetDateTime{summerNoonUtc, DateKind::Unspecified}).wall, summerNoonUtc + 7200);
  EXPECT_EQ(ToUtcSeconds(DotNetDateTime{summerNoonUtc + 7200, DateKind::Unspecified}), summerNoonUtc);
}

TEST(DotNetTime, ParsesDatesAsTheInvariantCultureDoes) {
  DotNetDateTime value;
  ASSERT_TRUE(ParseInvariantDateTime("1/1/1970", value));
  EXPECT_EQ(value.wall, 0);
  EXPECT_EQ(value.kind, DateKind::Unspecified);
  ASSERT_TRUE(ParseInvariantDateTime("1/5/2020 15:04:05", value));
  EXPECT_EQ(value.wall, kJan5_2020_150405);
  EXPECT_FALSE(ParseInvariantDateTime("25.01.2020", value));
  EXPECT_FALSE(ParseInvariantDateTime("2/30/2020", value));
}

TEST(DotNetTime, KnowsTheRangeOfDateTime) {
  EXPECT_TRUE(InDateTimeRange(0));
  EXPECT_TRUE(InDateTimeRange(253402300799LL));
  EXPECT_FALSE(InDateTimeRange(253402300800LL));
  EXPECT_FALSE(InDateTimeRange(-62135596801LL));
}

}  // namespace
}  // namespace winguest
