// The built updater run as a process in a throw-away installation.
#include "treeutil.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Root passes every permission check; a user's updater does not. As root the updater runs
// as nobody, in an installation that nobody owns, so that permission bits act on it.
#ifdef Q_OS_WIN
const bool asRoot = false;
#else
const bool asRoot = ::geteuid() == 0;
#endif

const QString updaterName = QStringLiteral("bin/") + QFileInfo(QStringLiteral(UPDATER_BINARY)).fileName();

class Installation
{
public:
    explicit Installation(const QString &name = QStringLiteral("Quillmoor"))
        : m_root(m_temp.path() + QLatin1Char('/') + name)
    {
        QDir().mkpath(m_root + QLatin1String("/bin"));
    }

    QString root() const { return m_root; }
    QString path(const QString &relative) const { return m_root + QLatin1Char('/') + relative; }

    bool setUp(const QStringList &installed, const QStringList &staged, bool withMainApp = true,
               const QString &program = QStringLiteral(UPDATER_BINARY))
    {
        // The stand-in notes where it was started, a line per start.
        if (!QFile::copy(program, path(updaterName))
            || (withMainApp && !QFile::copy(QStringLiteral(STANDIN_APP), path(QStringLiteral("Quillmoor.exe")))))
            return false;
        return treeutil::build(m_root, installed)
                && (staged.isEmpty() || treeutil::build(path(QStringLiteral("_update")), staged));
    }

    void start(QProcess *process = nullptr)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        startWith(env, process ? process : &m_process);
    }

    void startWith(const QProcessEnvironment &env, QProcess *process = nullptr)
    {
        process = process ? process : &m_process;
        process->setProcessEnvironment(env);
        process->setReadChannel(QProcess::StandardOutput);
        if (m_unprivileged) {
            process->start(QStringLiteral("setpriv"),
                           { QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                             QStringLiteral("--clear-groups"), path(updaterName) });
        } else {
            process->start(programPath(), QStringList());
        }
    }

    // The updater as a user starts it: on Windows a path too long for a program to be
    // started by is given in its short form, as the shell gives it.
    QString programPath() const
    {
        QString program = path(updaterName);
#ifdef Q_OS_WIN
        if (program.size() >= MAX_PATH) {
            wchar_t shortName[1024];
            const std::wstring longName = L"\\\\?\\" + QDir::toNativeSeparators(program).toStdWString();
            const DWORD n = GetShortPathNameW(longName.c_str(), shortName, 1024);
            program = QDir::fromNativeSeparators(QString::fromWCharArray(shortName + 4, int(n) - 4));
        }
#endif
        return program;
    }

    // From here on the updater runs as nobody when the tests run as root.
    bool dropPrivileges()
    {
        if (!asRoot)
            return true;
        m_unprivileged = true;
        QFile::setPermissions(m_temp.path(), QFile::permissions(m_temp.path()) | QFile::ExeOther);
        QProcess chown;
        chown.start(QStringLiteral("chown"), { QStringLiteral("-R"), QStringLiteral("65534:65534"), m_root });
        return chown.waitForFinished() && chown.exitCode() == 0;
    }

    // The installation's files without the updater itself, the launch marker or the app.
    QStringList files() const
    {
        const QStringList lines = treeutil::read(m_root);
        QStringList kept;
        for (const QString &line : lines) {
            if (!line.startsWith(QLatin1String("bin/"))
                && !line.startsWith(QLatin1String("Quillmoor.exe="))
                && !line.startsWith(QLatin1String("started.txt=")))
                kept << line;
        }
        return kept;
    }

    // What the launched main application wrote, once it has run; empty if it never did.
    QString launchedIn(int waitMs = 5000) const
    {
        QDeadlineTimer deadline(waitMs);
        QFile marker(path(QStringLiteral("started.txt")));
        while (!deadline.hasExpired()) {
            if (marker.open(QIODevice::ReadOnly)) {
                const QByteArray text = marker.readLine().trimmed();
                if (!text.isEmpty())
                    return longForm(QDir::fromNativeSeparators(QString::fromUtf8(text)));
                marker.close();
            }
            QTest::qWait(50);
        }
        return QString();
    }

    // A path in its long form: on Windows a long directory is entered by its short form.
    static QString longForm(const QString &path)
    {
#ifdef Q_OS_WIN
        wchar_t name[4096];
        const DWORD n = GetLongPathNameW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), name, 4096);
        if (n > 0 && n < 4096)
            return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(name, int(n)))).canonicalFilePath();
#endif
        return QFileInfo(path).canonicalFilePath();
    }

    // The installation directory as the updater prints it: in the local 8-bit encoding, on
    // Windows with "?" for every character the ANSI code page lacks.
    QByteArray printedPath() const
    {
        const QString path = QFileInfo(m_root).canonicalFilePath();
#ifdef Q_OS_WIN
        if (GetACP() == CP_UTF8)
            return path.toUtf8();
        const auto wide = reinterpret_cast<const wchar_t *>(path.utf16());
        QByteArray bytes(int(path.size()) * 4, '\0');
        bytes.truncate(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, int(path.size()),
                                           bytes.data(), int(bytes.size()), nullptr, nullptr));
        return bytes;
#else
        return path.toLocal8Bit();
#endif
    }

    QProcess &process() { return m_process; }

    // How many times the main application was started.
    // How many times the main application was started, once `expected` starts were seen or
    // 5 s have passed: the launch does not wait for the program to run.
    int launches(int expected = 1) const
    {
        QDeadlineTimer deadline(5000);
        int count = 0;
        do {
            QFile marker(path(QStringLiteral("started.txt")));
            count = marker.open(QIODevice::ReadOnly) ? int(marker.readAll().count('\n')) : 0;
        } while (count < expected && !deadline.hasExpired() && (QTest::qWait(50), true));
        return count;
    }

    // Appends to every file left in the staging tree, as a later release written in place
    // would: the installation must not change.
    void overwriteStagingRemains() const
    {
        QDirIterator it(path(QStringLiteral("_update")), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.open(QIODevice::Append))
                file.write("changed later");
        }
    }

    // The installed release: the installation without the staging tree and without what an
    // attempt under way has made under names of its own.
    QStringList release() const
    {
        QStringList lines = installed();
        lines.erase(std::remove_if(lines.begin(), lines.end(), [](const QString &line) {
                        return line.contains(QRegularExpression(QStringLiteral("(^|/)\\.qu-")));
                    }), lines.end());
        return lines;
    }

    // The installation without the staging tree.
    QStringList installed() const
    {
        QStringList lines = files();
        lines.erase(std::remove_if(lines.begin(), lines.end(), [](const QString &line) {
                        return line.startsWith(QLatin1String("_update"));
                    }), lines.end());
        return lines;
    }

private:
    QTemporaryDir m_temp;
    QString m_root;
    QProcess m_process;
    bool m_unprivileged = false;
};

// Waits until the updater has written the path `count` times in all.
bool waitForAttempts(QProcess &process, const QByteArray &once, int count, QByteArray *out)
{
    QDeadlineTimer deadline(3000 + count * 2000);
    while (out->size() < count * once.size() && !deadline.hasExpired()) {
        process.waitForReadyRead(100);
        *out += process.readAllStandardOutput();
    }
    return out->size() >= count * once.size();
}

// What keeps an attempt failing until the test clears it.
enum class Block { Mode, Remove, HoldUnreadable, HoldInUse, HoldShared, Refused };

} // namespace

Q_DECLARE_METATYPE(Block)

class TestUpdaterEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void completesUpdate_data();
    void completesUpdate();
    void retriesWithoutStagingDirectory();
    void findsItsOwnDirectoryByBytes();
    void survivesInjectedFaults_data();
    void survivesInjectedFaults();
    void survivesProcessLimit();
    void persistentFailureKeepsOldRelease_data();
    void persistentFailureKeepsOldRelease();
    void reasonCanBeSilenced();
    void oneUpdaterAtATime();
    void survivesClosedOutput();
    void startsWithoutDisplay_data();
    void startsWithoutDisplay();
    void syncsBeforeItCommits();
    void replacesItself();
    void replacesReadOnlyFiles();
    void launchesUnderEveryWindowsVersion_data();
    void launchesUnderEveryWindowsVersion();
    void retriesOnlyTheLaunch();
    void printsNoLookAlikes();
    void waitsForRunningMainApp();
    void findsHeldFilesBeforeCommit();
    void installsAtADriveRoot();
    void keepsReadOnlyOfLeftoverBackup();
    void leavesSystemEntries();
    void carriesManifestAndVersion();
};

void TestUpdaterEndToEnd::completesUpdate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("staged");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<bool>("stagingRemains");

    QTest::newRow("release")
            << "Quillmoor"
            << QStringList { "data/version.txt=1.0", "data/settings.ini=mine" }
            << QStringList { "data/version.txt=2.0", "plugins/codecs/flac.plugin=f",
                             "release notes.txt=new" }
            << QStringList { "data/", "data/settings.ini=mine", "data/version.txt=2.0", "plugins/",
                             "plugins/codecs/", "plugins/codecs/flac.plugin=f", "release notes.txt=new" }
            << false;
    QTest::newRow("empty staging directory")
            << "Quillmoor" << QStringList { "_update/", "a=1" } << QStringList {}
            << QStringList { "a=1" } << false;
    QTest::newRow("only hidden entries staged")
            << "Quillmoor" << QStringList { "a=1" } << QStringList { ".hidden=h" }
            << QStringList { "_update/", "_update/.hidden=h", "a=1" } << true;
    QTest::newRow("percent and space in the installation path")
            << "Quill moor %s 100%" << QStringList { "a=1" } << QStringList { "a=2" }
            << QStringList { "a=2" } << false;
    // The removal stops at the hidden file; nothing it leaves may reach the installation.
    QTest::newRow("removal stops part-way")
            << "Quillmoor" << QStringList { "a=1", "sub/b=1" }
            << QStringList { "a=2", "sub/.hidden=h", "sub/b=2", "sub/c=2", "z=2" }
            << QStringList { "_update/", "_update/sub/", "_update/sub/.hidden=h", "a=2", "sub/",
                             "sub/b=2", "sub/c=2", "z=2" }
            << true;
    QTest::newRow("dangling link staged")
            << "Quillmoor" << QStringList { "a=1" } << QStringList { "a=2", "gone->nowhere" }
            << QStringList { "a=2", "gone->nowhere" } << false;
    QTest::newRow("non-ASCII installation path and names")
            << QString::fromUtf8("Квиллмур 漢字 😀")
            << QStringList { QString::fromUtf8("данные/файл.txt=1") }
            << QStringList { QString::fromUtf8("данные/файл.txt=2"), QString::fromUtf8("新しい/😀.txt=3") }
            << QStringList { QString::fromUtf8("данные/"), QString::fromUtf8("данные/файл.txt=2"),
                             QString::fromUtf8("新しい/"), QString::fromUtf8("新しい/😀.txt=3") }
            << false;
    // What a killed run, a full disk or a power cut leaves at the lock's or the marker's name,
    // or what someone put there, never blocks, is never followed and is gone after one attempt.
    QTest::newRow("empty lock") << "Quillmoor" << QStringList { "a=1", ".qu-lock=" }
                                << QStringList { "a=2" } << QStringList { "a=2" } << false;
    QTest::newRow("partial lock") << "Quillmoor" << QStringList { "a=1", ".qu-lock=12345\nhos" }
                                  << QStringList { "a=2" } << QStringList { "a=2" } << false;
    QTest::newRow("link at the lock") << "Quillmoor" << QStringList { "keep=k", ".qu-lock->keep" }
                                      << QStringList { "a=2" } << QStringList { "a=2", "keep=k" } << false;
    QTest::newRow("directory at the marker") << "Quillmoor" << QStringList { "a=1", ".qu-commit/x=1" }
                                             << QStringList { "a=2" } << QStringList { "a=2" } << false;
#ifndef Q_OS_WIN
    QTest::newRow("FIFO at the lock") << "Quillmoor" << QStringList { "a=1", ".qu-lock|" }
                                      << QStringList { "a=2" } << QStringList { "a=2" } << false;
    QTest::newRow("FIFO at the marker") << "Quillmoor" << QStringList { "a=1", ".qu-commit|" }
                                        << QStringList { "a=2" } << QStringList { "a=2" } << false;
#endif
    // The list of where own names lie is read with care: never through a name of our own
    // (here a part holding a link), never whole when it is larger than any list can be.
    QTest::newRow("list leading through an own name")
            << "Quillmoor" << QStringList { "a=1", "keep/.qu-p7=precious", "d/.qu-p9->../keep", ".qu-dirs=d/.qu-p9" }
            << QStringList { "a=2" }
            << QStringList { "a=2", "d/", "d/.qu-p9->../keep", "keep/", "keep/.qu-p7=precious" } << false;
    QTest::newRow("damaged list") << "Quillmoor" << QStringList { "a=1", ".qu-dirs=" + QString(17 << 20, 'x') }
                                  << QStringList { "a=2" } << QStringList { "a=2" } << false;
    // Where a respelling takes two renames (Wine, volumes that ignore a change of case), a
    // kill between them leaves the directory under a name of the updater's own that says
    // what it is to be called: the next start gives it that name back, the user's file inside.
    QTest::newRow("directory left between the renames of a respelling")
            << "Quillmoor" << QStringList { ".qu-s.Data/x=old", ".qu-s.Data/settings.ini=mine" }
            << QStringList { "Data/x=new" } << QStringList { "Data/", "Data/settings.ini=mine", "Data/x=new" } << false;
    // Beyond the 260 characters of MAX_PATH on Windows, wherever the temporary directory is.
    QString deep = QString(60, QLatin1Char('d'));
    for (int level = 1; level < 5; ++level)
        deep += QLatin1Char('/') + QString(60, QLatin1Char('d'));
#ifdef Q_OS_WIN
    // Names are case-insensitive: the installed entry takes the release's spelling.
    QTest::newRow("case-only rename of a file")
            << "Quillmoor" << QStringList { "readme.txt=old", "a=1" } << QStringList { "README.txt=new" }
            << QStringList { "README.txt=new", "a=1" } << false;
    QTest::newRow("case-only rename of a directory")
            << "Quillmoor" << QStringList { "data/x=old", "data/settings.ini=mine" }
            << QStringList { "Data/x=new", "Data/New.txt=n" }
            << QStringList { "Data/", "Data/New.txt=n", "Data/settings.ini=mine", "Data/x=new" } << false;
#endif
    // The updater itself that deep: entered and launched from by the short form on Windows.
    QTest::newRow("installation path longer than 260 characters")
            << deep + "/Quillmoor" << QStringList { "a=1" } << QStringList { "a=2" } << QStringList { "a=2" } << false;
    QTest::newRow("path longer than 260 characters")
            << "Quillmoor" << QStringList { "a=1" } << QStringList { deep + "/long.txt=2" }
            << QStringList { "a=1", deep.left(60) + "/", deep.left(121) + "/", deep.left(182) + "/",
                             deep.left(243) + "/", deep + "/", deep + "/long.txt=2" }
            << false;
}

