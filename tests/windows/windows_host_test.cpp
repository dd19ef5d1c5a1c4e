// The Windows host against a real folder tree, the real registry and the
// program's own resources.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <memory>

#include "core/archive_scan.h"
#include "core/texts.h"
#include "tests/windows/windows_test_support.h"

namespace quelmar {
namespace {

using testing::RecordingHost;
using testing::TempTree;
using win32::extendedPath;
using win32::narrow;
using win32::widen;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A WindowOps that only remembers what the logic did to it.
class RecordingWindow : public WindowOps {
public:
    std::string text2Value;
    bool deleteEnabled = false;
    bool refreshEnabled = false;
    void setCaption(const std::string&) override {}
    void setText1(const std::string&) override {}
    void setText2(const std::string& t) override { text2Value = t; }
    std::string text2() const override { return text2Value; }
    void setDeleteEnabled(bool e) override { deleteEnabled = e; }
    void setRefreshEnabled(bool e) override { refreshEnabled = e; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest&) override { return std::nullopt; }
};

struct FileSystemTest : ::testing::Test {
    TempTree tree;
    RecordingHost host;
    std::unique_ptr<FileSystem> fs = host.createFileSystem();
};

TEST_F(FileSystemTest, FilesAndFoldersAreToldApart) {
    const std::string folder = tree.folder("Game");
    const std::string file = tree.file("Game\\RailSim.exe");
    EXPECT_TRUE(fs->folderExists(folder));
    EXPECT_FALSE(fs->fileExists(folder)) << "a folder is never a file";
    EXPECT_TRUE(fs->fileExists(file));
    EXPECT_FALSE(fs->folderExists(file));
    EXPECT_TRUE(fs->folderExists(tree.root() + "\\Game\\..\\Game")) << "the system's own path clean-up applies";
    EXPECT_TRUE(fs->fileExists(tree.root() + "/Game/RailSim.exe"));

    // Nothing there is an answer, not an error.
    for (const std::string& missing : {tree.path("Nowhere"), tree.path("Nowhere\\Deeper"), file + "\\Below",
                                       tree.path("bad<name>"), std::string("")}) {
        EXPECT_FALSE(fs->folderExists(missing)) << missing;
        EXPECT_FALSE(fs->fileExists(missing)) << missing;
    }
}

TEST_F(FileSystemTest, FolderListsOnlyChildFoldersInTheSystemsOrder) {
    for (const char* name : {"Kent", "ashford", "Zebra 2", "v1.2", "Ünterführung", "東京"}) tree.folder("A\\" + std::string(name));
    tree.folder("A\\Kent\\Grandchild");
    tree.file("A\\Blueprints.pak");
    tree.file("A\\notes.txt");

    const Folder listed = fs->getFolder(tree.path("A\\"));

    // The same folder as the standard library reads it: same names, same order.
    std::vector<std::string> expected;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(widen(tree.path("A")))))
        if (entry.is_directory()) expected.push_back(narrow(entry.path().filename().wstring()));
    EXPECT_EQ(listed.subFolders, expected);
    EXPECT_EQ(listed.subFolders.size(), 6u) << "no files, no grandchildren, no \".\" or \"..\"";

    EXPECT_TRUE(fs->getFolder(tree.folder("Empty") + "\\").subFolders.empty());
}

TEST_F(FileSystemTest, FolderThatCannotBeOpenedRaisesWithItsPath) {
    const std::string missing = tree.path("Gone\\");
    try {
        fs->getFolder(missing);
        FAIL() << "a missing folder must raise";
    } catch (const HostError& error) {
        EXPECT_EQ(error.number(), ERROR_PATH_NOT_FOUND);
        EXPECT_TRUE(contains(error.description(), "This folder could not be read:")) << error.description();
        EXPECT_TRUE(contains(error.description(), missing)) << error.description();
        EXPECT_GT(error.description().size(), texts::failure(texts::Operation::ReadFolder, missing, "").size())
            << "the system's reason follows the path";
    }
    const std::string file = tree.file("plain.txt");
    EXPECT_THROW(fs->getFolder(file + "\\"), HostError);
}

