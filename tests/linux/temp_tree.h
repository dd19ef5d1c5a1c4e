#pragma once
// A real folder tree under the system's temporary folder, removed afterwards.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace quelmar::testing {

class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quelmar-test-XXXXXX").string();
        root_ = ::mkdtemp(pattern.data());
    }
    ~TempTree() {
        // Give back any permission a test took away so the tree can go.
        for (auto it = std::filesystem::recursive_directory_iterator(
                 root_, std::filesystem::directory_options::skip_permission_denied);
             it != std::filesystem::recursive_directory_iterator(); ++it)
            ::chmod(it->path().c_str(), 0755);
        ::chmod(root_.c_str(), 0755);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "/" + relative; }

    void folder(const std::string& relative) const { std::filesystem::create_directories(path(relative)); }
    void file(const std::string& relative, const std::string& content = "x") const {
        std::filesystem::create_directories(std::filesystem::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << content;
    }
    bool exists(const std::string& relative) const {
        struct stat st;
        return ::lstat(path(relative).c_str(), &st) == 0;
    }
    // Every file and link in the tree, relative to the root.
    std::set<std::string> files() const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(root_))
            if (!e.is_directory() || e.is_symlink()) out.insert(e.path().string().substr(root_.size() + 1));
        return out;
    }

private:
    std::string root_;
};

}  // namespace quelmar::testing
