// File names and paths: the text helpers, numbered names and tree removal on a real disk.
#include "tools.h"
#include "treeutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

// Links and FIFOs as the removal tests need them cannot be made on Windows (Qt's links there
// are shortcut files, and there are no FIFOs): rows with them are skipped.
#ifdef Q_OS_WIN
#define SKIP_LINKS_AND_FIFOS(entries)                                                             \
    do {                                                                                          \
        if (!(entries).filter(QStringLiteral(" -> ")).isEmpty()                                   \
            || !(entries).filter(QStringLiteral("|")).isEmpty())                                  \
            QSKIP("symbolic links and FIFOs cannot be made on Windows");                          \
    } while (false)
#else
#define SKIP_LINKS_AND_FIFOS(entries) do { } while (false)
#endif

namespace {

// Runs `action` with the process's standard output sent to a file and returns the bytes that
// reached it. Nothing is flushed afterwards: lines the code left in the stdio buffer would
// miss the capture, which is how the test sees that each line is flushed as it is written.
QByteArray captureStdout(const std::function<void()> &action)
{
    QTemporaryFile capture;
    if (!capture.open())
        return "capture failed";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(capture.handle(), STDOUT_FILENO);
    action();
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    capture.seek(0);
    return capture.readAll();
}

// Builds entries below `root`: "name/" a directory, "name -> target" a symbolic link to
// `linkBase`/target (`root` when not given), "name|" a FIFO, anything else a file.
bool makeEntries(const QString &root, const QStringList &entries, QString linkBase = QString())
{
    if (linkBase.isEmpty())
        linkBase = root;
    for (const QString &entry : entries) {
        const int arrow = entry.indexOf(QLatin1String(" -> "));
        bool ok;
        if (entry.endsWith(QLatin1Char('/'))) {
            ok = QDir(root).mkpath(entry);
#ifndef Q_OS_WIN
        } else if (entry.endsWith(QLatin1Char('|'))) {
            const QString path = root + QLatin1Char('/') + entry.chopped(1);
            ok = ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
#endif
        } else if (arrow > 0) {
            ok = QFile::link(linkBase + QLatin1Char('/') + entry.mid(arrow + 4),
                             root + QLatin1Char('/') + entry.left(arrow));
        } else {
            QFile file(root + QLatin1Char('/') + entry);
            ok = file.open(QIODevice::WriteOnly) && file.write("content") == 7;
        }
        if (!ok)
            return false;
        treeutil::applyHiddenNames(root, entry.endsWith(QLatin1Char('/')) ? entry.chopped(1) : entry);
    }
    return true;
}

// The tables' absolute paths start at the root; on Windows that is the current drive's root.
QString rooted(const QString &path)
{
#ifdef Q_OS_WIN
    if (path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1String("//")))
        return QDir::currentPath().left(2) + path;
#endif
    return path;
}

} // namespace

class TestFileNames : public QObject
{
    Q_OBJECT

private slots:
    void pathParts_data();
    void pathParts();
    void changeFileExt_data();
    void changeFileExt();
    void uniqueFileName_data();
    void uniqueFileName();
    void uniqueFileNameRelative();
    void cleanFileName_data();
    void cleanFileName();
    void toForwardSlashes_data();
    void toForwardSlashes();
    void removeDirTree_data();
    void removeDirTree();
    void removeDirTreeStopsAtFirstFailure();
    void removeDirTreeOfALinkRemovesTheLinkOnly();
};

// "@" in an expected value stands for the current directory.
void TestFileNames::pathParts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("filePath");
    QTest::addColumn<QString>("fileExt");

    QTest::newRow("two suffixes") << "/d/archive.tar.gz" << "archive.tar.gz" << "/d" << ".gz";
    QTest::newRow("no suffix") << "/d/readme" << "readme" << "/d" << "";
    QTest::newRow("leading dot") << "/d/.profile" << ".profile" << "/d" << ".profile";
    QTest::newRow("trailing dot") << "/my.files/notes." << "notes." << "/my.files" << "";
    QTest::newRow("dot in directory") << "/d/a.b/c" << "c" << "/d/a.b" << "";
    QTest::newRow("ends in slash") << "/d/sub/" << "" << "/d/sub" << "";
    QTest::newRow("in root") << "/top.txt" << "top.txt" << "/" << ".txt";
    QTest::newRow("bare name") << "notes.txt" << "notes.txt" << "@" << ".txt";
    QTest::newRow("relative") << "sub/x.y" << "x.y" << "@/sub" << ".y";
    QTest::newRow("empty") << "" << "" << "" << "";
}

