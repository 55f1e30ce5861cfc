// The progress line for people shares its terminal with the libraries' messages: it blanks
// itself before each one, so that no message is written onto the end of the line.

#include "app/ProgressLine.h"

#include <gtest/gtest.h>

#include "fs/Message.h"

namespace {

TEST(ProgressLine, BlanksItselfBeforeEveryMessageAndLetsGoWhenDone) {
    brn::setMessageStream(stderr);  // the terminal of the line, as when both are one terminal
    testing::internal::CaptureStderr();
    {
        velk::CProgressLine line(true, 1000000);
        line.update(1000000);  // the whole file: always drawn
        brn::message("-----------------unpack succe\n");
    }
    brn::message("after\n");
    const std::string shown = testing::internal::GetCapturedStderr();
    brn::setMessageStream(nullptr);
    const size_t left = shown.find(" s left");
    ASSERT_NE(left, std::string::npos) << shown;
    const std::string blanked = shown.substr(left + 7, shown.find("-----") - left - 7);
    EXPECT_EQ(blanked, "\r" + std::string(left + 7, ' ') + "\r") << shown;
    EXPECT_EQ(shown.substr(shown.find("-----")), "-----------------unpack succe\nafter\n");
}

}  // namespace
