// The remote identity in one form for every class.
#include <gtest/gtest.h>

#include <string>

#include "modem/identity.h"

namespace {

std::string Normalised(const std::string &text, size_t size = 129) {
    char out[129] = "unchanged";
    FaxNormaliseIdentity(text.data(), text.size(), out, size);
    return out;
}

TEST(IdentityTest, EveryClassesFormComesOutTheSame) {
    EXPECT_EQ("+49 30 1234", Normalised("\"+49 30 1234\""));     // class 2.0, quoted
    EXPECT_EQ("+49 30 1234", Normalised("+49 30 1234"));         // class 2
    EXPECT_EQ("+49 30 1234", Normalised("  +49 30 1234       "));  // class 1, padded field
    EXPECT_EQ("+49 30 1234", Normalised(" \" +49 30 1234 \" "));
    EXPECT_EQ("A  B", Normalised("A  B"));
    EXPECT_EQ("", Normalised("\"   \""));
}

TEST(IdentityTest, ControlBytesAreDroppedAndTheOutputStaysInItsField) {
    EXPECT_EQ("AB", Normalised(std::string("A\x01\x7f\xff" "B", 5)));
    EXPECT_EQ("AB", Normalised(std::string("AB\0CD", 5)));  // a NUL ends the text
    EXPECT_EQ("ABC", Normalised("ABCDEF", 4));
    EXPECT_EQ("AB", Normalised("AB CD", 4));  // cut at a space: no trailing space
    char out[1] = {'x'};
    EXPECT_EQ(0u, FaxNormaliseIdentity("ABC", 3, out, 1));
    EXPECT_EQ('\0', out[0]);
}

}  // namespace
