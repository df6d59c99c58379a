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
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ferrow {
namespace packagedb {

namespace {

// The table as the child sends it and this process keeps it. Every node of
// libdpkg's file table is one entry: its name split at its last "/" into a
// directory and a base name.
//
// Directories form a tree of path components, numbered breadth first from
// the root "" (0), the children of each in component order, so a directory
// and its name are stored once however many entries and subdirectories it
// has:
//   dirParent[d]     parent of d (0 for the root itself)
//   dirComponent[d]  start of d's last component in componentText
//   childFirst[d]    first child of d (one more at the end: the count)
//   dirFirst[d]      first entry of d (one more at the end: the count)
// Entries are sorted by directory, then base name; base names are stored
// once each in baseText:
//   bases[e]         start of entry e's base name in baseText
//   owners[e]        1 + start of the first owner's name in nameText, 0 for
//                    none; DivertedBit set when the node carries a diversion
//   walkOrder[i]     entry visited i-th by libdpkg's own iteration (patterns)
// Every text ends in a NUL.
struct Table {
    std::vector<std::uint32_t> dirParent;
    std::vector<std::uint32_t> dirComponent;
    std::vector<std::uint32_t> childFirst;
    std::vector<std::uint32_t> dirFirst;
    std::vector<std::uint32_t> bases;
    std::vector<std::uint32_t> owners;
    std::vector<std::uint32_t> walkOrder;
    std::vector<char> componentText;
    std::vector<char> baseText;
    std::vector<char> nameText;

    std::uint32_t entries() const { return std::uint32_t(bases.size()); }
    std::uint32_t dirs() const { return std::uint32_t(dirParent.size()); }
};

constexpr std::uint32_t DivertedBit = 0x80000000u;
constexpr std::uint32_t TableMagic = 0x46505432u; // "FPT2"

// What the child writes before the arrays: the magic, then the sizes.
struct Header {
    std::uint32_t magic;
    std::uint32_t entries;
    std::uint32_t dirs;
    std::uint32_t componentBytes;
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

Piece textAt(const std::vector<char> &text, std::uint32_t offset)
{
    const char *p = text.data() + offset;
    return {p, std::strlen(p)};
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
    std::uint32_t dirId;
};

// Appends text and a NUL; returns where it starts.
std::uint32_t appendText(std::vector<char> &text, Piece piece)
{
    const auto at = std::uint32_t(text.size());
    text.insert(text.end(), piece.data, piece.data + piece.size);
    text.push_back('\0');
    return at;
}

std::size_t depthOf(Piece dir)
{
    return std::size_t(std::count(dir.data, dir.data + dir.size, '/'));
}

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
        n.dirId = 0;
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

    // Every directory of an entry and all its ancestors ("" is the root).
    std::vector<Piece> dirs;
    dirs.reserve(nodes.size());
    for (const Node &n : nodes)
        dirs.push_back(n.dir);
    std::sort(dirs.begin(), dirs.end());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
    const std::size_t leaves = dirs.size();
    for (std::size_t i = 0; i < leaves; ++i) {
        const Piece dir = dirs[i];
        for (const char *p = dir.data + dir.size; p > dir.data;) {
            while (p > dir.data && *--p != '/') {
            }
            dirs.push_back({dir.data, std::size_t(p - dir.data)});
        }
    }
    std::sort(dirs.begin(), dirs.end());
    dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());

    // Numbered breadth first, the children of each directory by component.
    std::unordered_map<std::string_view, std::uint32_t> dirId;
    struct Dir {
        Piece path;
        std::uint32_t parent;
        Piece component;
    };
    std::vector<std::vector<Dir>> levels;
    for (const Piece &dir : dirs) {
        const std::size_t depth = depthOf(dir);
        if (levels.size() <= depth)
            levels.resize(depth + 1);
        levels[depth].push_back({dir, 0, {dir.data, 0}});
    }
    Table out;
    for (std::size_t depth = 0; depth < levels.size(); ++depth) {
        for (Dir &d : levels[depth]) {
            if (depth == 0)
                continue;
            const char *slash = d.path.data + d.path.size;
            while (*--slash != '/') {
            }
            d.parent = dirId.at(std::string_view(d.path.data, std::size_t(slash - d.path.data)));
            d.component = {slash + 1, std::size_t(d.path.data + d.path.size - slash - 1)};
        }
        std::sort(levels[depth].begin(), levels[depth].end(), [](const Dir &a, const Dir &b) {
            return a.parent != b.parent ? a.parent < b.parent : a.component < b.component;
        });
        for (const Dir &d : levels[depth]) {
            dirId.emplace(std::string_view(d.path.data, d.path.size), std::uint32_t(out.dirParent.size()));
            out.dirParent.push_back(d.parent);
            out.dirComponent.push_back(appendText(out.componentText, d.component));
        }
    }
    const auto dirCount = std::uint32_t(out.dirParent.size());
    out.childFirst.assign(dirCount + 1, 0);
    for (std::uint32_t d = 1; d < dirCount; ++d)
        ++out.childFirst[out.dirParent[d]];
    // Children follow their parents' order, the root's starting at 1.
    std::uint32_t next = 1;
    for (std::uint32_t d = 0; d <= dirCount; ++d) {
        const std::uint32_t count = d < dirCount ? out.childFirst[d] : 0;
        out.childFirst[d] = d < dirCount ? next : dirCount;
        next += count;
    }

    for (Node &n : nodes)
        n.dirId = dirId.at(std::string_view(n.dir.data, n.dir.size));
    dirId.clear();
    std::sort(nodes.begin(), nodes.end(), [](const Node &a, const Node &b) {
        return a.dirId != b.dirId ? a.dirId < b.dirId : a.base < b.base;
    });

    // The keys are libdpkg's own node names, alive until the child ends.
    std::unordered_map<std::string_view, std::uint32_t> baseAt;
    out.bases.reserve(nodes.size());
    out.owners.reserve(nodes.size());
    out.walkOrder.resize(nodes.size());
    out.dirFirst.assign(dirCount + 1, std::uint32_t(nodes.size()));
    for (std::size_t e = nodes.size(); e-- > 0;)
        out.dirFirst[nodes[e].dirId] = std::uint32_t(e);
    // A directory without entries starts where the next one does.
    for (std::uint32_t d = dirCount; d-- > 0;)
        out.dirFirst[d] = std::min(out.dirFirst[d], out.dirFirst[d + 1]);
    for (std::size_t e = 0; e < nodes.size(); ++e) {
        const Node &n = nodes[e];
        auto found = baseAt.find(std::string_view(n.base.data, n.base.size));
        if (found == baseAt.end())
            found = baseAt.emplace(std::string_view(n.base.data, n.base.size), appendText(out.baseText, n.base)).first;
        out.bases.push_back(found->second);
        out.owners.push_back(n.owner);
        out.walkOrder[n.walkIndex] = std::uint32_t(e);
    }
    out.nameText.assign(names.begin(), names.end());

    const Header header{TableMagic,
                        std::uint32_t(nodes.size()),
                        dirCount,
                        std::uint32_t(out.componentText.size()),
                        std::uint32_t(out.baseText.size()),
                        std::uint32_t(out.nameText.size())};
    return writeAll(fd, &header, sizeof header) && writeVector(fd, out.dirParent)
           && writeVector(fd, out.dirComponent) && writeVector(fd, out.childFirst) && writeVector(fd, out.dirFirst)
           && writeVector(fd, out.bases) && writeVector(fd, out.owners) && writeVector(fd, out.walkOrder)
           && writeVector(fd, out.componentText) && writeVector(fd, out.baseText) && writeVector(fd, out.nameText)
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

bool offsetsInside(const std::vector<std::uint32_t> &offsets, const std::vector<char> &text)
{
    return std::all_of(offsets.begin(), offsets.end(), [&](std::uint32_t at) { return at < text.size(); });
}

bool ascendingTo(const std::vector<std::uint32_t> &v, std::uint32_t end)
{
    return !v.empty() && std::is_sorted(v.begin(), v.end()) && v.back() == end;
}

// Reads the child's table and checks that every index and offset stays inside
// its array, so a lookup can trust it.
bool receiveTable(int fd, Table &t)
{
    Header h;
    if (!readAll(fd, &h, sizeof h) || h.magic != TableMagic)
        return false;
    std::uint32_t trailer = 0;
    if (!readVector(fd, t.dirParent, h.dirs) || !readVector(fd, t.dirComponent, h.dirs)
        || !readVector(fd, t.childFirst, std::size_t(h.dirs) + 1)
        || !readVector(fd, t.dirFirst, std::size_t(h.dirs) + 1) || !readVector(fd, t.bases, h.entries)
        || !readVector(fd, t.owners, h.entries) || !readVector(fd, t.walkOrder, h.entries)
        || !readVector(fd, t.componentText, h.componentBytes) || !readVector(fd, t.baseText, h.baseBytes)
        || !readVector(fd, t.nameText, h.nameBytes) || !readAll(fd, &trailer, sizeof trailer)
        || trailer != TableMagic)
        return false;
    char extra;
    if (::read(fd, &extra, 1) != 0)
        return false;
    for (const std::vector<char> *text : {&t.componentText, &t.baseText, &t.nameText}) {
        if (!text->empty() && text->back() != '\0')
            return false;
    }
    if (!ascendingTo(t.childFirst, h.dirs) || !ascendingTo(t.dirFirst, h.entries)
        || !offsetsInside(t.dirComponent, t.componentText) || !offsetsInside(t.bases, t.baseText))
        return false;
    if ((h.dirs == 0 && h.entries != 0) || (h.dirs > 0 && (t.childFirst.front() != 1 || t.dirFirst.front() != 0)))
        return false;
    for (std::uint32_t d = 1; d < h.dirs; ++d) {
        if (t.dirParent[d] >= d)
            return false;
    }
    for (std::uint32_t owner : t.owners) {
        if ((owner & ~DivertedBit) > h.nameBytes)
            return false;
    }
    return std::all_of(t.walkOrder.begin(), t.walkOrder.end(), [&](std::uint32_t e) { return e < h.entries; });
}

// The directory whose path is dir ("" or "/a/b"), or -1: one child lookup per
// component from the root.
long findDir(const Table &t, Piece dir)
{
    if (t.dirs() == 0)
        return -1;
    std::uint32_t d = 0;
    const char *end = dir.data + dir.size;
    // The path starts with "/" unless it is the root's "".
    for (const char *p = dir.data; p < end;) {
        const char *from = p + 1;
        const char *to = static_cast<const char *>(std::memchr(from, '/', std::size_t(end - from)));
        if (!to)
            to = end;
        const Piece component{from, std::size_t(to - from)};
        std::uint32_t lo = t.childFirst[d], hi = t.childFirst[d + 1];
        while (lo < hi) {
            const std::uint32_t mid = lo + (hi - lo) / 2;
            if (textAt(t.componentText, t.dirComponent[mid]) < component)
                lo = mid + 1;
            else
                hi = mid;
        }
        if (lo == t.childFirst[d + 1] || !(textAt(t.componentText, t.dirComponent[lo]) == component))
            return -1;
        d = lo;
        p = to;
    }
    return long(d);
}

// The entry whose name is dir + "/" + base, or -1.
long findEntry(const Table &t, Piece dir, Piece base)
{
    const long d = findDir(t, dir);
    if (d < 0)
        return -1;
    std::uint32_t first = t.dirFirst[d], last = t.dirFirst[d + 1];
    while (first < last) {
        const std::uint32_t mid = first + (last - first) / 2;
        if (textAt(t.baseText, t.bases[mid]) < base)
            first = mid + 1;
        else
            last = mid;
    }
    if (first == t.dirFirst[d + 1] || !(textAt(t.baseText, t.bases[first]) == base))
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

// The full name of an entry, as libdpkg's node carries it: "/" and the
// components of its directory, then "/" and its base name.
void entryName(const Table &t, std::uint32_t e, std::string &name, std::vector<std::uint32_t> &chain)
{
    chain.clear();
    auto d = std::uint32_t(std::upper_bound(t.dirFirst.begin(), t.dirFirst.end(), e) - t.dirFirst.begin() - 1);
    for (; d != 0; d = t.dirParent[d])
        chain.push_back(d);
    name.clear();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const Piece component = textAt(t.componentText, t.dirComponent[*it]);
        name += '/';
        name.append(component.data, component.size);
    }
    const Piece base = textAt(t.baseText, t.bases[e]);
    name += '/';
    name.append(base.data, base.size);
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
        std::vector<std::uint32_t> chain;
        for (std::uint32_t e : table.walkOrder) {
            entryName(table, e, name, chain);
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
