#include "packagedatabase.h"

#define LIBDPKG_VOLATILE_API 1
extern "C" {
#include <dpkg/db-fsys.h>
#include <dpkg/dpkg-db.h>
#include <dpkg/dpkg.h>
#include <dpkg/fsys.h>
#include <dpkg/path.h>
#include <dpkg/program.h>
#include <dpkg/varbuf.h>
}

#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ferrow {
namespace packagedb {

namespace {

// Whether libdpkg's own diversion loader has run in this process. Its private
// list of diversions points into the file table; once that table has been
// freed by an unload, the loader must not run again (it would either keep the
// stale list and report nothing, or walk the freed nodes when the file
// changed), so later loads attach the diversions themselves.
bool libraryDiversionsUsed = false;

// The file lists are loaded only for packages marked as needing it, and a
// process-wide flag says "all done" from the first load on. A fresh load of
// the status database creates new package records, so mark them all.
void markAllPackagesForReading()
{
    struct pkg_hash_iter *iter = pkg_hash_iter_new();
    while (struct pkginfo *pkg = pkg_hash_iter_next_pkg(iter))
        note_must_reread_files_inpackage(pkg);
    pkg_hash_iter_free(iter);
}

bool readDiversionLine(FILE *file, char *line, int size)
{
    if (!std::fgets(line, size, file))
        return false;
    const std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        line[length - 1] = '\0';
    return true;
}

// The diversions file holds triples of lines: the diverted path, the path it
// is diverted to, and the package doing it (":" for the administrator). Links
// both nodes as libdpkg's loader does; conflicting entries are skipped.
void attachDiversions()
{
    char *path = dpkg_db_get_path("diversions");
    FILE *file = std::fopen(path, "r");
    std::free(path);
    if (!file)
        return;

    char from[1024], to[1024], owner[1024];
    while (readDiversionLine(file, from, sizeof from) && readDiversionLine(file, to, sizeof to)
           && readDiversionLine(file, owner, sizeof owner)) {
        struct fsys_namenode *contested = fsys_hash_find_node(from, fsys_hash_find_flags(0));
        struct fsys_namenode *redirected = fsys_hash_find_node(to, fsys_hash_find_flags(0));
        if (contested->divert || redirected->divert)
            continue;
        struct pkgset *set = std::strcmp(owner, ":") != 0 ? pkg_hash_find_set(owner) : nullptr;

        auto *contest = static_cast<struct fsys_diversion *>(nfmalloc(sizeof(struct fsys_diversion)));
        auto *altname = static_cast<struct fsys_diversion *>(nfmalloc(sizeof(struct fsys_diversion)));
        contest->useinstead = redirected;
        contest->camefrom = nullptr;
        contest->pkgset = set;
        contest->next = nullptr;
        altname->useinstead = nullptr;
        altname->camefrom = contested;
        altname->pkgset = set;
        altname->next = nullptr;
        contested->divert = contest;
        redirected->divert = altname;
    }
    std::fclose(file);
}

// Owner count of one node: 1 for a first owning package (whose name goes to
// buffer), plus 1 when the node carries a diversion.
int ownerCount(struct fsys_namenode *node, char *buffer, std::size_t size)
{
    int count = 0;
    struct fsys_node_pkgs_iter *iter = fsys_node_pkgs_iter_new(node);
    if (struct pkginfo *pkg = fsys_node_pkgs_iter_next(iter)) {
        std::snprintf(buffer, size, "%s", pkg_name(pkg, pnaw_nonambig));
        count = 1;
    }
    fsys_node_pkgs_iter_free(iter);
    if (node->divert)
        ++count;
    return count;
}

} // namespace

void programInit(const char *programName)
{
    dpkg_program_init(programName);
}

void programDone()
{
    dpkg_program_done();
}

void load()
{
    fsys_hash_reset();
    modstatdb_open(msdbrw_readonly);
    markAllPackagesForReading();
    ensure_allinstfiles_available_quiet();
    if (!libraryDiversionsUsed) {
        ensure_diversions();
        libraryDiversionsUsed = true;
    } else {
        attachDiversions();
    }
}

void unload()
{
    // Shutting the status database down frees every package record and every
    // file node with it, so the file table is emptied rather than walked.
    modstatdb_shutdown();
    fsys_hash_reset();
}

int findOwner(const char *path, char *buffer, std::size_t size)
{
    int count = 0;
    if (std::strpbrk(path, "*[?\\")) {
        struct fsys_hash_iter *iter = fsys_hash_iter_new();
        while (struct fsys_namenode *node = fsys_hash_iter_next(iter)) {
            if (fnmatch(path, node->name, 0) == 0) {
                count += ownerCount(node, buffer, size);
                if (count > 0)
                    break;
            }
        }
        fsys_hash_iter_free(iter);
    } else {
        struct varbuf trimmed;
        varbuf_add_str(&trimmed, path);
        varbuf_end_str(&trimmed);
        varbuf_trunc(&trimmed, path_trim_slash_slashdot(trimmed.buf));
        // FHFF_NONE looks up without creating a node, so nothing in the
        // library's table refers to this temporary buffer afterwards.
        if (struct fsys_namenode *node = fsys_hash_find_node(trimmed.buf, FHFF_NONE))
            count = ownerCount(node, buffer, size);
    }
    return count > 0 ? 0 : 1;
}

int fileCount()
{
    return fsys_hash_entries();
}

} // namespace packagedb
} // namespace ferrow
