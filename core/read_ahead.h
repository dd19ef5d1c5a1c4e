#pragma once
// Readers that read the asset tree's folders side by side, ahead of the
// walk, so that a disk or a share serves several at once. A reader hands
// the walk each folder's listing as a value (entries, identity, route), or
// nothing for a read that failed; it acts on nothing and hands over no open
// folder. Each folder is read once, by whoever comes to it first: the walk
// reads a folder no reader has begun itself, waits for one a reader is in,
// and reads again one whose read failed, so that the error it tells and
// where it stops are its own.
//
// The readers are one crew for the whole process, at most kMostHelpers
// threads; one stuck in a mount that never answers keeps its place there,
// owns what it uses, and nothing waits for it but a walk at that very
// folder, which a stop ends.

#include <cstddef>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "archive_scan.h"
#include "host.h"

namespace quelmar {

class ReadAhead {
public:
    // Readers open from the walk's own open Assets, never from its path,
    // the level-1 `folders` in the walk's order, at most `readers` at once:
    // two at first, one more each time the walk has to wait for a read;
    // `acting`: the walk will act in the folders that hold an archive. They
    // start nothing once `stop` is asked.
    ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<FolderEntry> folders,
              bool acting, unsigned readers, std::stop_token stop);
    ~ReadAhead();  // nothing more starts for this walk
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // Level-1 folder `index` or, with `at`, that one's level-2 folder `at`,
    // as a reader read it, without a hold on it, by the `path` the walk
    // reached it by. Nothing where no reader had begun it (none will now:
    // it is the walk's) or the read failed. Waits while a reader is in it;
    // a stop ends the wait with WalkStopped. Level-2 folders are the
    // readers' only where the level-1 one was.
    std::optional<Folder> take(std::size_t index, const std::string& path, std::optional<std::size_t> at = std::nullopt);

    static unsigned helpersAlive();  // readers at work in the process, stuck ones included
    static constexpr unsigned kMostHelpers = 16;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace quelmar
