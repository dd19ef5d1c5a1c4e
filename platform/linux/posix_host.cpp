#include "platform/linux/posix_host.h"

#include <filesystem>
#include <system_error>

#include "core/texts.h"
#include "platform/linux/posix_file_system.h"

namespace quelmar::linux_host {

std::unique_ptr<FileSystem> PosixHost::createFileSystem() { return std::make_unique<PosixFileSystem>(); }

Version PosixHost::version() { return {QUELMAR_VERSION_MAJOR, QUELMAR_VERSION_MINOR, QUELMAR_VERSION_REVISION}; }

std::string PosixHost::programFolder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        throw HostError(error.value(), texts::failure(texts::Operation::ProgramInfo, "/proc/self/exe",
                                                      texts::reasonFor(static_cast<std::errc>(error.value()),
                                                                       texts::Operation::ProgramInfo)));
    return exe.parent_path().string();
}

}  // namespace quelmar::linux_host
