#include "platform/windows/win32_error.h"

#include <optional>
#include <system_error>

#include <winternl.h>

#include "core/host.h"
#include "platform/windows/win32_text.h"

namespace quelmar::win32 {

namespace {

// The portable condition a Windows error stands for, where the program has
// a sentence for it; the rest keep the system's own text, which says more
// than a generic one would (a network path not found, a device not ready).
std::optional<std::errc> conditionOf(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return std::errc::permission_denied;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return std::errc::no_such_file_or_directory;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return std::errc::device_or_resource_busy;
        case ERROR_WRITE_PROTECT:
            return std::errc::read_only_file_system;
        case ERROR_FILENAME_EXCED_RANGE:
            return std::errc::filename_too_long;
        case ERROR_DIRECTORY:
            return std::errc::not_a_directory;
        case ERROR_CANT_RESOLVE_FILENAME:
            return std::errc::too_many_symbolic_link_levels;
        case ERROR_CRC:
        case ERROR_SEEK:
        case ERROR_SECTOR_NOT_FOUND:
        case ERROR_WRITE_FAULT:
        case ERROR_READ_FAULT:
        case ERROR_IO_DEVICE:
        case ERROR_FILE_CORRUPT:
        case ERROR_DISK_CORRUPT:
            return std::errc::io_error;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return std::errc::no_space_on_device;
        case ERROR_TOO_MANY_OPEN_FILES:
            return std::errc::too_many_files_open;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return std::errc::not_enough_memory;
        default:
            return std::nullopt;
    }
}

}  // namespace

std::string reasonFor(DWORD error, texts::Operation operation) {
    if (const auto condition = conditionOf(error)) return texts::reasonFor(*condition, operation);
    return systemReason(error);
}

std::string reasonForStatus(LONG status, texts::Operation operation) {
    switch (static_cast<ULONG>(status)) {
        // "Access denied" to Windows programs: a file still mapped into
        // memory by another program, or an image it runs. (A read-only
        // file gets the same answer; the file system checks for that first.)
        case 0xC0000121UL:  // STATUS_CANNOT_DELETE
            return texts::reasonFor(std::errc::device_or_resource_busy, operation);
        // Also "access denied": another program deleted it and still holds it.
        case 0xC0000056UL:  // STATUS_DELETE_PENDING
        case 0xC0000123UL:  // STATUS_FILE_DELETED
            return texts::reasonFor(std::errc::no_such_file_or_directory, operation);
        // And a folder where a file was asked for.
        case 0xC00000BAUL:  // STATUS_FILE_IS_A_DIRECTORY
            return texts::reasonFor(std::errc::is_a_directory, operation);
        default:
            return reasonFor(RtlNtStatusToDosError(status), operation);
    }
}

std::string systemReason(DWORD error) { return texts::systemErrorReason(systemMessage(error), static_cast<long>(error)); }

void fail(DWORD error, texts::Operation operation, const std::string& path) {
    throw HostError(static_cast<long>(error), texts::failure(operation, path, reasonFor(error, operation)));
}

}  // namespace quelmar::win32
