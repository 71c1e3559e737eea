// The install unit on real directories: the transaction, the lock, the clean-up of what
// earlier runs left, the staging tree's removal, and a sweep of single failures injected
// into every system call the file-system layer makes.
#include "faultops.h"
#include "install_p.h"
#include "treeutil.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <cerrno>
#include <filesystem>
#include <mutex>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <sys/fsuid.h>
#include <sys/xattr.h>
#endif

using install::sys::Op;

namespace {

// The failures a test asks for: the nth call of an operation fails with `error`, and with
// `persistent` every call after it too.
struct Fault
{
    Op op;
    int nth;
    int error;
    bool persistent;
};

struct FaultPlan
{
    std::mutex lock;
    std::array<int, size_t(Op::Count)> calls {};
    std::vector<Fault> faults;

    void reset(const std::vector<Fault> &planned = {})
    {
        const std::lock_guard<std::mutex> guard(lock);
        calls.fill(0);
        faults = planned;
    }
    int count(Op op)
    {
        const std::lock_guard<std::mutex> guard(lock);
        return calls[size_t(op)];
    }
} plan;

// One attempt as the updater makes it, its old files freed at once.
bool updateOnce(const QString &staging, const QString &root)
{
    install::Places places;
    places.root = root;
    places.staging = staging;
    return install::Attempt(places).run();
}

bool isOwnEntry(const QString &line)
{
    const QString path = line.left(line.indexOf(QRegularExpression(QStringLiteral("=|->|/$"))));
    const QStringList parts = path.split(QLatin1Char('/'));
    return std::any_of(parts.begin(), parts.end(), [](const QString &part) { return install::isOwnName(part); });
}

// Enough files in three directories that every parallel step runs on several threads.
QStringList manyFiles(const char *content)
{
    QStringList entries;
    for (int i = 0; i < 1500; ++i)
        entries << QStringLiteral("d%1/f%2=%3").arg(i % 3).arg(i).arg(QLatin1String(content));
    return entries;
}

enum class Outcome { Old, New, Mixed, Lost };

// Compares an installation with the old and the new release entry by entry; names of the
// updater's own are taken out into `own`.
Outcome classify(const QStringList &now, const QStringList &old, const QStringList &fresh, QStringList *own)
{
    const auto byPath = [](const QStringList &lines) {
        QMap<QString, QString> map;
        for (const QString &line : lines)
            map.insert(line.left(line.indexOf(QRegularExpression(QStringLiteral("=|->|/$")))), line);
        return map;
    };
    QStringList visible;
    for (const QString &line : now)
        (isOwnEntry(line) ? *own : visible) << line;
    const QMap<QString, QString> current = byPath(visible), before = byPath(old), after = byPath(fresh);
    bool allOld = true, allNew = true;
    QStringList paths = before.keys() + after.keys() + current.keys();
    paths.removeDuplicates();
    for (const QString &path : paths) {
        const QString line = current.value(path);
        const bool isOld = line == before.value(path);
        const bool isNew = line == after.value(path);
        if (!isOld && !isNew)
            return Outcome::Lost;
        allOld = allOld && isOld;
        allNew = allNew && isNew;
    }
    return allNew ? Outcome::New : allOld ? Outcome::Old : Outcome::Mixed;
}

#ifndef Q_OS_WIN
// A file named by raw bytes, which need not be UTF-8.
bool writeBytesNamed(const QByteArray &path, const QByteArray &data)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written = fd >= 0 && ::write(fd, data.constData(), size_t(data.size())) == data.size();
    return ::close(fd) == 0 && written;
}

QByteArray readBytesNamed(const QByteArray &path)
{
    QByteArray data(64, 0);
    const int fd = ::open(path.constData(), O_RDONLY);
    const ssize_t n = fd >= 0 ? ::read(fd, data.data(), size_t(data.size())) : -1;
    if (fd >= 0)
        ::close(fd);
    return n < 0 ? QByteArray("<missing>") : data.left(int(n));
}
#endif

} // namespace

bool install::sys::injectFault(Op op)
{
    const std::lock_guard<std::mutex> guard(plan.lock);
    const int n = ++plan.calls[size_t(op)];
    for (const Fault &fault : plan.faults) {
        if (fault.op == op && (n == fault.nth || (fault.persistent && n > fault.nth))) {
            setSystemError(fault.error);
            return true;
        }
    }
    return false;
}

Q_DECLARE_METATYPE(Outcome)

class TestInstall : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void copyAllFiles_data();
    void copyAllFiles();
    void copyNeedsBothDirectories();
    void copyKeepsPermissions();
    void fileWithAnotherNameIsCopied();
    void copyRemovesLeftovers();
    void stagedNameThatStaysIsNotShared();
    void failedCommitIsUndone();
    void failedCommitKeepsWindowsNamesAndAttributes_data();
    void failedCommitKeepsWindowsNamesAndAttributes();
    void copyLinkLoopEnds();

    void faultSweep();
    void undoIsExactPerStep();
    void undoStopsEveryThread();
    void threadsThatCannotStart();
    void linkedDirectoryIsSyncedWhereItLies();
    void copiesKeepWhatLinksKeep();
    void copyWithoutTheOwnerDropsSetIdBits();
    void namesAreBytes();
    void ownNameOfTheWrongKind_data();
    void ownNameOfTheWrongKind();
    void secondLockIsRefused();
    void leftoversGoAtTheNextStart();

    void removeAllFiles_data();
    void removeAllFiles();
    void removeNeverLeavesTheTree();

