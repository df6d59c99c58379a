#include "packagedatabase.h"

#define LIBDPKG_VOLATILE_API 1
extern "C" {
#include <dpkg/db-fsys.h>
#include <dpkg/dpkg-db.h>
#include <dpkg/dpkg.h>
#include <dpkg/ehandle.h>
#include <dpkg/fsys.h>
#include <dpkg/path.h>
#include <dpkg/program.h>
}

#include <fcntl.h>
#include <fnmatch.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ferrow {
namespace packagedb {

namespace {

// The table as the child sends it and this process keeps it. Every node of
// libdpkg's file table is one entry, its name split at its last "/" into a
// directory (stored once for all its entries) and a base name. Entries are
// sorted by directory, then base name; directories are numbered in that order.
//
//   dirOffsets[d]  start of directory d in dirText (one more offset at the end)
//   dirFirst[d]    first entry of directory d (one more at the end)
//   baseOffsets[e] start of entry e's base name in baseText (one more at the end)
//   owners[e]      1 + start of the first owner's name in nameText, 0 for
//                  none; DivertedBit set when the node carries a diversion
//   walkOrder[i]   entry visited i-th by libdpkg's own iteration (patterns)
//
// Every text ends in a NUL, so a string's length is the next offset minus one.
struct Table {
    std::vector<std::uint32_t> dirOffsets;
    std::vector<std::uint32_t> dirFirst;
    std::vector<std::uint32_t> baseOffsets;
    std::vector<std::uint32_t> owners;
    std::vector<std::uint32_t> walkOrder;
    std::vector<char> dirText;
    std::vector<char> baseText;
    std::vector<char> nameText;

