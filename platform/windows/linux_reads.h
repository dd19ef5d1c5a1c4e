#pragma once
// Folder reads under Wine that go to Linux directly. Wine reads a folder's
// entries for a Windows program while holding one lock for the whole
// process: a read that a mount never answers keeps that lock, and from then
// on every folder read in the program waits behind it, the file dialog's on
// the window's thread included. What only looks for where the locate dialog
// should open reads here instead, by Linux's own calls, which hold nothing:
// a read left waiting keeps only the thread that asked.

#include <optional>
#include <string>
#include <vector>

#include "core/host.h"

namespace quelmar::win32 {

// Whether these reads can be made: the program runs under Wine on Linux.
bool LinuxReadsAvailable();

// The entries of the folder at a Windows path, without "." and "..", links
// followed for their kind; nothing when it cannot be read or these reads
// cannot be made. Names that are no UTF-8 are left out: no Windows path
// could lead to them.
std::optional<std::vector<FolderEntry>> LinuxListFolder(const std::string& path);

// The Linux device and inode of the folder a Windows path leads to, links
// followed; nothing when it leads to no folder.
std::optional<FolderId> LinuxFolderId(const std::string& path);

}  // namespace quelmar::win32
