#pragma once

// The owner table of installed files, kept apart so libdpkg's C headers stay
// out of the rest of the code.
//
// libdpkg stays the source of truth: a short-lived child process loads the
// status database, the file lists and the diversions with it, and hands back
// a compact table of every file node (directories stored once, package names
// once). libdpkg's own in-memory table never lives in this process, so its
// size is paid only for the moment of a load.

#include <cstddef>

namespace ferrow {
namespace packagedb {

// dpkg_program_init / dpkg_program_done (program name, file-creation mask).
void programInit(const char *programName);
void programDone();

// Loads the database in a child process and replaces the table with it.
// Returns false when the child failed (the library reported an error, or it
// could not be started); the previous table then stays in use.
bool load();
// Empties the table.
void unload();

// Owner lookup of one absolute path or shell pattern (see ProcessList), with
// the answers libdpkg's own file table gives.
int findOwner(const char *path, char *buffer, std::size_t size);

// Number of entries in the table: every node of libdpkg's file table.
int fileCount();

} // namespace packagedb
} // namespace ferrow
