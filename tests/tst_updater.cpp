// The updater window in-process: its meta-object, its form, closing it, and the tree copy and
// removal on real directories.
#include "install.h"
#include "updater.h"
#include "treeutil.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTranslator>

#include <filesystem>
#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

class TestUpdater : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectHasThreePrivateSlots();
    void metaCastByExactName_data();
    void metaCastByExactName();
    void metaCallCopiesWithAndWithoutResultSlot();
    void invokeByName();
    void formSetUp();
    void titleIsTranslated();
    void closingBeforeFirstAttemptEndsWithZero();

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

    void removeAllFiles_data();
    void removeAllFiles();
    void removeNeverLeavesTheTree();

private:
    // Where staged trees are laid out: beside the installation, where files are linked,
    // and on another file system where there is one, where they are copied.
    static QStringList stagingBases()
    {
        QStringList bases { QDir::tempPath() };
        const QString other = QStringLiteral("/dev/shm");
        if (QFileInfo(other).isDir() && QFileInfo(other).isWritable()
            && QStorageInfo(other).device() != QStorageInfo(QDir::tempPath()).device())
            bases << other;
        return bases;
    }
    bool copy(Updater &updater, const QString &source, const QString &target)
    {
        QDir sourceDir(source);
        QDir targetDir(target);
        return updater.copyAllFiles(sourceDir, targetDir);
    }
    bool remove(Updater &updater, const QString &path)
    {
        QDir dir(path);
        return updater.removeAllFiles(dir);
    }
};

void TestUpdater::metaObjectHasThreePrivateSlots()
{
    Updater updater;
    const QMetaObject *meta = updater.metaObject();
    QCOMPARE(meta, &Updater::staticMetaObject);
    QCOMPARE(meta->className(), "Updater");
    QCOMPARE(meta->superClass(), &QWidget::staticMetaObject);
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QCOMPARE(meta->enumeratorCount(), meta->enumeratorOffset());
    QCOMPARE(meta->classInfoCount(), meta->classInfoOffset());
    QCOMPARE(meta->constructorCount(), 0);

    const struct { const char *signature; const char *returnType; QList<QByteArray> names; } expected[] = {
        { "performUpdate()", "void", {} },
        { "startMainApp()", "void", {} },
        { "copyAllFiles(QDir&,QDir&)", "bool", { "sourceDir", "targetDir" } },
    };
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod method = meta->method(meta->methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.typeName(), expected[i].returnType);
        QCOMPARE(method.parameterNames(), expected[i].names);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
    }
}

void TestUpdater::metaCastByExactName_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("other class name") << QByteArray("UpdaterClass");
    QTest::newRow("base class") << QByteArray("QWidget");
    QTest::newRow("root class") << QByteArray("QObject");
    QTest::newRow("wrong case") << QByteArray("updater");
    QTest::newRow("prefix") << QByteArray("Update");
}

void TestUpdater::metaCastByExactName()
{
    QFETCH(QByteArray, name);
    Updater updater;
    QCOMPARE(updater.qt_metacast("Updater"), static_cast<void *>(&updater));
    QCOMPARE(updater.qt_metacast(nullptr), nullptr);
    QCOMPARE(updater.qt_metacast(name.constData()),
             updater.QWidget::qt_metacast(name.constData()));
}

void TestUpdater::metaCallCopiesWithAndWithoutResultSlot()
{
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), { "a.txt=1" }));
    Updater updater;
    const int id = updater.metaObject()->indexOfMethod("copyAllFiles(QDir&,QDir&)");
    QVERIFY(id >= 0);
    QDir sourceDir(source.path()), targetDir(target.path());

    void *noResult[] = { nullptr, &sourceDir, &targetDir };
    QVERIFY(updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, noResult) < 0);
    QCOMPARE(treeutil::read(target.path()), QStringList { "a.txt=1" });

    bool result = false;
    QDir missing(source.path() + "/missing");
    void *withResult[] = { &result, &sourceDir, &targetDir };
    updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, withResult);
    QVERIFY(result);
    void *failing[] = { &result, &missing, &targetDir };
    updater.qt_metacall(QMetaObject::InvokeMetaMethod, id, failing);
    QVERIFY(!result);
}

void TestUpdater::invokeByName()
{
    // startMainApp resolves ../Quillmoor.exe from the test binary's directory, where there is
    // none: the launch fails, so the slot must arm its own retry and start nothing.
    // performUpdate finds no ../_update there either, so its copy fails and it only re-arms.
    Updater updater;
    const QString before = QDir::currentPath();
    QDir::setCurrent(QDir::rootPath());
    QVERIFY(QMetaObject::invokeMethod(&updater, "startMainApp"));
    QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
    QDir::setCurrent(QDir::rootPath());
    QVERIFY(QMetaObject::invokeMethod(&updater, "performUpdate"));
    QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
    QDir::setCurrent(before);
}

void TestUpdater::formSetUp()
{
    Updater updater;
    QCOMPARE(updater.objectName(), QString("UpdaterClass"));
    QCOMPARE(updater.windowTitle(), QString("Updater"));
    QCOMPARE(updater.size(), QSize(400, 300));
    QVERIFY(updater.isWindow());
    QVERIFY(updater.children().isEmpty() || !updater.findChild<QWidget *>());
}

class UpperCaseTranslator : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *context, const char *sourceText, const char *, int) const override
    {
        return QByteArray(context) == "UpdaterClass" ? QString(sourceText).toUpper() : QString();
    }
};

void TestUpdater::titleIsTranslated()
{
    UpperCaseTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Updater updater;
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(updater.windowTitle(), QString("UPDATER"));
}

