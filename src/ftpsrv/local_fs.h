#pragma once
// The local file system as the server sees it: attributes in the server's terms, entry
// searches with wildcards, confinement of resolved paths, tree removal. Local paths use
// "/" as their separator.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "ftpsrv/ftpsrv.h"

namespace cvftpsrv {

// The attributes of a file: directory, device (anything neither a file nor a directory),
// read-only (no owner write permission), hidden (a name beginning with "."), archive for
// files, normal when none applies.
uint32_t AttributesOf(const std::string& name, const struct stat& st);
// False when the path does not exist; symbolic links are followed, a dangling one is
// described itself.
bool GetAttributes(const std::string& path, uint32_t* attributes, struct stat* st = nullptr);
inline bool IsDirectoryAttr(uint32_t a) { return (a & ftpAttributeDirectory) != 0; }
inline bool IsDeviceAttr(uint32_t a) { return (a & ftpAttributeDevice) != 0; }

// The entries a path names: with contents a directory's entries ("." and ".." included),
// else the path's own entry; or the matches of a wildcard pattern ("*" and "?") in its
// last part. False when the search cannot start or finds nothing.
bool FindEntries(const std::string& path, std::vector<FtpFindEntry>& out, size_t limit, bool contents);

// True when the path, with every symbolic link of its existing part resolved, stays at
// or below the root (itself resolved).
bool InsideRoot(const std::string& root, const std::string& path);

// True when the path itself is a symbolic link.
bool IsLink(const std::string& path);

// Removes a directory with everything below it, never following links.
bool RemoveTree(const std::string& path);

std::string LastComponent(const std::string& path);

}  // namespace cvftpsrv