void TestUpdaterEndToEnd::completesUpdate()
{
    QFETCH(QString, name);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, staged);
    QFETCH(QStringList, after);
    QFETCH(bool, stagingRemains);
    TREEUTIL_SKIP_WITHOUT_LINKS(staged + installed);

    Installation inst(name);
    QVERIFY(inst.setUp(installed, staged));
    QElapsedTimer clock;
    clock.start();
    inst.start();
    // The first attempt never comes early: the main application may still be closing.
    QVERIFY(inst.process().waitForReadyRead(10000));
    QVERIFY2(clock.elapsed() >= 3000, qPrintable(QString::number(clock.elapsed())));
#ifdef Q_OS_WIN
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") && inst.root().size() >= MAX_PATH) {
        // Wine's CreateProcess takes the program's long path into a MAX_PATH buffer
        // (GetLongPathNameW unchecked) and so starts no program that lies deeper: the install
        // is shown here, the launch only on Windows.
        QDeadlineTimer deadline(15000);
        while (QFileInfo::exists(inst.path("_update")) && !deadline.hasExpired())
            QTest::qWait(50);
        inst.process().kill();
        inst.process().waitForFinished();
        QCOMPARE(inst.process().readAllStandardOutput(), inst.printedPath());
        QCOMPARE(inst.release(), after);
        QSKIP("Wine cannot start a program whose long path exceeds MAX_PATH; the install was checked");
    }
#endif
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.process().readAllStandardOutput(), inst.printedPath());
    QCOMPARE(inst.launchedIn(), QFileInfo(inst.path("bin")).canonicalFilePath());
    QCOMPARE(inst.files(), after);
    QCOMPARE(QFileInfo::exists(inst.path("_update")), stagingRemains);
    const QStringList before = inst.installed();
    inst.overwriteStagingRemains();
    QCOMPARE(inst.installed(), before);
}

void TestUpdaterEndToEnd::retriesWithoutStagingDirectory()
{
    // With nothing staged, the leftovers of earlier runs still go, the root's among them.
    Installation inst;
    QVERIFY(inst.setUp({ "a=1", ".qu-b3=old" }, {}));
    inst.start();
    const QByteArray once = inst.printedPath();
    QByteArray out;
    // The first attempt at 3 s, then one a second; a slow start (Wine) only delays them.
    QVERIFY2(waitForAttempts(inst.process(), once, 2, &out), out.constData());
    inst.process().kill();
    inst.process().waitForFinished();
    QCOMPARE(out, once.repeated(out.size() / once.size()));
    QVERIFY(inst.launchedIn(0).isEmpty());
    // The kill may land while an attempt holds the lock: its file stays, stale and free for
    // the next start. Nothing else may have changed.
    QCOMPARE(inst.files().filter(QRegularExpression(QStringLiteral("^(?!\\.qu-lock=$)"))),
             QStringList { "a=1" });
}

void TestUpdaterEndToEnd::findsItsOwnDirectoryByBytes()
{
    // The installation lies under a name that is not UTF-8, and the updater is started from
    // another directory that looks like an installation: it must work in its own, print its
    // bytes and start its own main application, and leave the other untouched.
#ifdef Q_OS_WIN
    QSKIP("names are UTF-16 on Windows");
#else
    QTemporaryDir top;
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }));
    QVERIFY(treeutil::build(top.path(), { "decoy/cwd/", "decoy/_update/evil.txt=e", "decoy/Quillmoor.exe=#!/bin/sh" }));
    QVERIFY(QFile::setPermissions(top.path() + "/decoy/Quillmoor.exe", QFile::ReadOwner | QFile::ExeOwner));
    const QStringList decoy = treeutil::read(top.path() + "/decoy");
    const QByteArray odd = QFile::encodeName(top.path()) + "/caf\xe9", moved = odd + "/Quillmoor";
    QVERIFY(::mkdir(odd.constData(), 0755) == 0);
    QVERIFY(::rename(QFile::encodeName(inst.root()).constData(), moved.constData()) == 0);
    QVERIFY(::symlink((moved + '/' + QFile::encodeName(updaterName)).constData(),
                      QFile::encodeName(top.path() + "/updater").constData()) == 0);
    QProcess process;
    process.setWorkingDirectory(top.path() + "/decoy/cwd");
    process.start(top.path() + "/updater", QStringList());
    QVERIFY(process.waitForFinished(15000));
    QVERIFY(::rename(moved.constData(), QFile::encodeName(inst.root()).constData()) == 0);
    QVERIFY(::rmdir(odd.constData()) == 0); // Qt could not remove it: its name is no text
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QFile::encodeName(QFileInfo(top.path()).canonicalFilePath()) + "/caf\xe9/Quillmoor");
    QCOMPARE(inst.installed(), QStringList { "a=2" });
    QCOMPARE(inst.launches(), 1);
    QCOMPARE(treeutil::read(top.path() + "/decoy"), decoy);
#endif
}

void TestUpdaterEndToEnd::survivesInjectedFaults_data()
{
    QTest::addColumn<QString>("faults");      // which calls fail (tests/fault_env.cpp)
    QTest::addColumn<bool>("afterCommit");    // counted from the end of the commit on
    QTest::addColumn<bool>("swap");           // _update/sub becomes a link then
    QTest::addColumn<QStringList>("reasons"); // what standard error says, in order
#ifdef Q_OS_WIN
    const int error = ERROR_ACCESS_DENIED, held = ERROR_SHARING_VIOLATION;
#else
    const int error = EIO, held = EBUSY;
#endif
    // The third rename fails, and so do the undos of the two before it: the installation is
    // mixed until the next attempt, and the log says so, file by file.
    QTest::newRow("undo that fails is reported")
            << QStringLiteral("Rename:3-5:%1").arg(error) << false << false
            << QStringList { "quillmoor.updater: commit: ", "quillmoor.updater: undo: ", "quillmoor.updater: undo: " };
    QTest::newRow("no thread can be started") << "Thread:1-100000:11" << false << false << QStringList {};
    // The first removals after the commit (old files, staged names) refused, as while a
    // reader still holds them: the finish waits a moment, and nothing of the updater's own
    // outlives the update.
    QTest::newRow("old files held at the finish") << QStringLiteral("Remove:1-4:%1").arg(held) << true << false
                                                  << QStringList {};
    // Someone who can write the staging tree swaps a directory of it for a link once the
    // commit is over: the removals must not follow it.
    QTest::newRow("staged directory swapped for a link") << QString() << true << true << QStringList {};
}

