#pragma once

// Thin layer over libdpkg, kept apart so its C headers stay out of the rest of
// the code. The library state is process-wide.

#include <cstddef>

namespace ferrow {
namespace packagedb {

// dpkg_program_init / dpkg_program_done.
void programInit(const char *programName);
void programDone();

// Loads the read-only status database, the file lists of every installed
// package and the diversions. Safe to call again after unload().
void load();
// Releases the status database and empties the file table.
void unload();

// Owner lookup of one absolute path or shell pattern (see ProcessList).
int findOwner(const char *path, char *buffer, std::size_t size);

// Number of entries in the file table.
int fileCount();

} // namespace packagedb
} // namespace ferrow
