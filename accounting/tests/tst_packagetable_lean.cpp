// The compact owner table against libdpkg itself: a fabricated database
// (DPKG_ADMINDIR) loaded, reloaded and failing to load in the child, then
// every path of every package of this machine's real database looked up in
// the table and in libdpkg's own file table, loaded here the way the daemon
// used to keep it, with the same answers expected for each.

#include "accountingtestsupport.h"
#include "packagedatabase.h"

#define LIBDPKG_VOLATILE_API 1
extern "C" {
#include <dpkg/db-fsys.h>
#include <dpkg/dpkg-db.h>
#include <dpkg/dpkg.h>
#include <dpkg/fsys.h>
#include <dpkg/path.h>
#include <dpkg/varbuf.h>
}

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fnmatch.h>

#include <cstring>

namespace {

// -- The lookup as it ran on libdpkg's own table in this process.

void referenceLoad()
{
    fsys_hash_reset();
    modstatdb_open(msdbrw_readonly);
    struct pkg_hash_iter *iter = pkg_hash_iter_new();
    while (struct pkginfo *pkg = pkg_hash_iter_next_pkg(iter))
        note_must_reread_files_inpackage(pkg);
    pkg_hash_iter_free(iter);
    ensure_allinstfiles_available_quiet();
    ensure_diversions();
}

int referenceOwnerCount(struct fsys_namenode *node, char *buffer, std::size_t size)
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

int referenceFindOwner(const char *path, char *buffer, std::size_t size)
{
    int count = 0;
    if (std::strpbrk(path, "*[?\\")) {
        struct fsys_hash_iter *iter = fsys_hash_iter_new();
        while (struct fsys_namenode *node = fsys_hash_iter_next(iter)) {
            if (fnmatch(path, node->name, 0) == 0) {
                count += referenceOwnerCount(node, buffer, size);
                if (count > 0)
                    break;
            }
        }
        fsys_hash_iter_free(iter);
    } else {
        struct varbuf trimmed;
        varbuf_init(&trimmed, 0);
        varbuf_add_str(&trimmed, path);
        varbuf_end_str(&trimmed);
        varbuf_trunc(&trimmed, path_trim_slash_slashdot(trimmed.buf));
        if (struct fsys_namenode *node = fsys_hash_find_node(trimmed.buf, FHFF_NONE))
            count = referenceOwnerCount(node, buffer, size);
        varbuf_destroy(&trimmed);
    }
    return count > 0 ? 0 : 1;
}

// One answer: the return code and the buffer's text ("" left untouched).
QByteArray answer(int (*find)(const char *, char *, std::size_t), const QByteArray &path, std::size_t size = 256)
{
    char buffer[256];
    std::memset(buffer, 0, sizeof buffer);
    const int rc = find(path.constData(), buffer, size);
    return QByteArray::number(rc) + ':' + QByteArray(buffer);
}

QByteArray table(const QByteArray &path, std::size_t size = 256)
{
    return answer(ferrow::packagedb::findOwner, path, size);
}

QByteArray reference(const QByteArray &path, std::size_t size = 256)
{
    return answer(referenceFindOwner, path, size);
}

QList<accountingtest::FakePackage> fakePackages()
{
    using accountingtest::package;
    accountingtest::FakePackage libm = package(QStringLiteral("libm"), {QStringLiteral("/usr/lib/libm.so")});
    libm.multiArch = QStringLiteral("same");
    return {package(QStringLiteral("foo"), {QStringLiteral("/usr"), QStringLiteral("/usr/lib"),
                                            QStringLiteral("/usr/lib/foo"), QStringLiteral("/usr/lib/foo/foo-bin")}),
            package(QStringLiteral("merged"), {QStringLiteral("/bin"), QStringLiteral("/bin/mtool")}),
            libm};
}

const QStringList fakeDiversions{
    QStringLiteral("/usr/lib/foo/foo-bin"), QStringLiteral("/usr/lib/foo/foo-bin.real"), QStringLiteral("foo"),
    QStringLiteral("/etc/unowned.conf"), QStringLiteral("/etc/unowned.conf.orig"), QStringLiteral(":")};

} // namespace

class TestPackageTableLean : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    // These two run first: libdpkg is not used in this process before the last.
    void fabricatedDatabaseLoadsAndReloadsInAChild();
    void aFailedLoadKeepsThePreviousTable();
    void everyInstalledPathAnswersAsTheLibraryDoes();

private:
    QTemporaryDir adminDir;
};

void TestPackageTableLean::initTestCase()
{
    QVERIFY(adminDir.isValid());
    ferrow::packagedb::programInit("tst_packagetable_lean");
}