void TestUpdaterEndToEnd::survivesInjectedFaults()
{
    QFETCH(QString, faults);
    QFETCH(bool, afterCommit);
    QFETCH(bool, swap);
    QFETCH(QStringList, reasons);
    if (swap && !treeutil::canMakeLinks())
        QSKIP("symbolic links cannot be made and read back on this system");
    Installation inst;
    QTemporaryDir outside;
    QVERIFY(treeutil::build(outside.path(), { "f1=precious", "f2=precious" }));
    QVERIFY(inst.setUp({ "a=old", "b=old", "c=old", "d=old" }, { "a=new", "b=new", "c=new", "d=new", "sub/f1=new", "sub/f2=new" },
                       true, QStringLiteral(UPDATER_FAULTS_BINARY)));
    const QStringList newRelease = treeutil::read(inst.path("_update"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QUILL_FAULTS"), faults);
    if (afterCommit)
        env.insert(QStringLiteral("QUILL_AFTER"), inst.path(".qu-commit"));
    if (swap)
        env.insert(QStringLiteral("QUILL_SWAP"), inst.path("_update/sub") + '\t' + outside.path());
    inst.startWith(env);
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.installed(), newRelease);
    QCOMPARE(inst.launches(), 1);
    QVERIFY(!QFileInfo::exists(inst.path("_update")));
    QCOMPARE(treeutil::read(outside.path()), QStringList({ "f1=precious", "f2=precious" }));
#ifndef Q_OS_WIN
    const QStringList lines = QString::fromLocal8Bit(inst.process().readAllStandardError())
                                      .split('\n').filter(QStringLiteral("quillmoor.updater: "));
    QCOMPARE(lines.size(), reasons.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].startsWith(reasons[i] + inst.root()), qPrintable(lines.join('\n')));
#endif
}

void TestUpdaterEndToEnd::survivesProcessLimit()
{
    // Run by a user at a limit of processes, the updater can start no thread and, in the
    // end, not even the main application: it installs all the same, and keeps trying the
    // launch rather than aborting.
#ifndef Q_OS_LINUX
    QSKIP("a limit on a user's processes as Linux sets it (prlimit)");
#else
    if (!asRoot)
        QSKIP("needs root, to run the updater as a user that has no other process");
    Installation inst;
    QStringList staged;
    for (int i = 0; i < 300; ++i)
        staged << QStringLiteral("f%1=new").arg(i);
    QVERIFY(inst.setUp({}, staged));
    QVERIFY(QProcess::execute(QStringLiteral("chown"), { QStringLiteral("-R"), QStringLiteral("64999:64999"), inst.root() }) == 0);
    QVERIFY(QFile::setPermissions(QFileInfo(inst.root()).path(), QFile::permissions(QFileInfo(inst.root()).path()) | QFile::ExeOther));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    inst.process().setProcessEnvironment(env);
    inst.process().start(QStringLiteral("prlimit"), { QStringLiteral("--nproc=1"), QStringLiteral("setpriv"),
                                                      QStringLiteral("--reuid=64999"), QStringLiteral("--regid=64999"),
                                                      QStringLiteral("--clear-groups"), inst.path(updaterName) });
    QVERIFY(inst.process().waitForStarted());
    QByteArray errors;
    QDeadlineTimer deadline(20000);
    while (!errors.contains("quillmoor.updater: launch: ") && inst.process().state() == QProcess::Running
           && !deadline.hasExpired()) {
        inst.process().waitForReadyRead(100);
        errors += inst.process().readAllStandardError();
    }
    QVERIFY2(inst.process().state() == QProcess::Running, errors.constData());
    inst.process().kill();
    inst.process().waitForFinished();
    staged.sort();
    QCOMPARE(inst.installed(), staged);
    QVERIFY(!QFileInfo::exists(inst.path("_update")));
#endif
}

void TestUpdaterEndToEnd::persistentFailureKeepsOldRelease_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("staged");
    QTest::addColumn<QString>("blocked"); // relative to the installation
    QTest::addColumn<Block>("block");
    QTest::addColumn<int>("mode");        // its permission bits while blocked
    QTest::addColumn<QStringList>("after");

    const QStringList installed = { "a=old", "data/x=old", "data/y=old", "z=old" };
    const QStringList staged = { "a=new", "data/x=new", "data/y=new", "data/n=new", "new/f=new",
                                 "z=new" };
    const QStringList after = { "a=new", "data/", "data/n=new", "data/x=new", "data/y=new",
                                "new/", "new/f=new", "z=new" };
#ifdef Q_OS_WIN
    // Another process holds the file: without read sharing it cannot be read; without
    // delete sharing (the main application still closing) it cannot be replaced.
    QTest::newRow("staged file held without read sharing")
            << installed << staged << "_update/data/y" << Block::HoldUnreadable << 0 << after;
    QTest::newRow("installed file held without delete sharing")
            << installed << staged << "data/x" << Block::HoldInUse << 0 << after;
    // A replacing rename fails even against a holder that shares delete access, and a
    // directory cannot be renamed while a file inside it is open.
    QTest::newRow("installed file held with delete sharing")
            << installed << staged << "data/x" << Block::HoldShared << 0 << after;
    QTest::newRow("file open inside a directory to be respelled")
            << QStringList { "data/x=old", "data/mine=m" } << QStringList { "Data/x=new" } << "data/mine"
            << Block::HoldShared << 0 << QStringList { "Data/", "Data/mine=m", "Data/x=new" };
    // Names no ordinary program could open, made here through "\\?\" paths.
    for (const char *name : { "aux.txt", "COM1.log", "trail.", "trail " })
        QTest::newRow(qPrintable(QStringLiteral("staged name \"%1\"").arg(name)))
                << installed << staged << "_update/data/" + QString::fromLatin1(name) << Block::Refused << 0 << after;
#else
    QTest::newRow("unwritable installation") << installed << staged << "" << Block::Mode << 0555 << after;
    QTest::newRow("unwritable directory") << installed << staged << "data" << Block::Mode << 0555 << after;
    QTest::newRow("unreadable staged file")
            << installed << staged << "_update/data/y" << Block::Mode << 0 << after;
    QTest::newRow("unreadable staged directory")
            << installed << staged << "_update/new" << Block::Mode << 0300 << after;
#endif
    QTest::newRow("directory where a file goes")
            << installed + QStringList { "conflict/inner=i" } << staged + QStringList { "conflict=file" }
            << "conflict" << Block::Remove << 0 << QStringList(after + QStringList { "conflict=file" });
}