private:
    // Where staged trees are laid out: beside the installation, where files are linked,
    // and on another file system where there is one, where they are copied.
    static QString otherFileSystem()
    {
        const QString other = QStringLiteral("/dev/shm");
        if (QFileInfo(other).isDir() && QFileInfo(other).isWritable()
            && QStorageInfo(other).device() != QStorageInfo(QDir::tempPath()).device())
            return other;
        return QString();
    }
    static QStringList stagingBases()
    {
        QStringList bases { QDir::tempPath() };
        if (!otherFileSystem().isEmpty())
            bases << otherFileSystem();
        return bases;
    }
};

void TestInstall::initTestCase()
{
    // Hundreds of failures are made on purpose here; their reasons would drown the output.
    QLoggingCategory::setFilterRules(QStringLiteral("quillmoor.updater.warning=false"));
}

void TestInstall::copyAllFiles_data()
{
    QTest::addColumn<QStringList>("source");
    QTest::addColumn<QStringList>("target");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("empty source")
            << QStringList {} << QStringList { "keep.txt=k" } << true << QStringList { "keep.txt=k" };
    QTest::newRow("new and replaced files")
            << QStringList { "a.txt=new", "b.txt=b" } << QStringList { "a.txt=old", "c.txt=c" } << true
            << QStringList { "a.txt=new", "b.txt=b", "c.txt=c" };
    QTest::newRow("three levels, directories created")
            << QStringList { "x/y/z/deep.txt=d", "x/top.txt=t" } << QStringList {} << true
            << QStringList { "x/", "x/top.txt=t", "x/y/", "x/y/z/", "x/y/z/deep.txt=d" };
    QTest::newRow("directory names with dots kept whole")
            << QStringList { "lib.1.0/l=1", "a.b/1=1", "a.d/2=2" } << QStringList {} << true
            << QStringList { "a.b/", "a.b/1=1", "a.d/", "a.d/2=2", "lib.1.0/", "lib.1.0/l=1" };
    QTest::newRow("names with spaces and percent")
            << QStringList { "release notes.txt=r", "100% sure/x y=1" } << QStringList {} << true
            << QStringList { "100% sure/", "100% sure/x y=1", "release notes.txt=r" };
    QTest::newRow("merge into existing directory")
            << QStringList { "d/new=n" } << QStringList { "d/old=o" } << true
            << QStringList { "d/", "d/new=n", "d/old=o" };
    QTest::newRow("hidden entries stay behind")
            << QStringList { ".hidden=h", ".cache/x=1", "v=1" } << QStringList {} << true
            << QStringList { "v=1" };
    QTest::newRow("staged file over a directory fails, old tree kept")
            << QStringList { "data=file" } << QStringList { "data/inner=i" } << false
            << QStringList { "data/", "data/inner=i" };
    QTest::newRow("staged directory over a file fails")
            << QStringList { "data/inner=i" } << QStringList { "data=file" } << false
            << QStringList { "data=file" };
    QTest::newRow("link recreated, not followed")
            << QStringList { "real.txt=r", "alias->real.txt", "dirlink->/tmp" } << QStringList { "alias=old" }
            << true << QStringList { "alias->real.txt", "dirlink->/tmp", "real.txt=r" };
    // Empty files take another path through the kernel copy than those with data.
    QTest::newRow("empty and multi-megabyte files")
            << QStringList { "empty=", "big=" + QString(3 << 20, QLatin1Char('x')) }
            << QStringList { "empty=old", "big=old" } << true
            << QStringList { "big=" + QString(3 << 20, QLatin1Char('x')), "empty=" };
    QTest::newRow("file replaces an installed link")
            << QStringList { "a=new" } << QStringList { "outside=keep", "a->outside" } << true
            << QStringList { "a=new", "outside=keep" };
    QTest::newRow("dangling link staged as a link")
            << QStringList { "d/gone->nowhere", "f=1" } << QStringList { "d/gone=old" } << true
            << QStringList { "d/", "d/gone->nowhere", "f=1" };
    QTest::newRow("new directory tree appears whole")
            << QStringList { "new/a/b=1", "new/c=2", "new/.h=3" } << QStringList { "old=o" } << true
            << QStringList { "new/", "new/a/", "new/a/b=1", "new/c=2", "old=o" };
    // A leading "." hides a name on Unix; on Windows only the hidden attribute does.
#ifdef Q_OS_WIN
    const QStringList dotted = { ".config/", ".config/x=1", "v=1" };
#else
    const QStringList dotted = { "v=1" };
#endif
    QTest::newRow("dot name without the hidden attribute")
            << QStringList { "+.config/x=1", "v=1" } << QStringList {} << true << dotted;
    QTest::newRow("conflict deep down leaves everything old")
            << QStringList { "a=new", "new/x=1", "z/y/data=file" }
            << QStringList { "a=old", "z/y/data/inner=i" } << false
            << QStringList { "a=old", "z/", "z/y/", "z/y/data/", "z/y/data/inner=i" };
}

