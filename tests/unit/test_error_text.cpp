#include <string>

#include "cli/commands.h"
#include "world.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::StrEq;

namespace {

class ErrorText : public World {
 protected:
  std::string text_of(DWORD code, DWORD size = 256) {
    return format_system_error(code, error_text, size);
  }
};

TEST_F(ErrorText, DropsTheCrLfAndAddsTheCodeInLowerCaseHex) {
  EXPECT_THAT(text_of(126), StrEq("The specified module could not be found. (0x7e)"));
  EXPECT_THAT(text_of(1060),
              StrEq("The specified service does not exist as an installed service. (0x424)"));
}

TEST_F(ErrorText, AsksTheSystemWithoutInsertsAndReleasesItsBuffer) {
  text_of(5);
  // FROM_SYSTEM | ALLOCATE_BUFFER | ARGUMENT_ARRAY | IGNORE_INSERTS
  EXPECT_THAT(fake::journal("FormatMessageA"), ElementsAre("FormatMessageA 5 flags=0x3300 -> 19"));
  EXPECT_THAT(fake::journal("LocalFree"), SizeIs(1));
}

TEST_F(ErrorText, DropsALoneLineFeedAndNothingElse) {
  fake::set_message(0x20000001, "Wine's text\n");
  EXPECT_THAT(text_of(0x20000001), StrEq("Wine's text (0x20000001)"));
  fake::set_message(0x20000002, "No line end.");
  EXPECT_THAT(text_of(0x20000002), StrEq("No line end. (0x20000002)"));
  fake::set_message(0x20000003, "x");
  EXPECT_THAT(text_of(0x20000003), StrEq("x (0x20000003)"));
  fake::set_message(0x20000004, "Ends in CR\r");
  EXPECT_THAT(text_of(0x20000004), StrEq("Ends in CR\r (0x20000004)"));
}

TEST_F(ErrorText, KeepsInsertionMarkersWithoutReadingArguments) {
  // The world's violation check fails if an argument was asked for.
  EXPECT_THAT(text_of(193), StrEq("%1 is not a valid Win32 application. (0xc1)"));
}

TEST_F(ErrorText, IsEmptyWithoutSystemText) {
  fake::remove_message(126);
  strcpy(error_text, "old text");
  EXPECT_THAT(text_of(126), IsEmpty());
  EXPECT_THAT(fake::journal("LocalFree"), IsEmpty());
}

TEST_F(ErrorText, TakesTextsOfUpTo242CharactersWithTheirLineEnd) {
  std::string longest = std::string(240, 'a') + "\r\n";
  fake::set_message(0x20000010, longest);
  std::string text = text_of(0x20000010);
  EXPECT_THAT(text, StrEq(std::string(240, 'a') + " (0x20000010)"));
  // The widest code still fits with its NUL.
  fake::set_message(0xFFFFFFFF, longest);
  EXPECT_THAT(text_of(0xFFFFFFFF), StrEq(std::string(240, 'a') + " (0xffffffff)"));

  fake::set_message(0x20000011, std::string(241, 'a') + "\r\n");
  EXPECT_THAT(text_of(0x20000011), IsEmpty());
  EXPECT_THAT(fake::journal("LocalFree"), SizeIs(3));
}

TEST_F(ErrorText, FollowsTheBufferSizeGiven) {
  // "Access is denied.\r\n" is 19 characters: it needs 33 bytes.
  EXPECT_THAT(text_of(5, 32), IsEmpty());
  EXPECT_THAT(text_of(5, 33), StrEq("Access is denied. (0x5)"));
}

}  // namespace