void TestUpdaterEndToEnd::persistentFailureKeepsOldRelease()
{
    // Every attempt fails and leaves the old release whole; once the cause is gone the
    // next attempt installs all of the new one.
    QFETCH(QStringList, installed);
    QFETCH(QStringList, staged);
    QFETCH(QString, blocked);
    QFETCH(Block, block);
    QFETCH(int, mode);
    QFETCH(QStringList, after);

    Installation inst;
    QVERIFY(inst.setUp(installed, staged));
    const QStringList oldRelease = inst.installed();
    const QString blockedPath = inst.path(blocked);
    const QFile::Permissions open = QFile::permissions(blockedPath);
#ifdef Q_OS_WIN
    HANDLE held = INVALID_HANDLE_VALUE;
    const std::wstring longPath = L"\\\\?\\" + QDir::toNativeSeparators(blockedPath).toStdWString();
    if (block == Block::HoldUnreadable || block == Block::HoldInUse || block == Block::HoldShared) {
        const DWORD share = block == Block::HoldInUse    ? FILE_SHARE_READ | FILE_SHARE_WRITE
                : block == Block::HoldShared ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                             : 0;
        held = CreateFileW(longPath.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
    } else if (block == Block::Refused) {
        held = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
        CloseHandle(std::exchange(held, INVALID_HANDLE_VALUE));
    }
#else
    if (block == Block::Mode) {
        QVERIFY(inst.dropPrivileges());
        QVERIFY(::chmod(QFile::encodeName(blockedPath).constData(), mode_t(mode)) == 0);
    }
#endif
    inst.start();
    QByteArray out;
    const QByteArray once = inst.printedPath();
    for (int attempts = 1; attempts <= 3; ++attempts) {
        QVERIFY2(waitForAttempts(inst.process(), once, attempts, &out), out.constData());
        QTest::qWait(300); // well inside the 1000 ms between attempts
        QCOMPARE(inst.release(), oldRelease);
    }
    QCOMPARE(out, once.repeated(3));
#ifndef Q_OS_WIN
    // Why, once, however often it is retried: the phase, the path and the system's reason.
    // (A Windows GUI program's messages go to the debugger output.)
    const QByteArray errors = inst.process().readAllStandardError();
    QCOMPARE(errors.count("quillmoor.updater: "), 1);
    const bool atLock = blocked.isEmpty(); // the lock is the first thing made in the installation
    QVERIFY2(errors.contains(atLock ? "quillmoor.updater: lock: " : "quillmoor.updater: stage: ")
                     && errors.contains(atLock ? QByteArray(".qu-lock") : blocked.toUtf8()),
             errors.constData());
    if (block == Block::Mode)
        QVERIFY2(errors.contains(std::strerror(EACCES)), errors.constData());
#endif
    if (block == Block::Mode)
        QVERIFY(QFile::setPermissions(blockedPath, open));
    else if (block == Block::Remove)
        QVERIFY(QDir(blockedPath).removeRecursively());
#ifdef Q_OS_WIN
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    if (block == Block::Refused)
        QVERIFY(DeleteFileW(longPath.c_str()));
#endif
    Q_UNUSED(mode);
    QVERIFY(inst.process().waitForFinished(10000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.launches(), 1);
    after.sort();
    QCOMPARE(inst.installed(), after);
}

void TestUpdaterEndToEnd::reasonCanBeSilenced()
{
    Installation inst;
    QVERIFY(inst.setUp({ "conflict/inner=i" }, { "conflict=file" }));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("quillmoor.updater=false"));
    inst.startWith(env);
    QByteArray out;
    QVERIFY(waitForAttempts(inst.process(), inst.printedPath(), 2, &out));
    inst.process().kill();
    inst.process().waitForFinished();
    QVERIFY(!inst.process().readAllStandardError().contains("quillmoor.updater"));
}

void TestUpdaterEndToEnd::oneUpdaterAtATime()
{
    // Two updaters started together on one installation (a double click, a launcher that
    // retries): one installs, the other touches nothing. Every file must hold its own
    // content and the main application must start once. Trials run five at a time.
    const int trials = 20;
    const int together = 5;
    QStringList staged;
    QStringList after;
    for (int i = 0; i < 60; ++i) {
        const QString name = QStringLiteral("d%1/f%2").arg(i % 6).arg(i);
        staged << name + QStringLiteral("=new ") + name;
        after << name + QStringLiteral("=new ") + name;
    }
    for (int d = 0; d < 6; ++d)
        after << QStringLiteral("d%1/").arg(d);
    after.sort();

    for (int first = 0; first < trials; first += together) {
        std::vector<std::unique_ptr<Installation>> installs;
        std::vector<std::unique_ptr<QProcess>> others;
        for (int t = first; t < first + together; ++t) {
            installs.push_back(std::make_unique<Installation>());
            Installation &inst = *installs.back();
            QVERIFY(inst.setUp({}, staged));
            others.push_back(std::make_unique<QProcess>());
            inst.start();
            inst.start(others.back().get());
        }
        // Once one of each pair has finished, the other makes one more attempt (it prints the
        // path as it starts) on an installation with nothing left to install.
        for (int t = 0; t < together; ++t) {
            Installation &inst = *installs[t];
            QProcess *processes[] = { &inst.process(), others[t].get() };
            QDeadlineTimer deadline(30000);
            while (processes[0]->state() != QProcess::NotRunning && processes[1]->state() != QProcess::NotRunning
                   && !deadline.hasExpired())
                QTest::qWait(20);
            const int loser = processes[0]->state() != QProcess::NotRunning ? 0 : 1;
            QByteArray out = processes[loser]->readAllStandardOutput();
            const QByteArray once = inst.printedPath();
            QVERIFY2(waitForAttempts(*processes[loser], once, out.size() / once.size() + 1, &out), out.constData());
            QCOMPARE(inst.release(), after);
            QCOMPARE(inst.launches(), 1);
            for (QProcess *process : processes) {
                process->kill();
                process->waitForFinished();
            }
        }
    }
}

void TestUpdaterEndToEnd::survivesClosedOutput()
{
    // A launcher that started the updater and quit leaves it writing into a pipe nobody
    // reads: the update must go on.
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2", "b=2" }));
    inst.start();
    QVERIFY(inst.process().waitForStarted());
    inst.process().closeReadChannel(QProcess::StandardOutput);
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.installed(), QStringList({ "a=2", "b=2" }));
    QCOMPARE(inst.launches(), 1);
}

void TestUpdaterEndToEnd::startsWithoutDisplay_data()
{
    QTest::addColumn<QString>("display");
    QTest::newRow("no display at all") << QString();
    QTest::newRow("a display that is gone") << QStringLiteral(":97");
}

void TestUpdaterEndToEnd::startsWithoutDisplay()
{
    // Started over SSH or from a service, with no platform chosen.
    QFETCH(QString, display);
#ifdef Q_OS_WIN
    QSKIP("Windows always has a desktop to show the window on");
#endif
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("DISPLAY"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    inst.startWith(env);
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.installed(), QStringList { "a=2" });
    QCOMPARE(inst.launches(), 1);
}

