// The built updater run as a process in a throw-away installation.
#include "treeutil.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The stand-in main application notes where it was started.
const char mainApp[] = "#!/bin/sh\npwd > \"$(dirname \"$0\")/started.txt\"\n";

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

    bool setUp(const QStringList &installed, const QStringList &staged, bool withMainApp = true)
    {
        const QString updater = path(QStringLiteral("bin/updater"));
        if (!QFile::copy(QStringLiteral(UPDATER_BINARY), updater))
            return false;
        QFile::setPermissions(updater, QFile::permissions(QStringLiteral(UPDATER_BINARY)));
        if (withMainApp) {
            if (!treeutil::build(m_root, { QStringLiteral("Quillmoor.exe=") + mainApp }))
                return false;
            QFile::setPermissions(path(QStringLiteral("Quillmoor.exe")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        return treeutil::build(m_root, installed)
                && (staged.isEmpty() || treeutil::build(path(QStringLiteral("_update")), staged));
    }

    void start()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_process.setProcessEnvironment(env);
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.start(path(QStringLiteral("bin/updater")), QStringList());
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
                const QByteArray text = marker.readAll().trimmed();
                if (!text.isEmpty())
                    return QString::fromLocal8Bit(text);
                marker.close();
            }
            QTest::qWait(50);
        }
        return QString();
    }

    // The installation directory as the updater prints it.
    QByteArray printedPath() const { return QFileInfo(m_root).canonicalFilePath().toLocal8Bit(); }

    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_temp;
    QString m_root;
    QProcess m_process;
};

} // namespace

class TestUpdaterEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void completesUpdate_data();
    void completesUpdate();
    void retriesWithoutStagingDirectory();
    void finishesOnceConflictClears();
    void retriesOnlyTheLaunch();
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
}

void TestUpdaterEndToEnd::completesUpdate()
{
    QFETCH(QString, name);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, staged);
    QFETCH(QStringList, after);
    QFETCH(bool, stagingRemains);

    Installation inst(name);
    QVERIFY(inst.setUp(installed, staged));
    inst.start();
    QVERIFY(inst.process().waitForFinished(15000));
    QCOMPARE(inst.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(inst.process().exitCode(), 0);
    QCOMPARE(inst.process().readAllStandardOutput(), inst.printedPath());
    QCOMPARE(inst.launchedIn(), QFileInfo(inst.path("bin")).canonicalFilePath());
    QCOMPARE(inst.files(), after);
    QCOMPARE(QFileInfo::exists(inst.path("_update")), stagingRemains);
}

void TestUpdaterEndToEnd::retriesWithoutStagingDirectory()
{
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, {}));
    inst.start();
    QTest::qWait(5600); // first attempt at 3 s, then one a second
    const QByteArray out = inst.process().readAllStandardOutput();
    inst.process().kill();
    inst.process().waitForFinished();
    const QByteArray once = inst.printedPath();
    QVERIFY2(out.size() >= 2 * once.size(), out.constData());
    QCOMPARE(out, once.repeated(out.size() / once.size()));
    QVERIFY(inst.launchedIn(0).isEmpty());
    QCOMPARE(inst.files(), QStringList { "a=1" });
}

void TestUpdaterEndToEnd::finishesOnceConflictClears()
{
    // A staged file whose name is taken by a directory cannot be copied; once the directory
    // goes, the next attempt finishes the update and copies everything again.
    Installation inst;
    QVERIFY(inst.setUp({ "conflict/inner=i" }, { "a=new", "conflict=file", "z=new" }));
    inst.start();
    QVERIFY(inst.process().waitForReadyRead(10000));
    QTest::qWait(300);
    QVERIFY(QDir(inst.path("conflict")).removeRecursively());
    QVERIFY(inst.process().waitForFinished(10000));
    QCOMPARE(inst.process().exitCode(), 0);
    const QByteArray out = inst.process().readAllStandardOutput();
    const QByteArray once = inst.printedPath();
    QVERIFY(out.size() >= 2 * once.size());
    QCOMPARE(out, once.repeated(out.size() / once.size()));
    QVERIFY(!inst.launchedIn().isEmpty());
    QCOMPARE(inst.files(), QStringList({ "a=new", "conflict=file", "z=new" }));
}

void TestUpdaterEndToEnd::retriesOnlyTheLaunch()
{
    // Without a main application the launch is refused: the copy happens once, the staging
    // tree goes, and the updater keeps trying to launch.
    Installation inst;
    QVERIFY(inst.setUp({ "a=1" }, { "a=2" }, false));
    inst.start();
    QTest::qWait(5600);
    QCOMPARE(inst.process().state(), QProcess::Running);
    const QByteArray out = inst.process().readAllStandardOutput();
    inst.process().kill();
    inst.process().waitForFinished();
    QCOMPARE(out, inst.printedPath());
    QCOMPARE(inst.files(), QStringList { "a=2" });
}

QTEST_GUILESS_MAIN(TestUpdaterEndToEnd)
#include "tst_updater_e2e.moc"