    std::uint32_t entries() const { return baseOffsets.empty() ? 0 : std::uint32_t(baseOffsets.size() - 1); }
    std::uint32_t dirs() const { return dirOffsets.empty() ? 0 : std::uint32_t(dirOffsets.size() - 1); }
};

constexpr std::uint32_t DivertedBit = 0x80000000u;
constexpr std::uint32_t TableMagic = 0x46505431u; // "FPT1"

// What the child writes before the arrays: the magic, then the sizes.
struct Header {
    std::uint32_t magic;
    std::uint32_t entries;
    std::uint32_t dirs;
    std::uint32_t dirBytes;
    std::uint32_t baseBytes;
    std::uint32_t nameBytes;
};

Table table;

struct Piece {
    const char *data;
    std::size_t size;
    bool operator<(const Piece &other) const
    {
        const int c = std::memcmp(data, other.data, std::min(size, other.size));
        return c != 0 ? c < 0 : size < other.size;
    }
    bool operator==(const Piece &other) const
    {
        return size == other.size && std::memcmp(data, other.data, size) == 0;
    }
};

Piece dirText(const Table &t, std::uint32_t d)
{
    return {t.dirText.data() + t.dirOffsets[d], t.dirOffsets[d + 1] - t.dirOffsets[d] - 1};
}

Piece baseText(const Table &t, std::uint32_t e)
{
    return {t.baseText.data() + t.baseOffsets[e], t.baseOffsets[e + 1] - t.baseOffsets[e] - 1};
}

// ---------------------------------------------------------------- the child
//
// It runs in a fork of this process: only libdpkg, the C++ library and
// write(2) on the pipe; nothing of Qt, and _exit at the end.

// The file lists are loaded only for packages marked as needing it, so mark
// them all (a fresh status database creates new package records).
void markAllPackagesForReading()
{
    struct pkg_hash_iter *iter = pkg_hash_iter_new();
    while (struct pkginfo *pkg = pkg_hash_iter_next_pkg(iter))
        note_must_reread_files_inpackage(pkg);
    pkg_hash_iter_free(iter);
}

jmp_buf loadFailed;

// The load as this daemon has always done it. An error raised inside the
// library jumps back here instead of ending the process.
bool loadWithLibrary()
{
    if (setjmp(loadFailed) != 0) {
        // Prints the library's message on the standard error stream.
        pop_error_context(ehflag_bombout);
        return false;
    }
    push_error_context_jump(&loadFailed, print_fatal_error, "loading the package database");
    fsys_hash_reset();
    modstatdb_open(msdbrw_readonly);
    markAllPackagesForReading();
    ensure_allinstfiles_available_quiet();
    ensure_diversions();
    return true;
}

bool writeAll(int fd, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

template <typename T>
bool writeVector(int fd, const std::vector<T> &v)
{
    return writeAll(fd, v.data(), v.size() * sizeof(T));
}

struct Node {
    Piece dir;
    Piece base;
    std::uint32_t owner;
    std::uint32_t walkIndex;
};

// Builds the table from libdpkg's file table and writes it to fd.
bool sendTable(int fd)
{
    std::vector<Node> nodes;
    nodes.reserve(std::size_t(fsys_hash_entries()));
    std::string names;
    std::unordered_map<const struct pkginfo *, std::uint32_t> nameOf;

    struct fsys_hash_iter *iter = fsys_hash_iter_new();
    while (struct fsys_namenode *node = fsys_hash_iter_next(iter)) {
        // Every node's name starts with "/": split at its last one.
        const char *name = node->name;
        const char *slash = std::strrchr(name, '/');
        if (!slash)
            return false;
        Node n;
        n.dir = {name, std::size_t(slash - name)};
        n.base = {slash + 1, std::strlen(slash + 1)};
        n.owner = 0;
        n.walkIndex = std::uint32_t(nodes.size());
        struct fsys_node_pkgs_iter *owners = fsys_node_pkgs_iter_new(node);
        if (struct pkginfo *pkg = fsys_node_pkgs_iter_next(owners)) {
            auto found = nameOf.find(pkg);
            if (found == nameOf.end()) {
                found = nameOf.emplace(pkg, std::uint32_t(names.size() + 1)).first;
                names += pkg_name(pkg, pnaw_nonambig);
                names += '\0';
            }
            n.owner = found->second;
        }
        fsys_node_pkgs_iter_free(owners);
        if (node->divert)
            n.owner |= DivertedBit;
        nodes.push_back(n);
    }
    fsys_hash_iter_free(iter);

    std::sort(nodes.begin(), nodes.end(), [](const Node &a, const Node &b) {
        if (!(a.dir == b.dir))
            return a.dir < b.dir;
        return a.base < b.base;
    });

    Table out;
    out.baseOffsets.reserve(nodes.size() + 1);
    out.owners.reserve(nodes.size());
    out.walkOrder.resize(nodes.size());
    for (std::size_t e = 0; e < nodes.size(); ++e) {
        const Node &n = nodes[e];
        if (e == 0 || !(n.dir == nodes[e - 1].dir)) {
            out.dirOffsets.push_back(std::uint32_t(out.dirText.size()));
            out.dirFirst.push_back(std::uint32_t(e));
            out.dirText.insert(out.dirText.end(), n.dir.data, n.dir.data + n.dir.size);
            out.dirText.push_back('\0');
        }
        out.baseOffsets.push_back(std::uint32_t(out.baseText.size()));
        out.baseText.insert(out.baseText.end(), n.base.data, n.base.data + n.base.size);
        out.baseText.push_back('\0');
        out.owners.push_back(n.owner);
        out.walkOrder[n.walkIndex] = std::uint32_t(e);
    }
    out.dirOffsets.push_back(std::uint32_t(out.dirText.size()));
    out.dirFirst.push_back(std::uint32_t(nodes.size()));
    out.baseOffsets.push_back(std::uint32_t(out.baseText.size()));
    out.nameText.assign(names.begin(), names.end());

    const Header header{TableMagic,
                        std::uint32_t(nodes.size()),
                        std::uint32_t(out.dirFirst.size() - 1),
                        std::uint32_t(out.dirText.size()),
                        std::uint32_t(out.baseText.size()),
                        std::uint32_t(out.nameText.size())};
    return writeAll(fd, &header, sizeof header) && writeVector(fd, out.dirOffsets) && writeVector(fd, out.dirFirst)
           && writeVector(fd, out.dirText) && writeVector(fd, out.baseOffsets) && writeVector(fd, out.owners)
           && writeVector(fd, out.baseText) && writeVector(fd, out.nameText) && writeVector(fd, out.walkOrder)
           && writeAll(fd, &TableMagic, sizeof TableMagic);
}

[[noreturn]] void runChild(int fd)
{
    // A stop signal meant for the daemon's group ends the child plainly
    // rather than running the daemon's handler here.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    if (!loadWithLibrary())
        ::_exit(2);
    ::_exit(sendTable(fd) ? 0 : 3);
}

// ------------------------------------------------------------ this process

bool readAll(int fd, void *data, std::size_t size)
{
    char *p = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= std::size_t(n);
    }
    return true;
}

template <typename T>
bool readVector(int fd, std::vector<T> &v, std::size_t count)
{
    v.resize(count);
    return readAll(fd, v.data(), count * sizeof(T));
}

// Reads the child's table and checks that its offsets stay inside the texts,
// so a lookup can trust it.
bool receiveTable(int fd, Table &t)
{
    Header h;
    if (!readAll(fd, &h, sizeof h) || h.magic != TableMagic)
        return false;
    std::uint32_t trailer = 0;
    if (!readVector(fd, t.dirOffsets, std::size_t(h.dirs) + 1) || !readVector(fd, t.dirFirst, std::size_t(h.dirs) + 1)
        || !readVector(fd, t.dirText, h.dirBytes) || !readVector(fd, t.baseOffsets, std::size_t(h.entries) + 1)
        || !readVector(fd, t.owners, h.entries) || !readVector(fd, t.baseText, h.baseBytes)
        || !readVector(fd, t.nameText, h.nameBytes) || !readVector(fd, t.walkOrder, h.entries)
        || !readAll(fd, &trailer, sizeof trailer) || trailer != TableMagic)
        return false;
    char extra;
    if (::read(fd, &extra, 1) != 0)
        return false;
    const auto ascending = [](const std::vector<std::uint32_t> &v, std::uint32_t end) {
        return std::is_sorted(v.begin(), v.end()) && !v.empty() && v.back() == end;
    };
    if (!ascending(t.dirOffsets, h.dirBytes) || !ascending(t.dirFirst, h.entries)
        || !ascending(t.baseOffsets, h.baseBytes) || (h.dirs > 0 && t.dirFirst.front() != 0))
        return false;
    for (std::uint32_t owner : t.owners) {
        owner &= ~DivertedBit;
        if (owner > h.nameBytes)
            return false;
    }
    if ((h.nameBytes > 0 && t.nameText.back() != '\0') || (h.baseBytes > 0 && t.baseText.back() != '\0')
        || (h.dirBytes > 0 && t.dirText.back() != '\0'))
        return false;
    for (std::uint32_t e : t.walkOrder) {
        if (e >= h.entries)
            return false;
    }
    return true;
}

// The entry whose name is dir + "/" + base, or -1.
long findEntry(const Table &t, Piece dir, Piece base)
{
    std::uint32_t lo = 0, hi = t.dirs();
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        if (dirText(t, mid) < dir)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == t.dirs() || !(dirText(t, lo) == dir))
        return -1;
    std::uint32_t first = t.dirFirst[lo], last = t.dirFirst[lo + 1];
    while (first < last) {
        const std::uint32_t mid = first + (last - first) / 2;
        if (baseText(t, mid) < base)
            first = mid + 1;
        else
            last = mid;
    }
    if (first == t.dirFirst[lo + 1] || !(baseText(t, first) == base))
        return -1;
    return long(first);
}

// Owner count of one entry: 1 for a first owning package (whose name goes to
// buffer), plus 1 when the node carries a diversion.
int ownerCount(const Table &t, std::uint32_t e, char *buffer, std::size_t size)
{
    int count = 0;
    const std::uint32_t owner = t.owners[e] & ~DivertedBit;
    if (owner != 0) {
        std::snprintf(buffer, size, "%s", t.nameText.data() + owner - 1);
        count = 1;
    }
    if (t.owners[e] & DivertedBit)
        ++count;
    return count;
}

// The full name of an entry, as libdpkg's node carries it.
void entryName(const Table &t, std::uint32_t e, std::string &name)
{
    const auto dir = std::upper_bound(t.dirFirst.begin(), t.dirFirst.end(), e) - t.dirFirst.begin() - 1;
    const Piece d = dirText(t, std::uint32_t(dir));
    const Piece b = baseText(t, e);
    name.assign(d.data, d.size);
    name += '/';
    name.append(b.data, b.size);
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

bool load()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("package database: pipe");
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::perror("package database: fork");
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (child == 0) {
        ::close(fds[0]);
        runChild(fds[1]);
    }
    ::close(fds[1]);

    // The new table is complete before it replaces the old one, so a failed
    // load keeps the previous answers.
    Table fresh;
    const bool received = receiveTable(fds[0], fresh);
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!received || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "package database: the loader failed (status %d); the previous table stays\n", status);
        return false;
    }
    table = std::move(fresh);
    return true;
}