void TestUpdaterEndToEnd::syncsBeforeItCommits()
{
    // The order of the updater's file-system calls in a real update: every rename of a part
    // onto its target comes after the part's own data was synced and its directory's names
    // were, both once the part existed; and the staging tree goes only after every directory
    // a rename changed was synced again. Only the updater's own files are synced: no sync or
    // syncfs, which would wait for other programs' data. This checks the order, not what a
    // power cut does.
#ifdef Q_OS_WIN
    QSKIP("strace traces Linux processes; on Windows every commit is a rename written through");
#endif
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        QSKIP("strace is not installed (Debian package strace)");
    Installation inst;
    QStringList staged;
    for (int i = 0; i < 30; ++i)
        staged << QStringLiteral("d%1/f%2=new").arg(i % 3).arg(i);
    QVERIFY(inst.setUp({ "d0/f0=old", "d1/f1=old", "d2/f2=old", "d2/f5=old" },
                       staged + QStringList { "fresh/a/b=1" }));
    const QString log = inst.path(QStringLiteral("strace.log"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // LeakSanitizer cannot run under ptrace; the sanitizer build checks leaks elsewhere.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    process.setProcessEnvironment(env);
    process.start(strace, { QStringLiteral("-f"), QStringLiteral("-qq"), QStringLiteral("-y"), QStringLiteral("-o"), log,
                            QStringLiteral("-e"),
                            QStringLiteral("trace=link,linkat,copy_file_range,sendfile,openat,mkdir,mkdirat,rename,"
                                           "renameat,renameat2,sync,syncfs,fsync,fdatasync,unlink,"
                                           "unlinkat,rmdir"),
                            inst.path(updaterName) });
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(inst.launches(), 1);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString staging = inst.path(QStringLiteral("_update/"));
    // strace lines: "<pid> <call>(<arguments>) = <result>"; with -y a descriptor shows the
    // path it holds, "3</dir>", so that a name relative to it reads as a whole path.
    const QRegularExpression call(QString::fromLatin1(R"re(^\d+ +(\w+)\((.*)\) += (-?\d+))re"));
    const QRegularExpression pathArgument(QString::fromLatin1(R"re((?:\d+<([^>]*)>, |AT_FDCWD, )?"([^"]*)")re"));
    const auto pathsOf = [&](const QString &arguments) {
        QStringList paths;
        for (auto it = pathArgument.globalMatch(arguments); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            paths << (m.captured(1).isEmpty() ? m.captured(2) : m.captured(1) + '/' + m.captured(2));
        }
        return paths;
    };
    const QRegularExpression part(QStringLiteral("/\\.qu-p\\w+$"));
    const QRegularExpression descriptor(QString::fromLatin1(R"re(^\d+<([^>]*)>)re"));
    const auto dirOf = [](const QString &path) { return path.left(path.lastIndexOf('/')); };
    QHash<QString, int> createdAt, syncedAt, renamedIn;
    int renames = 0;
    int stagingRemovals = 0;
    // A call another thread interrupts is logged in two lines, "<pid> call(... <unfinished ...>"
    // and "<pid> <... call resumed>...) = <result>": joined here, at the line it ended on.
    const QRegularExpression unfinished(QString::fromLatin1(R"re(^(\d+) +(.*) <unfinished \.\.\.>$)re"));
    const QRegularExpression resumed(QString::fromLatin1(R"re(^(\d+) +<\.\.\. \w+ resumed>(.*)$)re"));
    QHash<QString, QString> pending;
    const QStringList lines = QString::fromLocal8Bit(file.readAll()).split(QLatin1Char('\n'));
    for (int n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        QRegularExpressionMatch m;
        if ((m = unfinished.match(line)).hasMatch()) {
            pending.insert(m.captured(1), m.captured(1) + ' ' + m.captured(2));
            continue;
        }
        if ((m = resumed.match(line)).hasMatch())
            line = pending.take(m.captured(1)) + m.captured(2);
        m = call.match(line);
        if (!m.hasMatch() || m.captured(3).toInt() < 0)
            continue;
        const QString name = m.captured(1);
        const QStringList paths = pathsOf(m.captured(2));
        if (QStringList { "link", "linkat", "mkdir", "mkdirat" }.contains(name)
            || (name == "openat" && m.captured(2).contains("O_CREAT"))) {
            if (!paths.isEmpty() && part.match(paths.last()).hasMatch())
                createdAt.insert(paths.last(), n);
        } else if (name == "sync" || name == "syncfs") {
            QFAIL(qPrintable("a sync of everything, other programs' data included: " + line));
        } else if (name == "fsync" || name == "fdatasync") {
            const QRegularExpressionMatch fd = descriptor.match(m.captured(2));
            QVERIFY2(fd.hasMatch(), qPrintable(line));
            syncedAt.insert(fd.captured(1), n);
        } else if (name.startsWith("rename") && paths.size() == 2 && part.match(paths[0]).hasMatch()
                   && paths[1].startsWith(inst.root())) {
            const QString made = paths[0];
            QVERIFY2(createdAt.contains(made), qPrintable(line));
            QVERIFY2(syncedAt.value(made, -1) > createdAt.value(made),
                     qPrintable("part not synced between its creation and its rename: " + line));
            QVERIFY2(syncedAt.value(dirOf(made), -1) > createdAt.value(made),
                     qPrintable("part's directory not synced between its creation and its rename: " + line));
            renamedIn.insert(dirOf(paths[1]), n);
            ++renames;
        } else if (QStringList { "unlink", "unlinkat", "rmdir" }.contains(name) && !paths.isEmpty()
                   && paths[0].startsWith(staging)) {
            QVERIFY2(!renamedIn.isEmpty(), qPrintable("staging removed before the commit: " + line));
            for (auto it = renamedIn.cbegin(); it != renamedIn.cend(); ++it)
                QVERIFY2(syncedAt.value(it.key(), -1) > it.value(),
                         qPrintable("staging removed before " + it.key() + " was synced after its renames: " + line));
            ++stagingRemovals;
        }
    }
    // 30 files, three of them replaced, and one new directory: at least 28 renames.
    QVERIFY2(renames >= 28, qPrintable(QString::number(renames)));
    QVERIFY(stagingRemovals > 0);
}

void TestUpdaterEndToEnd::replacesItself()
{
    // A release may bring a new updater. It replaces the running one (on Windows by setting
    // the running file aside), and the next start runs the new one.
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }));
    QFile binary(QStringLiteral(UPDATER_BINARY));
    QVERIFY(binary.open(QIODevice::ReadOnly));
    const QByteArray newUpdater = binary.readAll() + "\nnew release of the updater\n";
    QFile staged(inst.path("_update/" + updaterName));
    QVERIFY(QDir().mkpath(inst.path("_update/bin")));
    QVERIFY(staged.open(QIODevice::WriteOnly) && staged.write(newUpdater) == newUpdater.size());
    staged.close();
    QVERIFY(staged.setPermissions(binary.permissions()));

    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QFile installed(inst.path(updaterName));
    QVERIFY(installed.open(QIODevice::ReadOnly));
    QVERIFY(installed.readAll() == newUpdater);
    installed.close();

    QVERIFY(treeutil::build(inst.path("_update"), { "a=3" }));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.launches(2), 2);
    QCOMPARE(inst.installed().filter(QRegularExpression("^a=")), QStringList { "a=3" });
}

void TestUpdaterEndToEnd::replacesReadOnlyFiles()
{
    // A read-only installed file is replaced as any other (Windows refuses to rename over
    // it until the attribute is cleared); each new file keeps the staged file's permissions.
    Installation inst;
    QVERIFY(inst.setUp({ "a=old", "b=old" }, { "a=new", "b=new" }));
    const auto readOnly = QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther;
    const auto writable = readOnly | QFile::WriteOwner | QFile::WriteUser;
    QVERIFY(QFile::setPermissions(inst.path("a"), readOnly));
    QVERIFY(QFile::setPermissions(inst.path("b"), readOnly));
    QVERIFY(QFile::setPermissions(inst.path("_update/b"), readOnly));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.installed(), QStringList({ "a=new", "b=new" }));
    QVERIFY(QFile::permissions(inst.path("a")) & QFile::WriteOwner);
    QVERIFY(!(QFile::permissions(inst.path("b")) & QFile::WriteOwner));
    QVERIFY(QFile::setPermissions(inst.path("b"), writable));
}

void TestUpdaterEndToEnd::launchesUnderEveryWindowsVersion_data()
{
    QTest::addColumn<QString>("version");
    for (const char *version : { "winxp", "vista", "win7", "win10" })
        QTest::newRow(version) << QString::fromLatin1(version);
}

void TestUpdaterEndToEnd::launchesUnderEveryWindowsVersion()
{
    // Windows 6.0 gets the launch with "runas", every other version with the empty verb;
    // either way the main application starts (which verb went out, the shell layer's own
    // tests check field by field).
#ifndef Q_OS_WIN
    QSKIP("the Windows version matters on Windows only");
#else
    if (!GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"))
        QSKIP("only Wine lets a test choose the Windows version it reports");
    QFETCH(QString, version);
    QProcess reg;
    reg.start(QStringLiteral("reg"), { QStringLiteral("add"), QStringLiteral("HKCU\\Software\\Wine"),
                                       QStringLiteral("/v"), QStringLiteral("Version"),
                                       QStringLiteral("/d"), version, QStringLiteral("/f") });
    QVERIFY(reg.waitForFinished(30000) && reg.exitCode() == 0);
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }));
    inst.start();
    const bool finished = inst.process().waitForFinished(15000);
    reg.start(QStringLiteral("reg"), { QStringLiteral("delete"), QStringLiteral("HKCU\\Software\\Wine"),
                                       QStringLiteral("/v"), QStringLiteral("Version"), QStringLiteral("/f") });
    reg.waitForFinished(30000);
    QVERIFY(finished);
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.launches(), 1);
    QCOMPARE(inst.installed(), QStringList { "a=2" });
