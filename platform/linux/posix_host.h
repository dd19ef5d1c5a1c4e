#pragma once
// The host services that need nothing but POSIX: the file system, the
// program's identity. The window's host adds Qt's to these; the command
// line runs on these alone, with no window system loaded.

#include <memory>
#include <string>

#include "core/host.h"

namespace quelmar::linux_host {

class PosixHost : public Host {
public:
    char separator() const override { return '/'; }
    bool namesIgnoreCase() const override { return false; }
    std::unique_ptr<FileSystem> createFileSystem() override;
    Version version() override;
    std::string programFolder() override;
};

}  // namespace quelmar::linux_host