void TestFileNames::pathParts()
{
    QFETCH(QString, path);
    QFETCH(QString, fileName);
    QFETCH(QString, filePath);
    QFETCH(QString, fileExt);
    filePath.replace(QLatin1Char('@'), QDir::currentPath());
    filePath = rooted(filePath);

    const QString name = extractFileName(path);
    const QString directory = extractFilePath(path);
    const QString ext = extractFileExt(path);
    QCOMPARE(name, fileName);
    QCOMPARE(directory, filePath);
    QCOMPARE(ext, fileExt);
    QVERIFY(!name.isNull() && !directory.isNull() && !ext.isNull());
}

void TestFileNames::changeFileExt_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("newExt");
    QTest::addColumn<QString>("expected");

    QTest::newRow("cuts at first dot") << "/d/archive.tar.gz" << ".zip" << "/d/archive.zip";
    QTest::newRow("empty extension") << "/d/archive.tar.gz" << "" << "/d/archive";
    QTest::newRow("no dot in new") << "/d/a.txt" << "bak" << "/d/abak";
    QTest::newRow("none before") << "/d/readme" << ".md" << "/d/readme.md";
    QTest::newRow("hidden file") << "/d/.profile" << ".bak" << "/d/.bak";
    QTest::newRow("dot in directory") << "/d.x/a" << ".y" << "/d.x/a.y";
    QTest::newRow("in root, one slash") << "/top.txt" << ".zip" << "/top.zip";
    QTest::newRow("relative made absolute") << "sub/a.txt" << ".csv" << "@/sub/a.csv";
}

void TestFileNames::changeFileExt()
{
    QFETCH(QString, path);
    QFETCH(QString, newExt);
    QFETCH(QString, expected);
    expected.replace(QLatin1Char('@'), QDir::currentPath());
    QCOMPARE(::changeFileExt(path, newExt), rooted(expected));
}

void TestFileNames::uniqueFileName_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("free") << QStringList() << "a.txt" << "a.txt";
    QTest::newRow("taken") << QStringList{"a.txt"} << "a.txt" << "a(1).txt";
    QTest::newRow("taken twice") << QStringList{"a.txt", "a(1).txt"} << "a.txt" << "a(2).txt";
    QTest::newRow("gap reused") << QStringList{"a.txt", "a(2).txt"} << "a.txt" << "a(1).txt";
    QTest::newRow("directory at name") << QStringList{"a.txt/"} << "a.txt" << "a(1).txt";
    QTest::newRow("directory at number")
            << QStringList{"a.txt", "a(1).txt/"} << "a.txt" << "a(2).txt";
    QTest::newRow("no suffix keeps dot") << QStringList{"readme"} << "readme" << "readme(1).";
    QTest::newRow("all suffixes kept")
            << QStringList{"x.tar.gz"} << "x.tar.gz" << "x(1).tar.gz";
    QTest::newRow("numbers from the given name")
            << QStringList{"a(1).txt"} << "a(1).txt" << "a(1)(1).txt";
    QTest::newRow("placeholders in directory")
            << QStringList{"%1 %2/", "%1 %2/x.txt"} << "%1 %2/x.txt" << "%1 %2/x(1).txt";
}

void TestFileNames::uniqueFileName()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(makeEntries(tmp.path(), existing));

    const QString result = ::uniqueFileName(tmp.filePath(name));
    QCOMPARE(result, tmp.filePath(expected));
    QVERIFY(!QFileInfo::exists(result));
}

void TestFileNames::uniqueFileNameRelative()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(makeEntries(tmp.path(), {"taken.txt"}));
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(tmp.path()));
    const QString freeName = ::uniqueFileName(QStringLiteral("free.txt"));
    const QString numbered = ::uniqueFileName(QStringLiteral("taken.txt"));
    const QString current = QDir::currentPath();
    QDir::setCurrent(previous);

    QCOMPARE(freeName, QStringLiteral("free.txt"));
    QCOMPARE(numbered, current + QStringLiteral("/taken(1).txt"));
    const QString empty = ::uniqueFileName(QString());
    QVERIFY(empty.isEmpty() && !empty.isNull());
}

