#include <gtest/gtest.h>

#include "core/texts.h"

namespace quelmar {
namespace {

TEST(FailureText, NamesWhatFailedThePathAndAReasonForEveryCondition) {
    const std::string text = texts::failure(texts::Operation::DeleteFile, "/g/Assets/P/Blueprints.pak",
                                            texts::reasonFor(std::errc::permission_denied));
    EXPECT_EQ(text.rfind("This file could not be deleted:\r\n\r\n/g/Assets/P/Blueprints.pak\r\n\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("Access is denied"), std::string::npos) << text;
    // A condition without a sentence of its own still gets the system's words.
    EXPECT_FALSE(texts::reasonFor(std::errc::no_space_on_device).empty());
}

}  // namespace
}  // namespace quelmar