// Junctions and directory links inside the asset tree are not walked, so a
// deletion can never reach a folder outside the game.
TEST_F(FileSystemTest, LinkedFoldersAreNotEntered) {
    const std::string outside = tree.folder("OtherGame\\Assets\\Shared");
    tree.file("OtherGame\\Assets\\Shared\\Blueprints.pak");
    tree.folder("RS\\Assets\\Real");
    tree.file("RS\\Assets\\Real\\Blueprints.pak");
    if (!testing::makeJunction(tree.path("RS\\Assets\\Linked"), outside))
        GTEST_SKIP() << "this file system cannot make a junction (error " << GetLastError() << ")";
    ASSERT_TRUE(fs->folderExists(tree.path("RS\\Assets\\Linked"))) << "the junction itself is a folder";

    EXPECT_EQ(fs->getFolder(tree.path("RS\\Assets\\")).subFolders, std::vector<std::string>{"Real"});

    FormState state;
    state.GamePath = tree.path("RS");
    RecordingWindow window;
    ASSERT_EQ(CheckPaths(state, host), kCheckPassed);
    DeleteArchives(state, host, window);
    EXPECT_FALSE(tree.exists("RS\\Assets\\Real\\Blueprints.pak"));
    EXPECT_TRUE(tree.exists("OtherGame\\Assets\\Shared\\Blueprints.pak"));
}