void TestPackageTableLean::cleanupTestCase()
{
    ferrow::packagedb::unload();
    QCOMPARE(ferrow::packagedb::fileCount(), 0);
}

void TestPackageTableLean::fabricatedDatabaseLoadsAndReloadsInAChild()
{
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), fakePackages(), fakeDiversions));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
    QVERIFY(ferrow::packagedb::load());
    // Ten listed or diverted paths; libdpkg's own table here stays empty.
    QCOMPARE(ferrow::packagedb::fileCount(), 10);
    QCOMPARE(fsys_hash_entries(), 0);

    QCOMPARE(table("/usr/lib/foo/foo-bin"), QByteArray("0:foo"));
    QCOMPARE(table("/usr/lib/foo/"), QByteArray("0:foo"));
    QCOMPARE(table("/usr/lib/foo/."), QByteArray("0:foo"));
    QCOMPARE(table("//usr/lib/./foo"), QByteArray("1:")); // inner "/./" is not normalised
    QCOMPARE(table("//usr/lib/foo"), QByteArray("0:foo"));
    QCOMPARE(table("./usr/lib/foo"), QByteArray("0:foo"));
    QCOMPARE(table("usr/lib/foo"), QByteArray("0:foo"));
    QCOMPARE(table("/usr/lib/foo/foo-bin.real"), QByteArray("0:"));
    QCOMPARE(table("/etc/unowned.conf"), QByteArray("0:"));
    QCOMPARE(table("/etc/unowned.conf.orig"), QByteArray("0:"));
    QCOMPARE(table("/etc"), QByteArray("1:")); // a parent of a diverted file only
    QCOMPARE(table("/usr/lib/libm.so"), QByteArray("0:libm:amd64"));
    QCOMPARE(table("/usr/lib/libm.so", 5), QByteArray("0:libm"));
    QCOMPARE(table("/usr/lib/libm.so", 0), QByteArray("0:"));
    QCOMPARE(table("/usr/lib/libm.s"), QByteArray("1:"));
    QCOMPARE(table("/usr/lib/libm.so.6"), QByteArray("1:"));
    QCOMPARE(table("/bin/mtool"), QByteArray("0:merged"));
    QCOMPARE(table("/bin"), QByteArray("0:merged"));
    QCOMPARE(table("/"), QByteArray("1:"));
    QCOMPARE(table(""), QByteArray("1:"));
    QCOMPARE(table("/bin/[m]tool"), QByteArray("0:merged"));
    QCOMPARE(table("/usr/lib/foo/foo-b?n"), QByteArray("0:foo"));
    QCOMPARE(table("/etc/*.orig"), QByteArray("0:"));
    QCOMPARE(table("/zz*"), QByteArray("1:"));

    // A newer database: a package gone, one new, the diversions emptied. The
    // child starts from a fresh copy of this process, so it sees the change.
    QList<accountingtest::FakePackage> packages = fakePackages();
    packages.removeFirst();
    packages.append(accountingtest::package(QStringLiteral("newpkg"), {QStringLiteral("/usr/share/newpkg/data")}));
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), packages, {}));
    QFile::remove(adminDir.path() + QStringLiteral("/info/foo.list"));
    QVERIFY(ferrow::packagedb::load());
    QCOMPARE(ferrow::packagedb::fileCount(), 4);
    QCOMPARE(table("/usr/share/newpkg/data"), QByteArray("0:newpkg"));
    QCOMPARE(table("/usr/lib/foo/foo-bin"), QByteArray("1:"));
    QCOMPARE(table("/etc/unowned.conf"), QByteArray("1:"));
    QCOMPARE(table("/bin/mtool"), QByteArray("0:merged"));

    // Another database directory is read as soon as the variable names it.
    QTemporaryDir other;
    QVERIFY(accountingtest::writeFakePackageDatabase(
        other.path(), {accountingtest::package(QStringLiteral("solo"), {QStringLiteral("/srv/solo")})}));
    qputenv("DPKG_ADMINDIR", other.path().toUtf8());
    QVERIFY(ferrow::packagedb::load());
    QCOMPARE(ferrow::packagedb::fileCount(), 1);
    QCOMPARE(table("/srv/solo"), QByteArray("0:solo"));
    QCOMPARE(table("/bin/mtool"), QByteArray("1:"));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
    QCOMPARE(fsys_hash_entries(), 0);
}