void TestFileNames::cleanFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("expected");

    const QString controls = QStringLiteral("a\bb") + QChar(0) + QStringLiteral("c\x01\x1f\x7f");
    QTest::newRow("colon and question") << "a:b?c" << "_" << "a_b_c";
    QTest::newRow("all fifteen") << "\\/:*?\"<>|\n\a\f\r\t\v" << "_" << QString(15, '_');
    QTest::newRow("other controls stay") << controls << "_" << controls;
    QTest::newRow("empty replacement") << "<a>|b" << "" << "ab";
    QTest::newRow("longer replacement") << "a/b" << " - " << "a - b";
    QTest::newRow("nothing to clean") << "report 2024.pdf" << "_" << "report 2024.pdf";
    QTest::newRow("empty name") << "" << "_" << "";
    // Scanning the replacement again would double the text at every later colon.
    QTest::newRow("forbidden in replacement") << "a:b:c" << "::" << "a::b::c";
    QTest::newRow("no blow-up") << QString(64, '?') << "??" << QString(128, '?');
}

void TestFileNames::cleanFileName()
{
    QFETCH(QString, name);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    const QString result = ::cleanFileName(name, replacement);
    QCOMPARE(result, expected);
    QVERIFY(!result.isNull());
}

void TestFileNames::toForwardSlashes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("network path") << "\\\\server\\share\\a" << "//server/share/a";
    QTest::newRow("mixed") << "D:\\a/b\\c" << "D:/a/b/c";
    QTest::newRow("nothing else cleaned") << "a\\.\\..\\\\b" << "a/./..//b";
    QTest::newRow("already forward") << "/x/y" << "/x/y";
    QTest::newRow("empty") << "" << "";
}

void TestFileNames::toForwardSlashes()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    const QString result = ::toForwardSlashes(path);
    QCOMPARE(result, expected);
    QVERIFY(!result.isNull());
}

// The tree is "tree" inside a temporary directory that also holds "outside/keep.txt" and
// "outside/inner/deep.txt", which links in the tree point at and which must survive. Link
// targets are named from the temporary directory.
void TestFileNames::removeDirTree_data()
{
    QTest::addColumn<bool>("create");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QStringList>("remaining");

    const QStringList none;
    QTest::newRow("missing") << false << none << true << none << none;
    QTest::newRow("empty") << true << none << true << none << none;
    QTest::newRow("file in subdirectory")
            << true << QStringList{"sub/", "sub/a.txt"} << true
            << QStringList{"sub/a.txt", "sub"} << none;
    QTest::newRow("several levels")
            << true << QStringList{"a.txt", "b/", "b/c/", "b/c/d.txt", "b/e.txt", "f/"} << true
            << QStringList{"a.txt", "b/c/d.txt", "b/c", "b/e.txt", "b", "f"} << none;
    QTest::newRow("percent and spaces")
            << true << QStringList{"100%25 %1 d%s.txt"} << true
            << QStringList{"100%25 %1 d%s.txt"} << none;
    QTest::newRow("link to outside directory")
            << true << QStringList{"out -> outside", "x.txt"} << true
            << QStringList{"out", "x.txt"} << none;
    QTest::newRow("link to outside file")
            << true << QStringList{"keep -> outside/keep.txt"} << true
            << QStringList{"keep"} << none;
    QTest::newRow("link back above the tree")
            << true << QStringList{"sub/", "sub/up -> ."} << true
            << QStringList{"sub/up", "sub"} << none;
    QTest::newRow("dangling link")
            << true << QStringList{"gone -> nowhere", "x.txt"} << true
            << QStringList{"gone", "x.txt"} << none;
    QTest::newRow("dangling link in subdirectory")
            << true << QStringList{"sub/", "sub/gone -> nowhere"} << true
            << QStringList{"sub/gone", "sub"} << none;
    QTest::newRow("hidden dangling link stays")
            << true << QStringList{".gone -> nowhere", "a.txt"} << false
            << QStringList{"a.txt"} << QStringList{".gone"};
    QTest::newRow("FIFO stays")
            << true << QStringList{"pipe|", "a.txt"} << false << QStringList{"a.txt"}
            << QStringList{"pipe"};
    QTest::newRow("link to a FIFO is a link")
            << true << QStringList{"sub/", "sub/pipe|", "sub/p -> tree/sub/pipe"} << false
            << QStringList{"sub/p", "sub"} << QStringList{"sub/pipe"};
    QTest::newRow("hidden entry stays")
            << true << QStringList{".keep", "a.txt"} << false << QStringList{"a.txt"}
            << QStringList{".keep"};
    QTest::newRow("subdirectory not emptied")
            << true << QStringList{"sub/", "sub/.keep"} << false << QStringList{"sub"}
            << QStringList{"sub/.keep"};
}