void TestUpdater::closingBeforeFirstAttemptEndsWithZero()
{
    // The first attempt would make the updater's directory current; after a close it must
    // never run, not even later.
    QTemporaryDir elsewhere;
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(elsewhere.path()));
    auto updater = std::make_unique<Updater>();
    updater->show();
    QTimer::singleShot(100, updater.get(), &QWidget::close);
    QElapsedTimer clock;
    clock.start();
    const int code = QApplication::exec();
    QCOMPARE(code, 0);
    QVERIFY2(clock.elapsed() < 3000, "the event loop ran into the first attempt");
    updater.reset();
    QTest::qWait(3300);
    QCOMPARE(QDir::currentPath(), QFileInfo(elsewhere.path()).canonicalFilePath());
    QDir::setCurrent(before);
}

void TestUpdater::copyAllFiles_data()
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

void TestUpdater::copyAllFiles()
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

        Updater updater;
        QCOMPARE(copy(updater, sourceRoot.path(), targetRoot.path()), result);
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
            QCOMPARE(copy(updater, sourceRoot.path(), targetRoot.path()), result);
        QCOMPARE(treeutil::read(targetRoot.path()), after);
    }
}

void TestUpdater::copyNeedsBothDirectories()
{
    QTemporaryDir root;
    QVERIFY(treeutil::build(root.path(), { "src/a=1", "dst/" }));
    Updater updater;
    QVERIFY(!copy(updater, root.path() + "/nothing", root.path() + "/dst"));
    QVERIFY(!copy(updater, root.path() + "/src", root.path() + "/nothing"));
    QVERIFY(!QFileInfo::exists(root.path() + "/nothing"));
    QCOMPARE(treeutil::read(root.path()), QStringList({ "dst/", "src/", "src/a=1" }));
}

void TestUpdater::copyKeepsPermissions()
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

        Updater updater;
        QVERIFY(copy(updater, source.path(), target.path()));
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

void TestUpdater::fileWithAnotherNameIsCopied()
{
    // A staged file that also has a name outside the staging tree is copied, not linked:
    // whatever holds that name must not reach the installed file.
    QTemporaryDir source, target, outside;
    QVERIFY(treeutil::build(source.path(), { "a=new" }));
    std::error_code error;
    std::filesystem::create_hard_link((source.path() + "/a").toStdString(),
                                      (outside.path() + "/a").toStdString(), error);
    QVERIFY(!error);
    Updater updater;
    QVERIFY(copy(updater, source.path(), target.path()));
    QFile other(outside.path() + "/a");
    QVERIFY(other.open(QIODevice::Append));
    other.write(" changed");
    other.close();
    QCOMPARE(treeutil::read(target.path()), QStringList { "a=new" });
}

void TestUpdater::copyRemovesLeftovers()
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
    Updater updater;
    QVERIFY(copy(updater, source.path(), target.path()));
    QCOMPARE(treeutil::read(target.path()),
             QStringList({ ".qu-lock=kept", ".qu-other=kept", "a=new", "d/", "d/.qu-p=kept",
                           "d/b=new" }));
    QCOMPARE(treeutil::read(outside.path()), QStringList { "victim=precious" });
}

void TestUpdater::stagedNameThatStaysIsNotShared()
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
    Updater updater;
    const bool copied = copy(updater, source.path(), target.path());
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

void TestUpdater::failedCommitIsUndone()
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

void TestUpdater::failedCommitKeepsWindowsNamesAndAttributes_data()
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

void TestUpdater::failedCommitKeepsWindowsNamesAndAttributes()
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

void TestUpdater::copyLinkLoopEnds()
{
    TREEUTIL_SKIP_WITHOUT_LINKS(QStringList { "->" });
    QTemporaryDir source, target;
    QVERIFY(treeutil::build(source.path(), { "loop/self->.", "loop/up->..", "f=1" }));
    Updater updater;
    QVERIFY(copy(updater, source.path(), target.path()));
    QCOMPARE(treeutil::read(target.path()), QStringList({ "f=1", "loop/", "loop/self->.", "loop/up->.." }));
}

void TestUpdater::removeAllFiles_data()
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

void TestUpdater::removeAllFiles()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, removed);
    QFETCH(bool, result);
    QFETCH(QStringList, after);
    TREEUTIL_SKIP_WITHOUT_LINKS(tree);

    QTemporaryDir root;
    QVERIFY(treeutil::build(root.path(), tree));
    Updater updater;
    QCOMPARE(remove(updater, root.path() + "/" + removed), result);
    QCOMPARE(treeutil::read(root.path()), after);
}

void TestUpdater::removeNeverLeavesTheTree()
{
    TREEUTIL_SKIP_WITHOUT_LINKS(QStringList { "->" });
    QTemporaryDir root, outside;
    const QString out = outside.path();
    QVERIFY(treeutil::build(out, { "dir/kept=1", "file=2" }));
    QVERIFY(treeutil::build(root.path(), { "d/to-dir->" + out + "/dir", "d/to-file->" + out + "/file",
                                           "d/sub/to-root->" + out, "d/plain=3",
                                           "top-link->" + out + "/dir" }));
    Updater updater;
    QVERIFY(remove(updater, root.path() + "/d"));
    // The staging directory may itself be a link: only the link goes.
    QVERIFY(remove(updater, root.path() + "/top-link"));
    QCOMPARE(treeutil::read(root.path()), QStringList {});
    QCOMPARE(treeutil::read(out), QStringList({ "dir/", "dir/kept=1", "file=2" }));
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