void TestInstall::copyAllFiles()
{
    QFETCH(QStringList, source);
    QFETCH(QStringList, target);
    QFETCH(bool, result);
    QFETCH(QStringList, after);
    TREEUTIL_SKIP_WITHOUT_LINKS(source + target);

    for (const QString &base : stagingBases()) {
        QTemporaryDir sourceRoot(base + "/tst_updater-XXXXXX"), targetRoot;
        QVERIFY(treeutil::build(sourceRoot.path(), source));
        QVERIFY(treeutil::build(targetRoot.path(), target));
        const QStringList sourceBefore = treeutil::read(sourceRoot.path());
        QCOMPARE(install::installRelease(sourceRoot.path(), targetRoot.path()), result);
        // The read includes hidden names, so a part or backup left behind would show here too.
        QCOMPARE(treeutil::read(targetRoot.path()), after);
        if (!result)
            QCOMPARE(treeutil::read(sourceRoot.path()), sourceBefore);
        // Whatever is left of the staged tree never reaches the installation: a later release
        // written in place into it must not change an installed file.
        QDirIterator left(sourceRoot.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (left.hasNext()) {
            QFile file(left.next());
            if (!QFileInfo(file.fileName()).isSymLink() && file.open(QIODevice::Append))
                file.write("changed later");
        }
        QCOMPARE(treeutil::read(targetRoot.path()), after);
        // A second attempt gives the same result and the same tree.
        if (!result)
            QCOMPARE(install::installRelease(sourceRoot.path(), targetRoot.path()), result);
        QCOMPARE(treeutil::read(targetRoot.path()), after);
    }
}

void TestInstall::copyNeedsBothDirectories()
{
    QTemporaryDir root;
    QVERIFY(treeutil::build(root.path(), { "src/a=1", "dst/" }));
    QVERIFY(!install::installRelease(root.path() + "/nothing", root.path() + "/dst"));
    QVERIFY(!install::installRelease(root.path() + "/src", root.path() + "/nothing"));
    QVERIFY(!QFileInfo::exists(root.path() + "/nothing"));
    QCOMPARE(treeutil::read(root.path()), QStringList({ "dst/", "src/", "src/a=1" }));
}

void TestInstall::copyKeepsPermissions()
{
    for (const QString &base : stagingBases()) {
        QTemporaryDir source(base + "/tst_updater-XXXXXX"), target;
        QVERIFY(treeutil::build(source.path(), { "run.sh=#!/bin/sh", "private=p" }));
        QVERIFY(treeutil::build(target.path(), { "private=old" }));
        const auto exec = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        const auto owner = QFile::ReadOwner | QFile::WriteOwner;
        QVERIFY(QFile::setPermissions(source.path() + "/run.sh", exec));
        QVERIFY(QFile::setPermissions(source.path() + "/private", owner));
        QVERIFY(QFile::setPermissions(target.path() + "/private", owner | QFile::ReadOther | QFile::WriteOther));
        QVERIFY(install::installRelease(source.path(), target.path()));
        const auto mask = [](QFile::Permissions p) {
#ifdef Q_OS_WIN
            // Windows keeps only the read-only attribute, shown as the write bits.
            return p & QFile::WriteOwner;
#else
            return p & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
#endif
        };
        QCOMPARE(mask(QFile::permissions(target.path() + "/run.sh")), mask(exec));
        QCOMPARE(mask(QFile::permissions(target.path() + "/private")), mask(owner));
    }
}

void TestInstall::fileWithAnotherNameIsCopied()
{
    // A staged file that also has a name outside the staging tree is copied, not linked:
    // whatever holds that name must not reach the installed file.
    QTemporaryDir source, target, outside;
    QVERIFY(treeutil::build(source.path(), { "a=new" }));
    std::error_code error;
    std::filesystem::create_hard_link((source.path() + "/a").toStdString(),
                                      (outside.path() + "/a").toStdString(), error);
    QVERIFY(!error);
    QVERIFY(install::installRelease(source.path(), target.path()));
    QFile other(outside.path() + "/a");
    QVERIFY(other.open(QIODevice::Append));
    other.write(" changed");
    other.close();
    QCOMPARE(treeutil::read(target.path()), QStringList { "a=new" });
}

void TestInstall::copyRemovesLeftovers()
{
    // A killed attempt leaves parts (even a half-written one, or a link in its place),
    // backups, whole new directories and its commit marker. The next attempt removes them
    // before it stages anew, never installs them, and never writes through a link.
    QTemporaryDir source, target, outside;
    QVERIFY(treeutil::build(outside.path(), { "victim=precious" }));
    QVERIFY(treeutil::build(source.path(), { "a=new", "d/b=new", "d/.qu-p1=staged" }));
    QVERIFY(treeutil::build(target.path(),
                            { ".qu-p0=half", ".qu-commit=", "a=old", ".qu-b9=old a",
                              "d/.qu-pz/x=1", ".qu-lock=kept", ".qu-other=kept", "d/.qu-p=kept" }));
    if (treeutil::canMakeLinks())
        QVERIFY(treeutil::build(target.path(), { "d/.qu-p3->" + outside.path() + "/victim" }));
    QVERIFY(install::installRelease(source.path(), target.path()));
    QCOMPARE(treeutil::read(target.path()),
             QStringList({ ".qu-lock=kept", ".qu-other=kept", "a=new", "d/", "d/.qu-p=kept",
                           "d/b=new" }));
    QCOMPARE(treeutil::read(outside.path()), QStringList { "victim=precious" });
}

void TestInstall::stagedNameThatStaysIsNotShared()
{
    // A linked file's staged name that cannot be removed (its directory is locked) must not
    // keep reaching the installation: the installed file becomes a copy of its own.
#ifdef Q_OS_WIN
    QSKIP("needs a directory that refuses removals (chattr or permission bits)");
#else
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), { "locked/a=new", "free=new" }));
    const QString locked = source.path() + "/locked";
    const bool asRoot = ::geteuid() == 0;
    const auto lock = [&](bool on) {
        if (!asRoot)
            return QFile::setPermissions(locked, on ? QFile::ReadOwner | QFile::ExeOwner
                                                    : QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcess chattr;
        chattr.start(QStringLiteral("chattr"), { on ? QStringLiteral("+i") : QStringLiteral("-i"), locked });
        return chattr.waitForFinished() && chattr.exitCode() == 0;
    };
    if (!lock(true))
        QSKIP("chattr +i does not work on this file system");
    const bool copied = install::installRelease(source.path(), target.path());
    QFile staged(locked + "/a");
    const bool stagedStayed = staged.exists();
    // Root ignores permission bits but not the immutable flag; either way the name stays.
    QVERIFY(lock(false));
    QVERIFY(copied);
    QVERIFY(stagedStayed);
    QVERIFY(staged.open(QIODevice::Append));
    staged.write(" changed later");
    staged.close();
    QCOMPARE(treeutil::read(target.path()), QStringList({ "free=new", "locked/", "locked/a=new" }));
#endif
}

