#include <gtest/gtest.h>

#include "core/texts.h"

namespace quelmar {
namespace {

TEST(FailureText, NamesWhatFailedThePathAndAReasonForEveryCondition) {
    using texts::Operation;
    const std::string text = texts::failure(Operation::DeleteFile, "/g/Assets/P/Blueprints.pak",
                                            texts::reasonFor(std::errc::permission_denied, Operation::DeleteFile));
    EXPECT_EQ(text.rfind("This file could not be deleted:\r\n\r\n/g/Assets/P/Blueprints.pak\r\n\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("Access is denied"), std::string::npos) << text;
    // A condition without a sentence of its own still gets the system's words.
    EXPECT_FALSE(texts::reasonFor(std::errc::no_space_on_device, Operation::SaveSettings).empty());
}

// Advice must fit what was being done: a folder that could not be read is
// no matter of changing it, and a permission is not the read-only setting.
TEST(FailureText, AccessAdviceMatchesTheOperation) {
    using texts::Operation;
    const struct {
        Operation operation;
        const char* says;
        const char* neverSays;
    } cases[] = {
        {Operation::ReadFolder, "read", "change"},
        {Operation::TestPath, "open", "change"},
        {Operation::ReadSettings, "read", "change"},
        {Operation::DeleteFile, "may not change this file", "read-only"},
        {Operation::SaveSettings, "change", "read this"},
    };
    for (const auto& c : cases) {
        const std::string reason = texts::reasonFor(std::errc::permission_denied, c.operation);
        EXPECT_NE(reason.find(c.says), std::string::npos) << reason;
        EXPECT_EQ(reason.find(c.neverSays), std::string::npos) << reason;
    }
    EXPECT_NE(texts::readOnlyReason().find("read-only"), std::string::npos);
}

// A path of any length gives a box that comes at once and fits: its middle
// goes, never a part of a character, and the text says so.
TEST(FailureText, LongPathsLoseTheirMiddleAndSaySo) {
    const std::string ends = "/home/userA/", archive = "/RouteB/Blueprints.pak";
    const struct {
        std::string path;
        bool shortened;
    } cases[] = {
        {ends + std::string(300, 'x') + archive, false},
        {ends + std::string(100'000, 'x') + archive, true},
        {ends + [] { std::string s; for (int i = 0; i < 400; ++i) s += "\xc3\xa4"; return s; }() + archive, true},
    };
    for (const auto& c : cases) {
        const std::string shown = texts::shownPath(c.path);
        const std::string text = texts::failure(texts::Operation::ReadFolder, c.path, "reason");
        EXPECT_NE(text.find(shown), std::string::npos);
        if (!c.shortened) {
            EXPECT_EQ(shown, c.path);
            continue;
        }
        EXPECT_LT(shown.size(), 800u);
        EXPECT_EQ(shown.rfind(ends, 0), 0u) << shown;
        EXPECT_TRUE(shown.ends_with(archive)) << shown;
        EXPECT_NE(shown.find("shortened"), std::string::npos) << shown;
        for (std::size_t at = 0; (at = shown.find("\xc3", at)) != std::string::npos; ++at)
            EXPECT_EQ(shown[at + 1], '\xa4') << "a character cut at byte " << at;
    }
    EXPECT_NE(texts::gameFolderNotFound(cases[1].path).find("shortened"), std::string::npos);
}

}  // namespace
}  // namespace quelmar