void TestFileNames::removeDirTree()
{
    QFETCH(bool, create);
    QFETCH(QStringList, entries);
    QFETCH(bool, expectedResult);
    QFETCH(QStringList, expectedLines);
    QFETCH(QStringList, remaining);
    SKIP_LINKS_AND_FIFOS(entries);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(makeEntries(tmp.path(), {"outside/inner/", "outside/keep.txt", "outside/inner/deep.txt"}));
    const QString root = tmp.filePath(QStringLiteral("tree"));
    if (create) {
        QVERIFY(QDir().mkdir(root));
        QVERIFY(makeEntries(root, entries, tmp.path()));
    }

    QDir dir(root);
    bool result = !expectedResult;
    const QByteArray output = captureStdout([&] { result = ::removeDirTree(dir); });

    QCOMPARE(result, expectedResult);
    QStringList lines = QString::fromLocal8Bit(output).split(QLatin1Char('\n'));
    QCOMPARE(lines.takeLast(), QString()); // every line ends in a line feed
    if (expectedLines.isEmpty())
        QCOMPARE(output, QByteArray());
    // Entries come in the file system's order; a directory's line follows its contents.
    for (int i = 0; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).startsWith(root + QLatin1Char('/')), qPrintable(lines.at(i)));
        for (int j = i + 1; j < lines.size(); ++j)
            QVERIFY2(!lines.at(j).startsWith(lines.at(i) + QLatin1Char('/')),
                     qPrintable(lines.at(j) + " after " + lines.at(i)));
        lines[i].remove(0, root.size() + 1);
    }
    lines.sort();
    expectedLines.sort();
    QCOMPARE(lines, expectedLines);

    QCOMPARE(QFileInfo::exists(root), !remaining.isEmpty());
    for (const QString &left : remaining) {
        const QFileInfo info(root + QLatin1Char('/') + left);
        QVERIFY2(info.exists() || info.isSymLink(), qPrintable(left));
    }
    for (const char *kept : {"outside/keep.txt", "outside/inner/deep.txt"}) {
        QFile file(tmp.filePath(QLatin1String(kept)));
        QVERIFY2(file.open(QIODevice::ReadOnly) && file.readAll() == "content", kept);
    }
}

// A subdirectory that cannot be emptied stops the walk: whatever was listed after it is
// left alone, whatever came before is gone.
void TestFileNames::removeDirTreeStopsAtFirstFailure()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QStringList names{"a.txt", "b/", "b/x.txt", "stuck/", "stuck/.hidden", "c.txt", "d/",
                            "e.txt"};
    QVERIFY(makeEntries(tmp.path(), names));
    QDir dir(tmp.path());
    const QStringList order = QDir(tmp.path()).entryList(
            QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);

    bool result = true;
    const QByteArray output = captureStdout([&] { result = ::removeDirTree(dir); });
    QVERIFY(!result);

    QStringList expected;
    for (const QString &name : order) {
        if (name == QLatin1String("b"))
            expected << tmp.filePath(QStringLiteral("b/x.txt"));
        expected << tmp.filePath(name);
        if (name == QLatin1String("stuck"))
            break;
    }
    QCOMPARE(QString::fromLocal8Bit(output), expected.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    bool reached = false;
    for (const QString &name : order) {
        reached = reached || name == QLatin1String("stuck");
        QCOMPARE(QFileInfo::exists(tmp.filePath(name)), reached);
    }
    QVERIFY(QFileInfo::exists(tmp.filePath(QStringLiteral("stuck/.hidden"))));
}

void TestFileNames::removeDirTreeOfALinkRemovesTheLinkOnly()
{
    SKIP_LINKS_AND_FIFOS(QStringList { " -> " });
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(makeEntries(tmp.path(), {"outside/", "outside/keep.txt", "link -> outside"}, tmp.path()));
    QDir dir(tmp.filePath(QStringLiteral("link")));
    bool result = false;
    const QByteArray output = captureStdout([&] { result = ::removeDirTree(dir); });
    QVERIFY(result);
    QCOMPARE(output, QByteArray());
    QVERIFY(!QFileInfo(tmp.filePath(QStringLiteral("link"))).isSymLink());
    QFile kept(tmp.filePath(QStringLiteral("outside/keep.txt")));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("content"));
}

QTEST_GUILESS_MAIN(TestFileNames)
#include "tst_filenames.moc"