void TestInstall::failedCommitIsUndone()
{
    // One commit fails (its part vanished after staging), each in turn: every commit
    // before it is undone, and nothing of the attempt stays behind.
    const QStringList old = { "keep=k", "r1=old", "r2=old", "sub/r3=old" };
    const QStringList staged = { "r1=new", "r2=new", "n1=new", "sub/r3=new", "sub/n2=new",
                                 "tree/x/y=new" };
    for (int failing = 0; failing < staged.size(); ++failing) {
        QTemporaryDir source, target;
        QVERIFY(treeutil::build(source.path(), staged));
        QVERIFY(treeutil::build(target.path(), old));
        const QStringList oldTree = treeutil::read(target.path());
        const QStringList stagedTree = treeutil::read(source.path());
        install::Transaction transaction(source.path(), target.path());
        QVERIFY(transaction.stage());
        QVERIFY(transaction.sync());
        const QStringList parts = transaction.parts();
        QCOMPARE(parts.size(), staged.size());
        QVERIFY(std::filesystem::remove_all(parts[failing].toStdU16String()) > 0);
        QVERIFY(!transaction.commit());
        transaction.rollBack();
        QCOMPARE(treeutil::read(target.path()), oldTree);
        QCOMPARE(treeutil::read(source.path()), stagedTree);
    }
}

void TestInstall::failedCommitKeepsWindowsNamesAndAttributes_data()
{
    QTest::addColumn<QStringList>("old");
    QTest::addColumn<QStringList>("staged");
    QTest::addColumn<QStringList>("readOnly"); // made read-only on both sides, where present

    QTest::newRow("read-only files on both sides")
            << QStringList { "a=old", "b=old", "c=old", "d=old" }
            << QStringList { "a=new", "b=new", "c=new", "d=new", "e=new" }
            << QStringList { "a", "c", "d", "e" };
    QTest::newRow("case-only renames")
            << QStringList { "readme.txt=old", "data/x=old", "data/mine=m", "z=old" }
            << QStringList { "README.txt=new", "Data/x=new", "Data/y=new", "z=new", "zz=new" }
            << QStringList {};
}

void TestInstall::failedCommitKeepsWindowsNamesAndAttributes()
{
    // As failedCommitIsUndone, where Windows differs: after any failed commit, every file
    // has its old name, spelling, content and read-only attribute, and no backup is left.
#ifndef Q_OS_WIN
    QSKIP("spelling and the read-only attribute are Windows'");
#else
    QFETCH(QStringList, old);
    QFETCH(QStringList, staged);
    QFETCH(QStringList, readOnly);
    const auto setReadOnly = [&](const QString &root, bool on) {
        for (const QString &name : readOnly) {
            const std::wstring path = QDir::toNativeSeparators(root + '/' + name).toStdWString();
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                SetFileAttributesW(path.c_str(), on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
        }
    };
    const auto readOnlyNames = [](const QString &root) {
        QStringList names;
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (GetFileAttributesW(QDir::toNativeSeparators(path).toStdWString().c_str()) & FILE_ATTRIBUTE_READONLY)
                names << path.mid(root.size() + 1);
        }
        names.sort();
        return names;
    };
    for (int failing = 0; failing < staged.size(); ++failing) {
        QTemporaryDir source, target;
        QVERIFY(treeutil::build(source.path(), staged));
        QVERIFY(treeutil::build(target.path(), old));
        setReadOnly(source.path(), true);
        setReadOnly(target.path(), true);
        const QStringList oldTree = treeutil::read(target.path());
        const QStringList oldReadOnly = readOnlyNames(target.path());
        {
            install::Transaction transaction(source.path(), target.path());
            QVERIFY(transaction.stage());
            QVERIFY(transaction.sync());
            const QStringList parts = transaction.parts();
            QCOMPARE(parts.size(), staged.size());
            const std::wstring part = QDir::toNativeSeparators(parts[failing]).toStdWString();
            SetFileAttributesW(part.c_str(), FILE_ATTRIBUTE_NORMAL);
            QVERIFY(std::filesystem::remove_all(part) > 0);
            QVERIFY(!transaction.commit());
            transaction.rollBack();
        }
        QCOMPARE(treeutil::read(target.path()), oldTree);
        QCOMPARE(readOnlyNames(target.path()), oldReadOnly);
        setReadOnly(source.path(), false);
        setReadOnly(target.path(), false);
    }
    // With nothing failing, the release's spelling and attributes are installed.
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), staged));
    QVERIFY(treeutil::build(target.path(), old));
    setReadOnly(source.path(), true);
    setReadOnly(target.path(), true);
    install::Transaction transaction(source.path(), target.path());
    QVERIFY(transaction.run());
    QStringList expected = readOnly;
    expected.sort();
    QCOMPARE(readOnlyNames(target.path()), expected);
    QStringList names;
    for (const QString &line : treeutil::read(target.path()))
        names << line.section(QLatin1Char('='), 0, 0);
    for (const QString &line : staged)
        QVERIFY2(names.contains(line.section(QLatin1Char('='), 0, 0)), qPrintable(line));
    setReadOnly(source.path(), false);
    setReadOnly(target.path(), false);
