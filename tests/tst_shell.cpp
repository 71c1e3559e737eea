// The shell layer with real child processes: the Windows shell on Windows, detached
// processes and a captured desktop hand-off elsewhere.
#include "tools.h"
#include "treeutil.h"

#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

// The character type the shell layer takes on this platform.
std::basic_string<ShellChar> native(const QString &text)
{
    std::basic_string<ShellChar> result(size_t(text.size()), ShellChar());
    for (int i = 0; i < text.size(); ++i)
        result[size_t(i)] = ShellChar(text[i].unicode());
    return result;
}

// What the stand-in recorded: its working directory, then its arguments.
QStringList waitForMarker(const QString &path)
{
    QDeadlineTimer deadline(15000);
    QFile file(path);
    while (!deadline.hasExpired() && file.size() == 0)
        QTest::qWait(50);
    if (!file.open(QIODevice::ReadOnly))
        return { "no marker" };
    QStringList fields = QString::fromUtf8(file.readLine()).trimmed().split(QLatin1Char('\t'));
    fields[0] = QDir::fromNativeSeparators(fields[0]);
    return fields;
}

} // namespace

class TestShell : public QObject
{
    Q_OBJECT

public slots:
    void captureUrl(const QUrl &url) { m_opened << url; }

private slots:
    // The tests run with Wine reporting Windows 10, or on a system that is not Windows.
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
    QTest::addColumn<bool>("relative"); // the file named relative to the current directory
    QTest::addColumn<QStringList>("arguments");

    QTest::newRow("no parameters, current directory") << QString() << false << false << QStringList {};
    QTest::newRow("relative name, current directory") << QString() << false << true << QStringList {};
#ifdef Q_OS_WIN
    // The started program splits its command line itself, as the C runtime does.
    QTest::newRow("quoted parameters, given directory")
            << QString("one \"two three\" four\\five") << true << false
            << QStringList { "[one]", "[two three]", "[four\\five]" };
#else
    QTest::newRow("quoted parameters, given directory")
            << QString("one \"two three\" 'four five' six\\ seven") << true << false
            << QStringList { "[one]", "[two three]", "[four five]", "[six seven]" };
    QTest::newRow("empty and joined quotes, no expansion")
            << QString("  a \"\" 'x'\"y\"z '$HOME' \"\\$q \\\"\"  ") << false << false
            << QStringList { "[a]", "[]", "[xyz]", "[$HOME]", "[$q \"]" };
#endif
}

void TestShell::startsExecutableDetached()
{
    QFETCH(QString, parameters);
    QFETCH(bool, withDirectory);
    QFETCH(bool, relative);
    QFETCH(QStringList, arguments);

    // The stand-in waits for "go" before it records anything.
    QTemporaryDir dir, work;
    const QString program = dir.path() + "/has space.exe";
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_APP), program));
    QVERIFY(treeutil::build(dir.path(), { "hold" }));

    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path());
    const auto file = native(relative ? QStringLiteral("has space.exe") : QDir::toNativeSeparators(program)), params = native(parameters),
               directory = native(QDir::toNativeSeparators(work.path()));
    const int result = shellExecuteFile(nullptr, file.c_str(), parameters.isNull() ? nullptr : params.c_str(),
                                        withDirectory ? directory.c_str() : nullptr);
    QDir::setCurrent(before);
    QVERIFY(result != 0);

    // Only now may the program go on: a launch that had waited for it would not be here yet.
    QVERIFY(treeutil::build(dir.path(), { "go" }));
    const QStringList marker = waitForMarker(dir.path() + "/started.txt");
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
    const auto name = native(file);
    QCOMPARE(shellExecuteFile(nullptr, name.c_str(), nullptr, nullptr), 0);
    QCOMPARE(shellExecuteFile(nullptr, nullptr, nullptr, nullptr), 0);
    QVERIFY(m_opened.isEmpty());
    QDesktopServices::unsetUrlHandler("file");
}

void TestShell::opensOtherFilesOnTheDesktop()
{
#ifdef Q_OS_WIN
    QSKIP("on Windows the shell itself opens documents with their program");
#endif
    QTemporaryDir dir;
    QVERIFY(treeutil::build(dir.path(), { "notes #1.txt=hello", "folder/" }));
    QDesktopServices::setUrlHandler("file", this, "captureUrl");
    m_opened.clear();
    for (const QString name : { "notes #1.txt", "folder" }) {
        const auto path = native(dir.path() + "/" + name);
        QVERIFY(shellExecuteFile(nullptr, path.c_str(), nullptr, nullptr) != 0);
    }
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(m_opened, QList<QUrl>({ QUrl::fromLocalFile(dir.path() + "/notes #1.txt"),
                                     QUrl::fromLocalFile(dir.path() + "/folder") }));
}

QTEST_MAIN(TestShell)
#include "tst_shell.moc"