#endif
}

void TestUpdaterEndToEnd::retriesOnlyTheLaunch()
{
    // Without a main application the launch is refused: the copy happens once, the staging
    // tree goes, and the updater keeps trying to launch.
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }, false));
    inst.start();
    QDeadlineTimer deadline(20000);
    while (QFileInfo::exists(inst.path("_update")) && !deadline.hasExpired())
        QTest::qWait(50);
#ifdef Q_OS_WIN
    QTest::qWait(1000); // a refused launch and its retry (the reason goes to the debugger)
#else
    QByteArray errors;
    while (!errors.contains("quillmoor.updater: launch: ") && !deadline.hasExpired()) {
        inst.process().waitForReadyRead(100);
        errors += inst.process().readAllStandardError();
    }
    QVERIFY2(errors.contains("quillmoor.updater: launch: "), errors.constData());
#endif
    QCOMPARE(inst.process().state(), QProcess::Running);
    const QByteArray out = inst.process().readAllStandardOutput();
    inst.process().kill();
    inst.process().waitForFinished();
    QCOMPARE(out, inst.printedPath());
    QCOMPARE(inst.files(), QStringList { "a=2" });
}

#ifdef Q_OS_WIN
namespace {

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The names a directory reports changed (ReadDirectoryChangesW), collected while it runs.
class NameWatch
{
public:
    explicit NameWatch(const QString &dir)
        : m_dir(CreateFileW(nativePath(dir).c_str(), FILE_LIST_DIRECTORY,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr))
    {
        m_overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        arm();
    }
    ~NameWatch()
    {
        CancelIoEx(m_dir, &m_overlapped);
        DWORD unused;
        GetOverlappedResult(m_dir, &m_overlapped, &unused, TRUE);
        CloseHandle(m_overlapped.hEvent);
        CloseHandle(m_dir);
    }

    // Collects what arrives until `done` says so (30 s at most).
    template <typename Done>
    QStringList names(const Done &done)
    {
        QDeadlineTimer deadline(30000);
        do {
            DWORD got = 0;
            if (WaitForSingleObject(m_overlapped.hEvent, 50) == WAIT_OBJECT_0
                && GetOverlappedResult(m_dir, &m_overlapped, &got, FALSE)) {
                for (DWORD at = 0; got > 0;) {
                    const auto *info = reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(m_buffer + at);
                    m_names << QString::fromWCharArray(info->FileName, int(info->FileNameLength / sizeof(WCHAR)));
                    if (!info->NextEntryOffset)
                        break;
                    at += info->NextEntryOffset;
                }
                arm();
            }
            QCoreApplication::processEvents();
        } while (!done() && !deadline.hasExpired());
        return m_names;
    }

private:
    void arm()
    {
        ResetEvent(m_overlapped.hEvent);
        ReadDirectoryChangesW(m_dir, m_buffer, sizeof m_buffer, FALSE,
                              FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME, nullptr,
                              &m_overlapped, nullptr);
    }

    HANDLE m_dir;
    OVERLAPPED m_overlapped{};
    alignas(DWORD) char m_buffer[64 * 1024];
    QStringList m_names;
};

DWORD attributes(const QString &path)
{
    return GetFileAttributesW(nativePath(path).c_str());
}

} // namespace
#endif

void TestUpdaterEndToEnd::printsNoLookAlikes()
{
    // A character the ANSI code page lacks is printed as "?", never as a look-alike letter
    // that names another, valid-looking path ("Ω" as "O").
#ifndef Q_OS_WIN
    QSKIP("the path is printed in the locale's encoding as it is");
#else
    char omega[8];
    BOOL unmapped = FALSE;
    if (GetACP() == CP_UTF8
        || (WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, L"\u03a9", 1, omega, sizeof omega, nullptr, &unmapped), !unmapped))
        QSKIP("this ANSI code page has a letter for Ω");
    Installation inst(QString::fromUtf8("Ωmega"));
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    const QByteArray out = inst.process().readAllStandardOutput();
    QVERIFY2(out.endsWith("/?mega"), out.constData());
    QCOMPARE(inst.installed(), QStringList { "a=2" });
#endif
}

void TestUpdaterEndToEnd::waitsForRunningMainApp()
{
    // The old main application still runs: replacing its executable under it would give it
    // a mix of two releases. The update waits until it has exited, then installs everything
    // and starts the new one once; nothing of the updater's own is left.
#ifndef Q_OS_WIN
    QSKIP("POSIX replaces a running program's file; the process keeps the old one");
#else
    Installation inst;
    QVERIFY(inst.setUp({ "data/x=old" }, { "data/x=new", "y=new" }));
    QFile standin(QStringLiteral(STANDIN_APP));
    QVERIFY(standin.open(QIODevice::ReadOnly));
    const QByteArray newApp = standin.readAll() + "\nthe new release\n";
    QFile staged(inst.path("_update/Quillmoor.exe"));
    QVERIFY(staged.open(QIODevice::WriteOnly) && staged.write(newApp) == newApp.size());
    staged.close();
    const QStringList oldRelease = inst.installed();

    QProcess running;
    const QString stay = inst.path("bin/running");
    QVERIFY(treeutil::build(inst.root(), { "bin/running" }));
    running.start(inst.path("Quillmoor.exe"), { QStringLiteral("--stay-while"), stay });
    QVERIFY(running.waitForStarted());
    inst.start();
    QByteArray out;
    QVERIFY2(waitForAttempts(inst.process(), inst.printedPath(), 3, &out), out.constData());
    QCOMPARE(inst.process().state(), QProcess::Running);
    QCOMPARE(inst.release(), oldRelease);
    QCOMPARE(inst.launches(0), 0);
    QVERIFY(QFile::remove(stay));
    QVERIFY(running.waitForFinished(10000));
    QVERIFY(inst.process().waitForFinished(10000));
    QCOMPARE(inst.process().exitCode(), 0);
    // The updater has exited: no later launch can come.
    QCOMPARE(inst.launches(), 1);
    QCOMPARE(inst.installed(), QStringList({ "data/", "data/x=new", "y=new" }));
    QFile installedApp(inst.path("Quillmoor.exe"));
    QVERIFY(installedApp.open(QIODevice::ReadOnly));
    QVERIFY(installedApp.readAll() == newApp);
    QStringList own;
    for (const QString &line : treeutil::read(inst.root())) {
        const QString name = line.section(QLatin1Char('='), 0, 0);
        if (name.contains(QRegularExpression(QStringLiteral("(^|/)\\.qu-"))))
            own << name;
    }
    QVERIFY2(own.isEmpty(), qPrintable(own.join(QLatin1Char(' '))));
#endif
}