#endif
}

void TestInstall::copyLinkLoopEnds()
{
    TREEUTIL_SKIP_WITHOUT_LINKS(QStringList { "->" });
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), { "loop/self->.", "loop/up->..", "f=1" }));
    QVERIFY(install::installRelease(source.path(), target.path()));
    QCOMPARE(treeutil::read(target.path()), QStringList({ "f=1", "loop/", "loop/self->.", "loop/up->.." }));
}

namespace {

// A small release over a small installation: files replaced and new, nested directories old
// and new, a link, a hidden entry, and a file with a second name outside (copied, not linked).
struct SweepLayout
{
    QTemporaryDir dir;
    QString install = dir.path() + QStringLiteral("/inst");
    QString staging = dir.path() + QStringLiteral("/stage");

    bool build()
    {
        const QStringList old = { "a=old", "b=old", "keep=k", "d/x=old", "d/e/", "lnk=old" };
        const QStringList staged = { "a=new", "b=new", "n=new", "d/x=new", "d/e/y=new", "fresh/z=new",
                                     "fresh/sub/w=new", ".h=h", "multi=new" };
        if (!treeutil::build(install, old) || !treeutil::build(staging, staged))
            return false;
        std::error_code error;
        std::filesystem::create_hard_link((staging + "/multi").toStdU16String(),
                                          (dir.path() + "/multi-elsewhere").toStdU16String(), error);
        return !error && (!treeutil::canMakeLinks() || treeutil::build(staging, { "lnk->a" }));
    }
};

} // namespace

void TestInstall::faultSweep()
{
#ifdef Q_OS_WIN
    const struct { Op op; int error; } kinds[] = {
        { Op::List, ERROR_ACCESS_DENIED }, { Op::Stat, ERROR_ACCESS_DENIED },
        { Op::Open, ERROR_ACCESS_DENIED }, { Op::Link, ERROR_INVALID_PARAMETER },
        { Op::Copy, ERROR_DISK_FULL },     { Op::MakeDir, ERROR_DISK_FULL },
        { Op::Sync, ERROR_IO_DEVICE },     { Op::Rename, ERROR_ACCESS_DENIED },
        { Op::Remove, ERROR_ACCESS_DENIED },
    };
#else
    const struct { Op op; int error; } kinds[] = {
        { Op::List, EIO },     { Op::Stat, EIO },       { Op::Open, EACCES },
        { Op::Link, EXDEV },   { Op::Link, EIO },       { Op::Copy, ENOSPC },
        { Op::MakeDir, ENOSPC }, { Op::Sync, EIO },     { Op::Rename, EINVAL },
        { Op::Rename, EIO },   { Op::Remove, EACCES },
    };
#endif
    // The old and the new release as a clean update finds and leaves them, and how many
    // calls of each kind it makes.
    SweepLayout clean;
    QVERIFY(clean.build());
    const QStringList oldTree = treeutil::read(clean.install);
    plan.reset();
    QVERIFY(updateOnce(clean.staging, clean.install));
    std::array<int, size_t(Op::Count)> calls;
    for (size_t op = 0; op < calls.size(); ++op)
        calls[op] = plan.count(Op(op));
    const QStringList newTree = treeutil::read(clean.install);
    if (std::all_of(calls.begin(), calls.end(), [](int n) { return n == 0; }))
        QSKIP("this file-system layer has no fault points");

    int points = 0;
    std::array<int, 4> outcomes {};
    for (const auto &kind : kinds) {
        for (const bool persistent : { false, true }) {
            for (int n = 1; n <= calls[size_t(kind.op)]; ++n) {
                SweepLayout layout;
                QVERIFY(layout.build());
                const QStringList stagedTree = treeutil::read(layout.staging);
                plan.reset({ { kind.op, n, kind.error, persistent } });
                const bool updated = updateOnce(layout.staging, layout.install);
                plan.reset();
                QStringList own;
                const Outcome outcome = classify(treeutil::read(layout.install), oldTree, newTree, &own);
                ++points;
                ++outcomes[size_t(outcome)];
                const QByteArray where = QStringLiteral("%1, call %2%3, error %4: %5")
                        .arg(QLatin1String(opName(kind.op))).arg(n).arg(persistent ? " and every later one" : "")
                        .arg(kind.error).arg(treeutil::read(layout.install).join(' ')).toUtf8();
                QVERIFY2(outcome != Outcome::Lost, where);
                if (updated) {
                    QVERIFY2(outcome == Outcome::New, where);
                } else {
                    // Only a file system that refuses the undo itself leaves a mixed tree, and
                    // only one that refuses removals leaves names of the updater's own.
                    QVERIFY2(outcome == Outcome::Old || (persistent && kind.op == Op::Rename), where);
                    QVERIFY2(own.isEmpty() || persistent || kind.op == Op::Remove, where);
                    QVERIFY2(treeutil::read(layout.staging) == stagedTree, where);
                }
                // The next undisturbed run finishes the update and leaves nothing of its own.
                updateOnce(layout.staging, layout.install);
                own.clear();
                QVERIFY2(classify(treeutil::read(layout.install), oldTree, newTree, &own) == Outcome::New, where);
                QVERIFY2(own.isEmpty(), where);
            }
        }
    }
    qInfo("fault sweep: %d failure points swept: %d old, %d new, %d mixed, %d lost", points,
          outcomes[size_t(Outcome::Old)], outcomes[size_t(Outcome::New)],
          outcomes[size_t(Outcome::Mixed)], outcomes[size_t(Outcome::Lost)]);
    QVERIFY(points > 100);
}