TEST_F(FileSystemTest, DeleteRemovesTheFileAndRefusesReadOnlyOrMissingOnes) {
    const std::string plain = tree.file("Assets\\A\\Blueprints.pak");
    host.deleteFile(plain);
    EXPECT_FALSE(tree.exists("Assets\\A\\Blueprints.pak"));

    const std::string locked = tree.file("Assets\\B\\Blueprints.pak", FILE_ATTRIBUTE_READONLY);
    try {
        host.deleteFile(locked);
        FAIL() << "a read-only file must not be deleted";
    } catch (const HostError& error) {
        EXPECT_EQ(error.number(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(contains(error.description(), "This file could not be deleted:")) << error.description();
        EXPECT_TRUE(contains(error.description(), locked)) << error.description();
        EXPECT_TRUE(contains(error.description(), "read-only")) << error.description();
    }
    EXPECT_TRUE(tree.exists("Assets\\B\\Blueprints.pak"));
    EXPECT_TRUE(GetFileAttributesW(extendedPath(locked).c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the read-only setting is the user's to clear";

    try {
        host.deleteFile(plain);
        FAIL() << "a file that is gone cannot be deleted";
    } catch (const HostError& error) {
        EXPECT_EQ(error.number(), ERROR_FILE_NOT_FOUND);
        EXPECT_TRUE(contains(error.description(), plain)) << error.description();
    }
}

// The whole command chain of the core on names no code page holds and on
// paths past the old 260-character limit.
struct GameTreeTest : FileSystemTest, ::testing::WithParamInterface<std::string> {};

TEST_P(GameTreeTest, CheckListAndDeleteWork) {
    const std::string game = GetParam();
    tree.file(game + "\\RailSim.exe");
    tree.file(game + "\\Assets\\Kühlhaus\\Blueprints.pak");
    tree.file(game + "\\Assets\\Kühlhaus\\線路 Ω\\Blueprints.pak");
    tree.file(game + "\\Assets\\Kühlhaus\\Scenery.pak");
    tree.file(game + "\\Assets\\Blueprints.pak");
    tree.file(game + "\\Assets\\Kühlhaus\\線路 Ω\\Deep\\Blueprints.pak");

    FormState state;
    state.GamePath = tree.path(game);
    RecordingWindow window;
    ASSERT_EQ(CheckPaths(state, host), kCheckPassed);
    EXPECT_EQ(state.AssetsPath, tree.path(game + "\\Assets"));

    const std::string listing = "Assets\\Kühlhaus\\Blueprints.pak\r\nAssets\\Kühlhaus\\線路 Ω\\Blueprints.pak\r\n";
    RefreshList(state, host, window);
    EXPECT_EQ(window.text2Value, listing);
    EXPECT_TRUE(window.deleteEnabled);

    DeleteArchives(state, host, window);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, texts::archivesDeleted(2));
    EXPECT_FALSE(tree.exists(game + "\\Assets\\Kühlhaus\\Blueprints.pak"));
    EXPECT_FALSE(tree.exists(game + "\\Assets\\Kühlhaus\\線路 Ω\\Blueprints.pak"));
    for (const char* decoy : {"\\Assets\\Kühlhaus\\Scenery.pak", "\\Assets\\Blueprints.pak",
                              "\\Assets\\Kühlhaus\\線路 Ω\\Deep\\Blueprints.pak", "\\RailSim.exe"})
        EXPECT_TRUE(tree.exists(game + decoy)) << decoy;
}

std::string longGameFolder() {
    std::string path = "Long";
    while (path.size() < 300) path += "\\Eisenbahn-Simulator Ordner mit langem Namen";
    return path;
}

INSTANTIATE_TEST_SUITE_P(Paths, GameTreeTest,
                         ::testing::Values("Gare de l'Est – é à ü\\東京駅 🚂", longGameFolder()),
                         [](const auto& info) { return info.index == 0 ? "Unicode" : "LongerThan260"; });

TEST_F(GameTreeTest, LongPathIsReallyLong) {
    EXPECT_GT(tree.path(longGameFolder() + "\\Assets\\Kühlhaus\\線路 Ω\\Blueprints.pak").size(), 300u);
}

// Wine has no 260-character limit, so the long-path test above passes there
// with or without the "\\?\" form; these pin down the form itself, which
// Windows needs.
TEST(ExtendedPath, AbsolutePathsGetTheLongForm) {
    EXPECT_EQ(extendedPath("C:\\Games\\RS"), L"\\\\?\\C:\\Games\\RS");
    EXPECT_EQ(extendedPath("C:/Games/Old/../RS\\Assets\\"), L"\\\\?\\C:\\Games\\RS\\Assets\\")
        << "cleaned up as the system would, keeping the trailing separator";
    EXPECT_EQ(extendedPath("\\\\server\\share\\RS"), L"\\\\?\\UNC\\server\\share\\RS");
    EXPECT_EQ(extendedPath("\\\\?\\D:\\x"), L"\\\\?\\D:\\x") << "already in the long form";
    EXPECT_EQ(extendedPath("Assets\\A"), L"Assets\\A") << "relative paths are left to the system";

    EXPECT_EQ(win32::withoutExtendedPrefix(L"\\\\?\\C:\\Games"), L"C:\\Games");
    EXPECT_EQ(win32::withoutExtendedPrefix(L"\\\\?\\UNC\\server\\share"), L"\\\\server\\share");
}

// The settings at the key Visual Basic programs use; whatever was stored
// there before the test is put back afterwards.
class RegistryTest : public ::testing::Test {
protected:
    static constexpr const wchar_t* kParent = L"Software\\VB and VBA Program Settings";
    static constexpr const wchar_t* kApp = L"Software\\VB and VBA Program Settings\\Quelmar";
    static constexpr const wchar_t* kKey = L"Software\\VB and VBA Program Settings\\Quelmar\\Preferences";

    void SetUp() override {
        parentExisted_ = keyExists(kParent);
        appExisted_ = keyExists(kApp);
        keyExisted_ = keyExists(kKey);
        saved_ = rawValue();
    }
    void TearDown() override {
        if (saved_) {
            HKEY key;
            RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, &key);
            RegSetValueExW(key, L"GameFolder", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved_->c_str()),
                           static_cast<DWORD>((saved_->size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        } else {
            RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"GameFolder");
        }
        if (!keyExisted_) RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
        if (!appExisted_) RegDeleteKeyW(HKEY_CURRENT_USER, kApp);
        if (!parentExisted_) RegDeleteKeyW(HKEY_CURRENT_USER, kParent);
    }
    static bool keyExists(const wchar_t* path) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    // The value as any other program reads it: only a REG_SZ counts.
    static std::optional<std::wstring> rawValue() {
        wchar_t buffer[4096];
        DWORD bytes = sizeof(buffer);
        DWORD type = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kKey, L"GameFolder", RRF_RT_ANY, &type, buffer, &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            return std::nullopt;
        return std::wstring(buffer);
    }

    RecordingHost host;

private:
    bool parentExisted_ = false, appExisted_ = false, keyExisted_ = false;
    std::optional<std::wstring> saved_;
};

TEST_F(RegistryTest, GameFolderRoundTripsAsTextAtTheVisualBasicKey) {
    const std::string folder = "D:\\Spiele\\Rail Simulator — 東京";
    host.saveSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, folder);
    EXPECT_EQ(rawValue(), widen(folder));
    EXPECT_EQ(host.getSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, "x"), folder);

    const std::string longer(600, 'q');
    host.saveSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, longer);
    EXPECT_EQ(host.getSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, ""), longer);
}