void TestUpdaterEndToEnd::findsHeldFilesBeforeCommit()
{
    // A file held without delete sharing is found before the commit starts: while it is
    // held no installed name changes and no commit marker appears, however late it comes in
    // the order. Once it is free the update completes.
#ifndef Q_OS_WIN
    QSKIP("POSIX has no file held against a rename");
#else
    Installation inst;
    QStringList installed, staged;
    for (const char *name : { "a", "b", "c", "m", "x", "y", "zz" }) {
        installed << QString::fromLatin1(name) + "=old";
        staged << QString::fromLatin1(name) + "=new";
    }
    QVERIFY(inst.setUp(installed, staged));
    const HANDLE held = CreateFileW(nativePath(inst.path("zz")).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(held != INVALID_HANDLE_VALUE);
    NameWatch watch(inst.root());
    inst.start();
    QByteArray out;
    const QStringList seen = watch.names([&] { // three attempts
        out += inst.process().readAllStandardOutput();
        return out.size() >= 3 * inst.printedPath().size();
    });
    CloseHandle(held);
    // Staging made and removed parts each time: the watch works here.
    QVERIFY2(!seen.filter(QStringLiteral(".qu-p")).isEmpty(), qPrintable(seen.join(' ')));
    // Parts, backups, the list of where they are and the lock come and go; the marker or an
    // installed name would not.
    const QStringList committed =
            seen.filter(QRegularExpression(QStringLiteral("^(?!\\.qu-[pb]|\\.qu-lock|\\.qu-dirs)")));
    QVERIFY2(committed.isEmpty(), qPrintable(committed.join(' ')));
    QVERIFY(inst.process().waitForFinished(10000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.launches(), 1);
    staged.sort();
    QCOMPARE(inst.installed(), staged);
#endif
}

void TestUpdaterEndToEnd::installsAtADriveRoot()
{
    // The installation is a drive's root: every path is joined without a doubled separator
    // (Windows passes "\\?\" paths on unparsed), the path printed is the drive's, and the
    // main application starts.
#ifndef Q_OS_WIN
    QSKIP("drive letters are Windows'");
#else
    const QString drive = qEnvironmentVariable("QUILL_TEST_DRIVE"); // an empty drive to use
    if (drive.isEmpty() || GetDriveTypeW(reinterpret_cast<const wchar_t *>((drive + "\\").utf16())) <= DRIVE_NO_ROOT_DIR)
        QSKIP("no empty drive to install at (QUILL_TEST_DRIVE; the Wine suite maps one)");
    const QString root = drive + '/';
    const auto clear = [&] {
        for (const QString &entry : QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
            QFileInfo(root + entry).isDir() ? QDir(root + entry).removeRecursively() : QFile::remove(root + entry);
    };
    clear();
    QVERIFY(treeutil::build(root, { "bin/", "a=1", "_update/a=2", "_update/d/b=2" }));
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), root + updaterName));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_APP), root + "Quillmoor.exe"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.start(root + updaterName, QStringList());
    const bool finished = process.waitForFinished(15000);
    const auto content = [&](const QString &name) {
        QFile file(root + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    };
    QDeadlineTimer deadline(5000); // the launch does not wait for the program to run
    while (finished && !content("started.txt").contains('\n') && !deadline.hasExpired())
        QTest::qWait(50);
    const QByteArray a = content("a"), b = content("d/b"), started = content("started.txt");
    const bool stagingLeft = QFileInfo::exists(root + "_update");
    clear();
    QVERIFY(finished);
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), root.toLatin1());
    QCOMPARE(a + b, QByteArray("22"));
    QVERIFY(!stagingLeft);
    QCOMPARE(started.count('\n'), 1);
#endif
}

void TestUpdaterEndToEnd::keepsReadOnlyOfLeftoverBackup()
{
    // A backup left by an attempt that failed is a second name of a read-only installed file;
    // removing it must not take the attribute (which the names share) off the installed file.
#ifndef Q_OS_WIN
    QSKIP("the read-only attribute is Windows'");
#else
    Installation inst;
    QVERIFY(inst.setUp({ "a=kept" }, { "b=new" }));
    QVERIFY(CreateHardLinkW(nativePath(inst.path(".qu-b5")).c_str(), nativePath(inst.path("a")).c_str(), nullptr));
    QVERIFY(SetFileAttributesW(nativePath(inst.path("a")).c_str(), FILE_ATTRIBUTE_READONLY));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.installed(), QStringList({ "a=kept", "b=new" }));
    QVERIFY(attributes(inst.path("a")) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(nativePath(inst.path("a")).c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
}

void TestUpdaterEndToEnd::leavesSystemEntries()
{
    // A staged file with the system attribute is not part of the release: neither installed
    // nor removed with the staging tree.
#ifndef Q_OS_WIN
    QSKIP("sockets and FIFOs, POSIX's system entries, are covered in tst_updater");
#else
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2", "desktop.ini=view", "sub/thumbs.db=cache", "sub/b=2" }));
    for (const char *name : { "_update/desktop.ini", "_update/sub/thumbs.db" })
        QVERIFY(SetFileAttributesW(nativePath(inst.path(name)).c_str(), FILE_ATTRIBUTE_SYSTEM));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.launches(), 1);
    QCOMPARE(inst.files(), QStringList({ "_update/", "_update/desktop.ini=view", "_update/sub/",
                                         "_update/sub/thumbs.db=cache", "a=2", "sub/", "sub/b=2" }));
#endif
}

void TestUpdaterEndToEnd::carriesManifestAndVersion()
{
    // The built program says what it needs and what it is: a manifest, a version resource
    // and the Windows version its imports need in its PE header.
#ifndef Q_OS_WIN
    QSKIP("resources are Windows'");
#else
    const std::wstring program = nativePath(QStringLiteral(UPDATER_BINARY));
    const HMODULE image = LoadLibraryExW(program.c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(image);
    const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    QVERIFY(found);
    const QByteArray manifest(static_cast<const char *>(LockResource(LoadResource(image, found))),
                              int(SizeofResource(image, found)));
    FreeLibrary(image);
    for (const char *setting : { "level=\"asInvoker\"", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                                 ">true</longPathAware>", ">PerMonitorV2, PerMonitor</dpiAwareness>" })
        QVERIFY2(manifest.contains(setting), setting);

    DWORD unused = 0;
    QByteArray info(int(GetFileVersionInfoSizeW(program.c_str(), &unused)), '\0');
    QVERIFY(!info.isEmpty() && GetFileVersionInfoW(program.c_str(), 0, DWORD(info.size()), info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    QVERIFY(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &size) && fixed);
    const QString version = QStringLiteral("%1.%2.%3").arg(HIWORD(fixed->dwFileVersionMS))
            .arg(LOWORD(fixed->dwFileVersionMS)).arg(HIWORD(fixed->dwFileVersionLS));
    QCOMPARE(version, QStringLiteral(PROJECT_VERSION));
    wchar_t *product = nullptr;
    QVERIFY(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                           reinterpret_cast<void **>(&product), &size));
    QCOMPARE(QString::fromWCharArray(product), QStringLiteral("Quillmoor"));
    wchar_t *copyright = nullptr;
    QVERIFY(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904b0\\LegalCopyright",
                           reinterpret_cast<void **>(&copyright), &size));
    QCOMPARE(QString::fromWCharArray(copyright), QStringLiteral(QUILLMOOR_COPYRIGHT));

    QFile file(QStringLiteral(UPDATER_BINARY));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray head = file.read(4096);
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(head.constData());
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(head.constData() + dos->e_lfanew);
    QCOMPARE(nt->OptionalHeader.MajorSubsystemVersion, WORD(10));
    QCOMPARE(nt->OptionalHeader.MajorOperatingSystemVersion, WORD(10));
#endif
}

QTEST_GUILESS_MAIN(TestUpdaterEndToEnd)
#include "tst_updater_e2e.moc"
