// The forms a caller's text or number takes on its way into a field.
#include "operations/wire_text.h"

#include <gtest/gtest.h>

#include "support/helpers.h"

namespace nev::operations {
namespace {

using nevtest::ErrorOf;

// The whole range of the one-character forms (the wire tests cover the usual values).
TEST(WireText, CharacterFormsStayWithinOneByte) {
  EXPECT_EQ(CodeChar(0x30 - 1), '/');
  EXPECT_EQ(static_cast<unsigned char>(CodeChar(0x30 - 48)), 0);
  EXPECT_EQ(static_cast<unsigned char>(CodeChar(0x30 + 207)), 255);
  EXPECT_EQ(ErrorOf([] { CodeChar(0x30 + 208); }), 5);
  EXPECT_EQ(ErrorOf([] { CodeChar(0x30 - 49); }), 5);
  EXPECT_EQ(HexDigitsToNibbles("0123456789ABCDEFG g 1\xD0\x90"), "0123456789:;<=>?1");
}

TEST(WireText, TrimSpacesRemovesOnlySpaceCharacters) {
  EXPECT_EQ(TrimSpaces("   "), "");
  EXPECT_EQ(TrimSpaces("\tx y \t"), "\tx y \t");
}

}  // namespace
}  // namespace nev::operations
