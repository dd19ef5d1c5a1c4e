#include "make_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quelmar::bench {

namespace {

// splitmix64: the same tree from the same seed on every system and standard
// library, which std::uniform_int_distribution does not promise.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    bool chance(unsigned in, unsigned of) { return next() % of < in; }

private:
    std::uint64_t state_;
};

[[noreturn]] void fail(const std::string& path) {
    throw std::runtime_error(path + ": " + std::strerror(errno));
}

void folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail(path);
}

void file(const std::string& path) {
    static const char kContent[] = "not a real pak\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail(path);
    const bool written = ::write(fd, kContent, sizeof kContent - 1) == static_cast<ssize_t>(sizeof kContent - 1);
    if (::close(fd) != 0 || !written) fail(path);
}

void link(const std::string& target, const std::string& path) {
    if (::symlink(target.c_str(), path.c_str()) != 0 && errno != EEXIST) fail(path);
}

std::string numbered(const char* stem, int n, int width) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%0*d", stem, width, n);
    return buffer;
}

// Mostly the usual spelling; now and then one a case-blind file system would
// treat as the same name, as users' installations have.
std::string archiveName(Random& random) {
    static const char* const kOther[] = {"blueprints.pak", "BLUEPRINTS.PAK", "blueprints.PAK", "BluePrints.Pak"};
    if (!random.chance(1, 10)) return "Blueprints.pak";
    return kOther[random.next() % 4];
}

}  // namespace

TreeCounts makeTree(const std::string& gameFolder, const TreeShape& shape) {
    Random random(shape.seed);
    TreeCounts counts;
    const std::string assets = gameFolder + "/Assets";
    folder(gameFolder);
    file(gameFolder + "/RailSim.exe");
    folder(assets);
    file(assets + "/Blueprints.pak");  // directly in Assets: never listed
    ++counts.decoys;

    // Outside the Assets tree, reached only through a link named like an
    // archive: the link is listed, and deleting it must leave this file.
    file(gameFolder + "/Outside.pak");
    ++counts.decoys;

    const int routeWidth = shape.routes > 1000 ? 4 : shape.routes > 100 ? 3 : 2;
    int listedInLinkedProvider = 0;
    for (int p = 0; p < shape.providers; ++p) {
        const int listedBefore = counts.listed;
        // One hidden provider: the walk sees every folder the system lists.
        const std::string provider = assets + "/" + (p == 1 ? "." : "") + numbered("Provider", p, 4);
        folder(provider);
        ++counts.folders;
        if (random.chance(1, 3)) {
            file(provider + "/" + archiveName(random));
            ++counts.archives;
            ++counts.listed;
        }
        if (random.chance(1, 4)) {
            file(provider + "/Textures.pak");
            ++counts.decoys;
        }
        for (int r = 0; r < shape.routes; ++r) {
            const std::string route = provider + "/" + numbered("Route", r, routeWidth);
            folder(route);
            ++counts.folders;
            if (p == 4 && r == 0) {
                // A link to a file counts as the file; one that leads
                // nowhere is no archive.
                link("../../../Outside.pak", route + "/blueprints.Pak");
                ++counts.listed;
                link("../Missing.pak", route + "/BLUEPRINTS.PAK");
                ++counts.decoys;
            } else if (random.chance(1, 2)) {
                const std::string name = archiveName(random);
                file(route + "/" + name);
                ++counts.archives;
                ++counts.listed;
                // Two spellings side by side are two archives.
                if (name == "Blueprints.pak" && random.chance(1, 100)) {
                    file(route + "/blueprints.pak");
                    ++counts.archives;
                    ++counts.listed;
                }
            } else if (random.chance(1, 50)) {
                folder(route + "/Blueprints.pak");  // a folder, not an archive
                ++counts.decoys;
            }
            if (random.chance(1, 4)) {
                file(route + "/Scenery.pak");
                ++counts.decoys;
            }
            if (random.chance(1, 8)) {
                folder(route + "/RailVehicles");
                file(route + "/RailVehicles/Blueprints.pak");  // three levels down: never listed
                ++counts.decoys;
            }
        }
        if (p == 3) listedInLinkedProvider = counts.listed - listedBefore;
    }
    // A provider kept elsewhere and linked in is walked like any other; a
    // link back to Assets is skipped, as it would only repeat the tree.
    if (shape.providers > 3) {
        link("Provider0003", assets + "/LinkedProvider");
        counts.listed += listedInLinkedProvider;
        link(".", assets + "/Provider0000/Back");
        ++counts.decoys;
    }
    return counts;
}

}  // namespace quelmar::bench