TEST_F(RegistryTest, MissingValueOrKeyGivesTheDefault) {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"GameFolder");
    EXPECT_EQ(host.getSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, "fallback"),
              "fallback");
    EXPECT_EQ(host.getSetting(texts::kSettingsApplication, "No Such Section", texts::kSettingsKey, "fallback"),
              "fallback");
}

TEST(HostIdentity, VersionComesFromTheProgramsVersionRecord) {
    RecordingHost host;
    const Version version = host.version();
    EXPECT_EQ(version.major, QUELMAR_VERSION_MAJOR);
    EXPECT_EQ(version.revision, QUELMAR_VERSION_PATCH);
}

TEST(HostIdentity, ProgramFolderHoldsTheProgram) {
    RecordingHost host;
    const std::string folder = host.programFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), '\\');
    EXPECT_FALSE(folder.starts_with("\\\\?\\"));
    EXPECT_TRUE(host.createFileSystem()->fileExists(folder + "\\quelmar_windows_host_tests.exe")) << folder;
}

TEST(HostIdentity, SecondInstanceInTheSessionIsNoticedUntilTheFirstEnds) {
    auto first = std::make_unique<RecordingHost>();
    EXPECT_FALSE(first->anotherInstanceRunning());
    EXPECT_FALSE(first->anotherInstanceRunning()) << "asking again does not find itself";
    auto second = std::make_unique<RecordingHost>();
    EXPECT_TRUE(second->anotherInstanceRunning());
    second.reset();
    first.reset();
    RecordingHost third;
    EXPECT_FALSE(third.anotherInstanceRunning()) << "the mutex goes with the process that held it";
}

// The real message box, answered from a second thread.
TEST(HostMessages, MessageBoxShowsTextAndTitleAndIsOwnedByTheWindow) {
    HWND owner = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 100, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    WindowsHost host;
    host.setOwnerWindow(owner);

    const std::string text = "Première ligne\r\n\r\nZweite Zeile – 東京";
    std::wstring title;
    std::vector<std::wstring> texts;
    HWND boxOwner = nullptr;
    {
        testing::DialogWatcher watcher([&](HWND box) {
            title = testing::windowText(box);
            texts = testing::childTexts(box);
            boxOwner = GetWindow(box, GW_OWNER);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
        });
        host.showMessage(text, MessageIcon::Warning, "Quelmar");
        EXPECT_TRUE(watcher.found());
    }
    EXPECT_EQ(title, L"Quelmar");
    EXPECT_NE(std::find(texts.begin(), texts.end(), widen(text)), texts.end());
    EXPECT_EQ(boxOwner, owner);
    DestroyWindow(owner);
}

}  // namespace
}  // namespace quelmar