void unload()
{
    table = Table();
}

int findOwner(const char *path, char *buffer, std::size_t size)
{
    int count = 0;
    if (std::strpbrk(path, "*[?\\")) {
        std::string name;
        for (std::uint32_t e : table.walkOrder) {
            entryName(table, e, name);
            if (fnmatch(path, name.c_str(), 0) == 0) {
                count += ownerCount(table, e, buffer, size);
                if (count > 0)
                    break;
            }
        }
    } else {
        // The library's own normalisation: trailing "/" and "/." go, then
        // leading "/" and "./" pairs, and the node's name is "/" + the rest.
        std::string trimmed(path);
        trimmed.resize(path_trim_slash_slashdot(&trimmed[0]));
        const char *rest = path_skip_slash_dotslash(trimmed.c_str());
        std::string key;
        key.reserve(std::strlen(rest) + 1);
        key += '/';
        key += rest;
        const std::size_t slash = key.rfind('/');
        const long e = findEntry(table, {key.data(), slash}, {key.data() + slash + 1, key.size() - slash - 1});
        if (e >= 0)
            count = ownerCount(table, std::uint32_t(e), buffer, size);
    }
    return count > 0 ? 0 : 1;
}

int fileCount()
{
    return int(table.entries());
}

} // namespace packagedb
} // namespace ferrow