void TestInstall::undoIsExactPerStep()
{
    // A rename that cannot swap two names (EINVAL: a file system without the swap) and then a
    // later rename that fails: every step is undone the way it was committed, the swaps too.
#ifdef Q_OS_WIN
    QSKIP("the two-name swap exists on Linux only");
#else
    for (int later = 4; later <= 9; ++later) {
        SweepLayout layout;
        QVERIFY(layout.build());
        const QStringList oldTree = treeutil::read(layout.install);
        plan.reset({ { Op::Rename, 3, EINVAL, false }, { Op::Rename, later, EIO, false } });
        QVERIFY(!updateOnce(layout.staging, layout.install));
        plan.reset();
        QCOMPARE(treeutil::read(layout.install), oldTree);
    }
#endif
}

void TestInstall::undoStopsEveryThread()
{
    // Enough steps that several threads commit at once: a rename failing first, midway or
    // last stops them all, and every step any of them committed is undone.
#ifdef Q_OS_WIN
    const int error = ERROR_ACCESS_DENIED;
#else
    const int error = EIO;
#endif
    const QStringList oldEntries = manyFiles("old"), newEntries = manyFiles("new");
    for (const int nth : { 1, 750, 1500 }) {
        QTemporaryDir stage, inst;
        QVERIFY(treeutil::build(inst.path(), oldEntries));
        QVERIFY(treeutil::build(stage.path(), newEntries));
        const QStringList oldTree = treeutil::read(inst.path());
        const QStringList newTree = treeutil::read(stage.path());
        plan.reset({ { Op::Rename, nth, error, false } });
        QVERIFY(!updateOnce(stage.path(), inst.path()));
        // Each rename before the failing one committed a step, and each such step is undone.
        QVERIFY(plan.count(Op::Rename) >= 2 * (nth - 1) + 1);
        plan.reset();
        QCOMPARE(treeutil::read(inst.path()), oldTree);
        QVERIFY(updateOnce(stage.path(), inst.path()));
        QCOMPARE(treeutil::read(inst.path()), newTree);
    }
}

void TestInstall::threadsThatCannotStart()
{
    // The system refuses a thread (a limit on processes): each parallel step goes on with the
    // threads it has, down to the calling one, and the update is the same. Stage, commit and
    // removal start their first helpers in that order; the last start is the removal's.
    const QStringList oldEntries = manyFiles("old"), newEntries = manyFiles("new");
    plan.reset();
    {
        QTemporaryDir stage, inst;
        QVERIFY(treeutil::build(inst.path(), oldEntries) && treeutil::build(stage.path(), newEntries));
        QVERIFY(updateOnce(stage.path(), inst.path()));
    }
    const int starts = plan.count(Op::Thread);
    QVERIFY2(starts >= 3, "every parallel step starts helpers for this many files");
    for (const Fault &fault : { Fault { Op::Thread, 1, EAGAIN, true }, Fault { Op::Thread, 1, EAGAIN, false },
                                Fault { Op::Thread, 2, EAGAIN, false }, Fault { Op::Thread, 3, EAGAIN, false },
                                Fault { Op::Thread, starts, EAGAIN, false } }) {
        QTemporaryDir stage, inst;
        QVERIFY(treeutil::build(inst.path(), oldEntries) && treeutil::build(stage.path(), newEntries));
        const QStringList newTree = treeutil::read(stage.path());
        plan.reset({ fault });
        QVERIFY(updateOnce(stage.path(), inst.path()));
        QCOMPARE(treeutil::read(inst.path()), newTree);
    }
    plan.reset();
}

void TestInstall::linkedDirectoryIsSyncedWhereItLies()
{
    // A directory the installation holds as a link to another disk is followed, and the
    // data and names put there are synced there too: each file and each directory is synced
    // itself, wherever it lies, so the calls are as many as without the link.
#ifndef __linux__
    QSKIP("needs a second file system (/dev/shm)");
#else
    const QString other = otherFileSystem();
    if (other.isEmpty())
        QSKIP("no second file system (/dev/shm) here");
    int syncs[2] = {};
    for (const bool linked : { false, true }) {
        QTemporaryDir stage, inst, moved(other + "/tst_install-XXXXXX");
        QVERIFY(treeutil::build(stage.path(), { "data/f=new", "data/n=new", "top=new" }));
        QVERIFY(treeutil::build(linked ? moved.path() : inst.path(), { "data/f=old" }));
        if (linked)
            QVERIFY(treeutil::build(inst.path(), { "data->" + moved.path() + "/data" }));
        plan.reset();
        QVERIFY(install::installRelease(stage.path(), inst.path()));
        syncs[linked] = plan.count(Op::Sync);
        QCOMPARE(treeutil::read(linked ? moved.path() : inst.path()).filter("data/"),
                 QStringList({ "data/", "data/f=new", "data/n=new" }));
        if (linked)
            QCOMPARE(treeutil::read(inst.path()),
                     QStringList({ "data->" + moved.path() + "/data", "top=new" }));
    }
    QVERIFY(syncs[false] > 0);
    QCOMPARE(syncs[true], syncs[false]);
#endif
}