void TestPackageTableLean::aFailedLoadKeepsThePreviousTable()
{
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), fakePackages(), fakeDiversions));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
    QVERIFY(ferrow::packagedb::load());
    QCOMPARE(table("/usr/lib/foo/foo-bin"), QByteArray("0:foo"));

    // A status file the library refuses: the child reports the error and
    // fails, and the table loaded before answers on.
    QVERIFY(accountingtest::writeText(adminDir.path() + QStringLiteral("/status"),
                                      "Package: broken\nStatus: nonsense here\n\n"));
    QVERIFY(!ferrow::packagedb::load());
    QCOMPARE(ferrow::packagedb::fileCount(), 10);
    QCOMPARE(table("/usr/lib/foo/foo-bin"), QByteArray("0:foo"));
    QCOMPARE(table("/etc/unowned.conf"), QByteArray("0:"));

    // Mended, it loads again.
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), fakePackages(), {}));
    QVERIFY(ferrow::packagedb::load());
    QCOMPARE(table("/etc/unowned.conf"), QByteArray("1:"));
    QCOMPARE(fsys_hash_entries(), 0);
    qunsetenv("DPKG_ADMINDIR");
}

void TestPackageTableLean::everyInstalledPathAnswersAsTheLibraryDoes()
{
    qunsetenv("DPKG_ADMINDIR");
    QVERIFY(ferrow::packagedb::load());
    referenceLoad();
    QCOMPARE(ferrow::packagedb::fileCount(), fsys_hash_entries());
    QVERIFY(fsys_hash_entries() > 1000);

    QStringList mismatches;
    int compared = 0;
    const auto compare = [&](const QByteArray &path) {
        ++compared;
        const QByteArray expected = reference(path);
        const QByteArray actual = table(path);
        if (actual != expected && mismatches.size() < 20)
            mismatches << QString::fromUtf8(path + " -> " + actual + ", libdpkg " + expected);
    };
    // A path, and the forms the lookup normalises or the attribution rewrites
    // (merged /usr, /var/opt).
    const auto compareForms = [&](const QByteArray &name) {
        compare(name);
        compare(name + '/');
        compare(name + "/.");
        compare('/' + name);
        compare("/usr" + name);
        if (name.startsWith("/opt"))
            compare("/var" + name);
        if (name.startsWith("/usr/"))
            compare(name.mid(4));
    };

    QList<QByteArray> names;
    struct fsys_hash_iter *iter = fsys_hash_iter_new();
    while (struct fsys_namenode *node = fsys_hash_iter_next(iter))
        names << QByteArray(node->name);
    fsys_hash_iter_free(iter);
    for (const QByteArray &name : qAsConst(names))
        compareForms(name);

    // Every file of every installed package, as its list names it.
    int packageFiles = 0;
    struct pkg_hash_iter *packages = pkg_hash_iter_new();
    while (struct pkginfo *pkg = pkg_hash_iter_next_pkg(packages)) {
        for (struct fsys_namenode_list *file = pkg->files; file; file = file->next) {
            compare(QByteArray(file->namenode->name));
            ++packageFiles;
        }
    }
    pkg_hash_iter_free(packages);
    QVERIFY(packageFiles > 1000);

    // Both sides of every diversion.
    QFile diversions(QString::fromUtf8(dpkg_db_get_dir()) + QStringLiteral("/diversions"));
    if (diversions.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = diversions.readAll().split('\n');
        for (int i = 0; i + 1 < lines.size(); i += 3) {
            compareForms(lines.at(i));
            compareForms(lines.at(i + 1));
        }
    }

    // Unregistered paths, odd forms, and truncating buffers.
    for (const char *path : {"", "/", ".", "./", "/.", "//", "/tmp/not-a-package-file", "bin/sleep", "./bin/sleep",
                             "/bin//sleep", "/bin/./sleep", "/usr/bin/../bin/sleep"})
        compare(path);
    for (int i = 0; i < names.size(); i += 997) {
        for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(4)}) {
            if (table(names.at(i), size) != reference(names.at(i), size))
                mismatches << QString::fromUtf8(names.at(i)) + QStringLiteral(" with a buffer of %1").arg(size);
        }
    }

    // Patterns walk both tables in libdpkg's order: the first match decides.
    int patterns = 0;
    for (int i = 0; i < names.size(); i += names.size() / 12 + 1) {
        const QByteArray name = names.at(i);
        const int slash = name.lastIndexOf('/');
        compare(name.left(name.size() - 1) + '?');
        compare(name.left(slash) + "/*");
        compare(name.left(slash) + "/[a-m]*");
        patterns += 3;
    }
    compare("/usr/share/doc/*");
    compare("*");
    compare("/no/such/*");
    compare("/bin/sle\\ep");

    qInfo("%d lookups compared (%d table entries, %d package files, %d patterns)", compared,
          ferrow::packagedb::fileCount(), packageFiles, patterns + 4);
    QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QLatin1Char('\n'))));
}

QTEST_GUILESS_MAIN(TestPackageTableLean)
#include "tst_packagetable_lean.moc"
