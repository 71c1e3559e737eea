// The shell layer where there is no Windows shell: real child processes and a captured
// desktop hand-off.
#include "tools.h"
#include "treeutil.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

// A script that waits until the test lets it go, then writes its arguments and working
// directory. If the launch waited for it, it would give up and write "waited" instead.
const char script[] =
        "#!/bin/sh\n"
        "dir=$(dirname \"$0\")\n"
        "i=0\n"
        "while [ ! -e \"$dir/go\" ]; do\n"
        "  i=$((i+1)); [ $i -gt 100 ] && { echo waited > \"$dir/marker.tmp\"; mv \"$dir/marker.tmp\" \"$dir/marker\"; exit 1; }\n"
        "  sleep 0.1\n"
        "done\n"
        "{ pwd; for a in \"$@\"; do echo \"[$a]\"; done; } > \"$dir/marker.tmp\"\n"
        "mv \"$dir/marker.tmp\" \"$dir/marker\"\n";

std::u16string utf16(const QString &text)
{
    return text.toStdU16String();
}

QStringList waitForMarker(const QString &path)
{
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && !QFileInfo::exists(path))
        QTest::qWait(50);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return { "no marker" };
    return QString::fromLocal8Bit(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

public slots:
    void captureUrl(const QUrl &url) { m_opened << url; }

private slots:
    void noElevation() { QVERIFY(!isWindowsVista()); }
    void startsExecutableDetached_data();
    void startsExecutableDetached();
    void refusesWhatIsNotThere_data();
    void refusesWhatIsNotThere();
    void opensOtherFilesOnTheDesktop();

private:
    QList<QUrl> m_opened;
};

void TestShell::startsExecutableDetached_data()
{
    QTest::addColumn<QString>("parameters");
    QTest::addColumn<bool>("withDirectory");
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no parameters, current directory") << QString() << false << QStringList {};
    QTest::newRow("quoted parameters, given directory")
            << QString("one \"two three\" 'four five' six\\ seven") << true
            << QStringList { "[one]", "[two three]", "[four five]", "[six seven]" };
    QTest::newRow("empty and joined quotes, no expansion")
            << QString("  a \"\" 'x'\"y\"z '$HOME' \"\\$q \\\"\"  ") << false
            << QStringList { "[a]", "[]", "[xyz]", "[$HOME]", "[$q \"]" };
}

void TestShell::startsExecutableDetached()
{
    QFETCH(QString, parameters);
    QFETCH(bool, withDirectory);
    QFETCH(QStringList, arguments);

    QTemporaryDir dir, work;
    const QString program = dir.path() + "/has space.sh";
    QVERIFY(treeutil::build(dir.path(), { QString("has space.sh=") + script }));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const std::u16string file = utf16(program), params = utf16(parameters), directory = utf16(work.path());
    const int result = shellExecuteFile(nullptr, file.c_str(), parameters.isNull() ? nullptr : params.c_str(),
                                        withDirectory ? directory.c_str() : nullptr);
    QDir::setCurrent(before);
    QVERIFY(result != 0);

    // Only now may the program go on: a launch that had waited for it would not be here yet.
    QVERIFY(treeutil::build(dir.path(), { "go" }));
    const QStringList marker = waitForMarker(dir.path() + "/marker");
    const QString expectedDir = QFileInfo(withDirectory ? work.path() : dir.path()).canonicalFilePath();
    QCOMPARE(marker, QStringList { expectedDir } + arguments);
}

void TestShell::refusesWhatIsNotThere_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("missing file") << QString("/nonexistent/quillmoor/Quillmoor.exe");
    QTest::newRow("empty name") << QString("");
}

void TestShell::refusesWhatIsNotThere()
{
    QFETCH(QString, file);
    QDesktopServices::setUrlHandler("file", this, "captureUrl");
    m_opened.clear();
    const std::u16string name = utf16(file);
    QCOMPARE(shellExecuteFile(nullptr, name.c_str(), nullptr, nullptr), 0);
    QCOMPARE(shellExecuteFile(nullptr, nullptr, nullptr, nullptr), 0);
    QVERIFY(m_opened.isEmpty());
    QDesktopServices::unsetUrlHandler("file");
}

void TestShell::opensOtherFilesOnTheDesktop()
{
    QTemporaryDir dir;
    QVERIFY(treeutil::build(dir.path(), { "notes #1.txt=hello", "folder/" }));
    QDesktopServices::setUrlHandler("file", this, "captureUrl");
    m_opened.clear();
    for (const QString name : { "notes #1.txt", "folder" }) {
        const std::u16string path = utf16(dir.path() + "/" + name);
        QVERIFY(shellExecuteFile(nullptr, path.c_str(), nullptr, nullptr) != 0);
    }
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(m_opened, QList<QUrl>({ QUrl::fromLocalFile(dir.path() + "/notes #1.txt"),
                                     QUrl::fromLocalFile(dir.path() + "/folder") }));
}

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
