// Every message text, decoded from its stored code page 932 bytes, against the text it must be.
#include "front/messages.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "platform/platform-posix.h"
#include "tests/support/case-name.h"
#include "tests/support/expected.h"

namespace {

struct MessageCase {
    const char* Name;
    const char* Stored;
    const char* Expected;  // UTF-8
};

const MessageCase kMessages[] = {
    {"NotFound", NotFoundMessage, TEXT_NOT_FOUND},
    {"Registered", RegisteredMessage, TEXT_REGISTERED},
    {"Removed", RemovedMessage, TEXT_REMOVED},
    {"WriteFailed", WriteFailedMessage, TEXT_WRITE_FAILED},
    {"NoSlot", NoSlotMessage, TEXT_NO_SLOT},
};

using case_name::operator<<;

class MessageTextTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageTextTest, DecodesToText)
{
    EXPECT_EQ(ConvertFromCodePage932(GetParam().Stored, "UTF-8"), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, MessageTextTest, ::testing::ValuesIn(kMessages), CaseName());

TEST(MessageConversion, AsciiLocaleGetsUtf8AndBadBytesPassThrough)
{
    EXPECT_EQ(ConvertFromCodePage932(RegisteredMessage, "ANSI_X3.4-1968"), TEXT_REGISTERED);
    EXPECT_EQ(ConvertFromCodePage932("a\x82\x0A" "b", "UTF-8"), "a\x82\nb");
    EXPECT_EQ(ConvertFromCodePage932("\x82\xA0", "EUC-JP"), "\xA4\xA2");
}

}  // namespace
