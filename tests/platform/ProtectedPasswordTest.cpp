// Protected passwords: the plain text comes out only through a bstring, which wipes it.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <type_traits>
#include <utility>

#include "platform/pstring.h"

namespace {

template <typename T, typename = void>
struct IsStreamable : std::false_type {};
template <typename T>
struct IsStreamable<T, std::void_t<decltype(std::declval<std::ostream&>() << std::declval<const T&>())>>
    : std::true_type {};

TEST(ProtectedPassword, CannotBeWrittenToAStream) {
  EXPECT_FALSE(IsStreamable<pstring>::value);
  EXPECT_FALSE(IsStreamable<bstring>::value);
  EXPECT_TRUE(IsStreamable<std::string>::value);  // the detector itself works
}

TEST(ProtectedPassword, GivesBackThePlainText) {
  const pstring password("S3cret-pass with blanks and ümlauts");
  EXPECT_EQ(password.getPlainPassword().str(), "S3cret-pass with blanks and ümlauts");
  EXPECT_FALSE(password.empty());
}

TEST(ProtectedPassword, EmptyByDefault) {
  const pstring password;
  EXPECT_TRUE(password.empty());
  EXPECT_EQ(password.getPlainPassword().str(), "");
}

TEST(ProtectedPassword, CopiesAndMovesKeepTheValue) {
  pstring original("copy-me-please-a-long-password-text");
  pstring copy(original);
  EXPECT_EQ(copy.getPlainPassword().str(), "copy-me-please-a-long-password-text");
  pstring moved(std::move(original));
  EXPECT_EQ(moved.getPlainPassword().str(), "copy-me-please-a-long-password-text");
  EXPECT_TRUE(original.empty());  // NOLINT(bugprone-use-after-move): a moved-from password is empty
  pstring assigned;
  assigned = copy;
  EXPECT_EQ(assigned.getPlainPassword().str(), "copy-me-please-a-long-password-text");
}

TEST(ProtectedPassword, MovedPlainTextLeavesNothingInTheSource) {
  bstring source = pstring("short").getPlainPassword();
  bstring target(std::move(source));
  EXPECT_EQ(target.str(), "short");
  EXPECT_TRUE(source.str().empty());  // NOLINT(bugprone-use-after-move)
}

TEST(WipeString, OverwritesTheWholeBuffer) {
  std::string text = "a password long enough to live on the heap, not inside the object";
  const size_t capacity = text.capacity();
  const char* buffer = text.data();
  WipeString(text);
  EXPECT_TRUE(text.empty());
  ASSERT_EQ(text.data(), buffer);  // clearing keeps the buffer, so its bytes can be inspected
  for (size_t i = 0; i < capacity; ++i) {
    EXPECT_EQ(buffer[i], '\0') << "byte " << i;
  }
}

}  // namespace