void TestInstall::copiesKeepWhatLinksKeep()
{
    // A linked file is the staged file; a copied one (it has a second name) must come out
    // the same: mode with its set-user-ID bit, owner, time and extended attributes.
#ifndef __linux__
    QSKIP("owners, set-ID bits and extended attributes as Linux has them");
#else
    QTemporaryDir stage, inst, outside;
    QVERIFY(treeutil::build(stage.path(), { "linked=1", "copied=2" }));
    std::error_code error;
    std::filesystem::create_hard_link((stage.path() + "/copied").toStdString(),
                                      (outside.path() + "/copied").toStdString(), error);
    QVERIFY(!error);
    const bool asRoot = ::geteuid() == 0;
    bool withAttributes = true;
    for (const char *name : { "linked", "copied" }) {
        const QByteArray path = QFile::encodeName(stage.path() + '/' + name);
        if (asRoot)
            QVERIFY(::chown(path.constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(path.constData(), 04755) == 0);
        withAttributes = ::setxattr(path.constData(), "user.quillmoor", "kept", 4, 0) == 0 && withAttributes;
        const decltype(stat::st_mtim) times[2] = { { 1000000000, 0 }, { 1000000000, 5 } };
        QVERIFY(::utimensat(AT_FDCWD, path.constData(), times, 0) == 0);
    }
    QVERIFY(install::installRelease(stage.path(), inst.path()));
    struct stat linked, copied;
    QVERIFY(::stat(QFile::encodeName(inst.path() + "/linked").constData(), &linked) == 0);
    QVERIFY(::stat(QFile::encodeName(inst.path() + "/copied").constData(), &copied) == 0);
    QCOMPARE(linked.st_nlink, nlink_t(1)); // its staged name is gone
    QCOMPARE(copied.st_mode, linked.st_mode);
    QCOMPARE(copied.st_mode & 07777, mode_t(04755));
    QCOMPARE(copied.st_uid, linked.st_uid);
    QCOMPARE(copied.st_gid, linked.st_gid);
    QCOMPARE(copied.st_mtim.tv_sec, linked.st_mtim.tv_sec);
    QCOMPARE(copied.st_mtim.tv_nsec, linked.st_mtim.tv_nsec);
    if (asRoot)
        QCOMPARE(copied.st_uid, uid_t(65534));
    if (withAttributes) {
        char value[8] = {};
        QCOMPARE(::getxattr(QFile::encodeName(inst.path() + "/copied").constData(), "user.quillmoor",
                            value, sizeof value), ssize_t(4));
        QCOMPARE(QByteArray(value), QByteArray("kept"));
    }
#endif
}

void TestInstall::copyWithoutTheOwnerDropsSetIdBits()
{
    // A copy made by someone who cannot give it the staged file's owner must not become
    // their own set-user-ID or set-group-ID program.
#ifndef __linux__
    QSKIP("needs Linux's per-thread file-system user");
#else
    if (::geteuid() != 0)
        QSKIP("needs root, to act as another user");
    QTemporaryDir dir;
    QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
    QVERIFY(treeutil::build(dir.path(), { "program=#!/bin/sh" }));
    const QString program = dir.path() + "/program";
    QVERIFY(::chmod(QFile::encodeName(program).constData(), 06755) == 0);
    ::setfsuid(65534);
    const install::sys::Result copied = install::sys::copyFile(program, dir.path() + "/copy");
    ::setfsuid(0);
    QCOMPARE(copied, install::sys::Result::Ok);
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(dir.path() + "/copy").constData(), &st) == 0);
    QCOMPARE(st.st_uid, uid_t(65534));
    QCOMPARE(st.st_mode & 07777, mode_t(0755));
#endif
}

void TestInstall::namesAreBytes()
{
    // On POSIX a name is bytes: one that is not UTF-8 (Latin-1 here) is installed, replaced
    // and removed by the very bytes the listing gave.
#ifdef Q_OS_WIN
    QSKIP("names are UTF-16 on Windows");
#else
    QTemporaryDir stage, inst;
    const QByteArray s = QFile::encodeName(stage.path()), i = QFile::encodeName(inst.path());
    QVERIFY(::mkdir(s + "/d\xff", 0755) == 0);
    QVERIFY(writeBytesNamed(s + "/caf\xe9.txt", "new"));
    QVERIFY(writeBytesNamed(s + "/d\xff/x\xe9", "new"));
    QVERIFY(writeBytesNamed(i + "/caf\xe9.txt", "old"));
    QVERIFY(install::installRelease(stage.path(), inst.path()));
    QCOMPARE(readBytesNamed(i + "/caf\xe9.txt"), QByteArray("new"));
    QCOMPARE(readBytesNamed(i + "/d\xff/x\xe9"), QByteArray("new"));
    // Qt's own listing skips such names; the layer's does not.
    std::vector<install::sys::Entry> entries;
    QVERIFY(install::sys::list(inst.path(), entries));
    QCOMPARE(entries.size(), size_t(2));
    QVERIFY(install::removeStagingTree(stage.path()));
    QVERIFY(!QFileInfo::exists(stage.path()));
    QVERIFY(install::sys::removeTree(inst.path()));
#endif
}

void TestInstall::ownNameOfTheWrongKind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("entry"); // as the tree notation has it, "fifo" for a FIFO
    const QString lock = install::lockFileName(), marker = install::commitMarkerName();
    const QString list = install::dirListName();
#ifndef Q_OS_WIN
    QTest::newRow("FIFO at the lock") << lock << "fifo";
    QTest::newRow("FIFO at the marker") << marker << "fifo";
    QTest::newRow("FIFO at the list") << list << "fifo";
