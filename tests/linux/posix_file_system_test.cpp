#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "core/archive_scan.h"
#include "platform/linux/posix_file_system.h"
#include "tests/linux/temp_tree.h"

namespace quelmar::linux_host {
namespace {

using testing::TempTree;

TEST(PosixFileSystem, TellsFilesFromFoldersAndListsOnlyFolders) {
    TempTree tree;
    tree.folder("Assets/B");
    tree.folder("Assets/A");
    tree.folder("Assets/.hidden");
    tree.folder("Assets/Blueprints.pak");
    tree.file("Assets/file.txt");
    PosixFileSystem fs;
    EXPECT_TRUE(fs.folderExists(tree.path("Assets")));
    EXPECT_FALSE(fs.folderExists(tree.path("Assets/file.txt")));
    EXPECT_FALSE(fs.folderExists(tree.path("Missing")));
    EXPECT_TRUE(fs.fileExists(tree.path("Assets/file.txt")));
    EXPECT_FALSE(fs.fileExists(tree.path("Assets/Blueprints.pak"))) << "a folder of that name is no file";
    EXPECT_FALSE(fs.fileExists(tree.path("Assets/file.txt/deeper")));

    const Folder assets = fs.getFolder(tree.path("Assets/"));
    std::multiset<std::string> names(assets.subFolders.begin(), assets.subFolders.end());
    EXPECT_EQ(names, (std::multiset<std::string>{".hidden", "A", "B", "Blueprints.pak"}));
    EXPECT_FALSE(fs.fileExists(tree.path("Assets/Blueprints.pak"))) << "also when answered from the listing";
    EXPECT_TRUE(fs.fileExists(tree.path("Assets/file.txt")));
}

TEST(PosixFileSystem, MatchesNamesWithoutRegardToCaseButPrefersTheExactOne) {
    TempTree tree;
    tree.file("assets/p/blueprints.PAK", "lower");
    tree.file("assets/q/Blueprints.pak", "exact");
    tree.file("assets/q/BLUEPRINTS.PAK", "upper");
    PosixFileSystem fs;
    EXPECT_TRUE(fs.folderExists(tree.path("Assets")));
    EXPECT_TRUE(fs.fileExists(tree.path("Assets/P/Blueprints.pak")));
    fs.getFolder(tree.path("Assets/P/"));
    EXPECT_TRUE(fs.fileExists(tree.path("Assets/P/Blueprints.pak")));

    fs.deleteFile(tree.path("Assets/Q/Blueprints.pak"));
    EXPECT_FALSE(tree.exists("assets/q/Blueprints.pak"));
    EXPECT_TRUE(tree.exists("assets/q/BLUEPRINTS.PAK")) << "only the exact spelling goes";
    fs.deleteFile(tree.path("Assets/P/Blueprints.pak"));
    EXPECT_FALSE(tree.exists("assets/p/blueprints.PAK"));
}

TEST(PosixFileSystem, ListingAndDeletionSettleOnTheSameSpelling) {
    TempTree tree;
    tree.folder("Assets/P/Blueprints.pak");  // the exact name, but a folder
    tree.file("Assets/P/blueprints.PAK");
    tree.file("Assets/Q/blueprints.pak");
    std::filesystem::create_symlink(tree.path("Assets/Q/blueprints.pak"), tree.path("Assets/Q/BLUEPRINTS.PAK"));
    for (const std::string folder : {"Assets/P", "Assets/Q"}) {
        PosixFileSystem listed, direct;
        listed.getFolder(tree.path(folder + "/"));
        const bool found = listed.fileExists(tree.path(folder + "/Blueprints.pak"));
        EXPECT_EQ(found, direct.fileExists(tree.path(folder + "/Blueprints.pak"))) << folder;
        if (found) EXPECT_NO_THROW(direct.deleteFile(tree.path(folder + "/Blueprints.pak"))) << folder;
    }
    EXPECT_TRUE(tree.exists("Assets/P/blueprints.PAK")) << "the exact name is a folder: nothing to delete";
}

TEST(PosixFileSystem, UnreadableFolderRaisesAnErrorNamingIt) {
    TempTree tree;
    tree.folder("Assets/Locked");
    ::chmod(tree.path("Assets/Locked").c_str(), 0);
    PosixFileSystem fs;
    try {
        fs.getFolder(tree.path("Assets/Locked/"));
        FAIL() << "no error";
    } catch (const HostError& error) {
        EXPECT_EQ(error.number(), EACCES);
        EXPECT_NE(error.description().find(tree.path("Assets/Locked")), std::string::npos) << error.description();
        EXPECT_NE(error.description().find("Access is denied"), std::string::npos) << error.description();
    }
    EXPECT_THROW(fs.getFolder(tree.path("Assets/Missing/")), HostError);
}

TEST(PosixFileSystem, DeletionRefusesReadOnlyFoldersAndVanishedFiles) {
    TempTree tree;
    tree.file("Assets/P/Blueprints.pak");
    tree.file("Assets/Q/Blueprints.pak");
    tree.folder("Assets/R/Blueprints.pak");
    ::chmod(tree.path("Assets/P/Blueprints.pak").c_str(), 0444);
    PosixFileSystem fs;
    try {
        fs.deleteFile(tree.path("Assets/P/Blueprints.pak"));
        FAIL() << "a read-only archive was deleted";
    } catch (const HostError& error) {
        EXPECT_NE(error.description().find(tree.path("Assets/P/Blueprints.pak")), std::string::npos);
        EXPECT_NE(error.description().find("read-only"), std::string::npos) << error.description();
    }
    EXPECT_TRUE(tree.exists("Assets/P/Blueprints.pak"));

    ::chmod(tree.path("Assets/Q").c_str(), 0555);
    EXPECT_THROW(fs.deleteFile(tree.path("Assets/Q/Blueprints.pak")), HostError) << "folder not writable";
    EXPECT_TRUE(tree.exists("Assets/Q/Blueprints.pak"));

    EXPECT_THROW(fs.deleteFile(tree.path("Assets/R/Blueprints.pak")), HostError);
    EXPECT_TRUE(tree.exists("Assets/R/Blueprints.pak"));
    try {
        fs.deleteFile(tree.path("Assets/Gone/Blueprints.pak"));
        FAIL();
    } catch (const HostError& error) {
        EXPECT_EQ(error.number(), ENOENT);
    }
}

TEST(PosixFileSystem, LinksAreNeitherVisitedNorTakenForArchives) {
    TempTree outside;
    outside.file("Elsewhere/Blueprints.pak");
    TempTree tree;
    tree.folder("Assets/P");
    std::filesystem::create_directory_symlink(outside.path("Elsewhere"), tree.path("Assets/Link"));
    std::filesystem::create_symlink(outside.path("Elsewhere/Blueprints.pak"), tree.path("Assets/P/Blueprints.pak"));
    PosixFileSystem fs;
    EXPECT_EQ(fs.getFolder(tree.path("Assets/")).subFolders, std::vector<std::string>{"P"});
    fs.getFolder(tree.path("Assets/P/"));
    EXPECT_FALSE(fs.fileExists(tree.path("Assets/P/Blueprints.pak")));
    EXPECT_FALSE(PosixFileSystem().fileExists(tree.path("Assets/P/Blueprints.pak")));
}

TEST(PosixFileSystem, NamesThatAreNotUtf8AreKeptByteForByte) {
    TempTree tree;
    const std::string name = "Prov\xe9\xff";  // Latin-1 é and a stray byte
    tree.file("Assets/" + name + "/Blueprints.pak");
    PosixFileSystem fs;
    EXPECT_EQ(fs.getFolder(tree.path("Assets/")).subFolders, std::vector<std::string>{name});
    EXPECT_TRUE(fs.fileExists(tree.path("Assets/" + name + "/Blueprints.pak")));
    fs.deleteFile(tree.path("Assets/" + name + "/Blueprints.pak"));
    EXPECT_FALSE(tree.exists("Assets/" + name + "/Blueprints.pak"));
}

}  // namespace
}  // namespace quelmar::linux_host