#endif
    QTest::newRow("link at the list") << list << "->OUTSIDE/victim";
    QTest::newRow("link at the lock") << lock << "->OUTSIDE/victim";
    QTest::newRow("link at the marker") << marker << "->OUTSIDE/victim";
    QTest::newRow("directory at the lock") << lock << "/x=1";
    QTest::newRow("directory at the marker") << marker << "/x=1";
    QTest::newRow("empty lock") << lock << "=";
    QTest::newRow("partial lock") << lock << "=12345\nhost";
    // Lines end with a NUL; none of these may be followed.
    const QChar end(0);
    QTest::newRow("list naming paths outside")
            << list << QString("=../outside" + QString(end) + "/etc" + end + "d/../.." + end + "..");
}

void TestInstall::ownNameOfTheWrongKind()
{
    // What a killed run, a full disk or a power cut can leave at the lock's or the marker's
    // name (empty or partial), or what someone put there, never blocks, is never followed
    // and never keeps the update from finishing.
    QFETCH(QString, name);
    QFETCH(QString, entry);
    QTemporaryDir stage, inst, outside;
    QVERIFY(treeutil::build(outside.path(), { "victim=precious" }));
    QVERIFY(treeutil::build(stage.path(), { "a=new" }));
    QVERIFY(treeutil::build(inst.path(), { "a=old" }));
    entry.replace("OUTSIDE", outside.path());
    TREEUTIL_SKIP_WITHOUT_LINKS(QStringList { entry });
#ifndef Q_OS_WIN
    if (entry == "fifo")
        QVERIFY(::mkfifo(QFile::encodeName(inst.path() + '/' + name).constData(), 0644) == 0);
    else
#endif
        QVERIFY(treeutil::build(inst.path(), { name + entry }));
    QVERIFY(updateOnce(stage.path(), inst.path()));
    QCOMPARE(treeutil::read(inst.path()), QStringList { "a=new" });
    QCOMPARE(treeutil::read(outside.path()), QStringList { "victim=precious" });
}

void TestInstall::secondLockIsRefused()
{
    QTemporaryDir inst;
    {
        const install::Lock first(inst.path());
        QVERIFY(first.isLocked());
        const install::Lock second(inst.path());
        QVERIFY(!second.isLocked());
        QCOMPARE(second.failure().reason, QStringLiteral("held by another updater"));
    }
    const install::Lock again(inst.path());
    QVERIFY(again.isLocked());
}

void TestInstall::leftoversGoAtTheNextStart()
{
    // A finished update whose backups would not go (and whose staging tree is gone, so no
    // later walk passes there), and a set-aside updater in the updater's own directory: the
    // next start removes them, where the list says and in its own directory.
    QTemporaryDir inst;
    QVERIFY(treeutil::build(inst.path(), { "bin/.qu-a0=old updater", "bin/updater=new", "d/.qu-b3=old",
                                           "d/.qu-p4/x=1", "d/f=new", "e/.qu-b1=unlisted" }));
    QVERIFY(install::sys::writeRecord(inst.path() + '/' + install::dirListName(), { "d" }));
    install::removeLeftovers(inst.path(), { inst.path() + "/bin" });
    QCOMPARE(treeutil::read(inst.path()),
             QStringList({ "bin/", "bin/updater=new", "d/", "d/f=new", "e/", "e/.qu-b1=unlisted" }));
}

void TestInstall::removeAllFiles_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("missing directory") << QStringList { "other=1" } << "gone" << true
                                       << QStringList { "other=1" };
    QTest::newRow("empty directory") << QStringList { "d/", "other=1" } << "d" << true
                                     << QStringList { "other=1" };
    QTest::newRow("whole tree") << QStringList { "d/a=1", "d/x/y/z=2", "d/x/w=3", "other=1" } << "d"
                                << true << QStringList { "other=1" };
    QTest::newRow("hidden file keeps its directories")
            << QStringList { "d/sub/.hidden=h", "d/sub/plain=p" } << "d" << false
            << QStringList { "d/", "d/sub/", "d/sub/.hidden=h" };
    QTest::newRow("dangling link removed as a link")
            << QStringList { "d/gone->nowhere", "d/f=1" } << "d" << true << QStringList {};
}

void TestInstall::removeAllFiles()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, removed);
    QFETCH(bool, result);
    QFETCH(QStringList, after);
    TREEUTIL_SKIP_WITHOUT_LINKS(tree);

    QTemporaryDir root;
    QVERIFY(treeutil::build(root.path(), tree));
    QCOMPARE(install::removeStagingTree(root.path() + "/" + removed), result);
    QCOMPARE(treeutil::read(root.path()), after);
}

void TestInstall::removeNeverLeavesTheTree()
{
    TREEUTIL_SKIP_WITHOUT_LINKS(QStringList { "->" });
    QTemporaryDir root, outside;
    const QString out = outside.path();
    QVERIFY(treeutil::build(out, { "dir/kept=1", "file=2" }));
    QVERIFY(treeutil::build(root.path(), { "d/to-dir->" + out + "/dir", "d/to-file->" + out + "/file",
                                           "d/sub/to-root->" + out, "d/plain=3",
                                           "top-link->" + out + "/dir" }));
    QVERIFY(install::removeStagingTree(root.path() + "/d"));
    // The staging directory may itself be a link: only the link goes.
    QVERIFY(install::removeStagingTree(root.path() + "/top-link"));
    QCOMPARE(treeutil::read(root.path()), QStringList {});
    QCOMPARE(treeutil::read(out), QStringList({ "dir/", "dir/kept=1", "file=2" }));
}

QTEST_MAIN(TestInstall)
#include "tst_install.moc"
