// Kills the real updater with SIGKILL at random moments while it installs a large staged
// release over an installation, and checks after every kill that each installed file is
// whole: byte for byte its old or its new version, never missing, empty or a mix of both.
// Each kill is put in the phase it landed in, read off what the killed run left on disk,
// and the installation must be entirely old or entirely new unless the kill came inside
// the commit. A last run that is left alone must then finish the update and leave nothing
// of its own behind.
//
// QUILL_KILL_TRIALS sets the number of kills that must land inside the update (default 20);
// QUILL_KILL_SEED replays the layout and kill moments of an earlier run.
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The names the updater gives its own entries: parts, backups, the commit marker, the list of
// directories holding them.
const QRegularExpression ownName(QStringLiteral("^\\.qu-([pba][0-9a-z]+|commit|dirs)$"));
const char commitMarker[] = ".qu-commit";

// Where a kill landed, read off the disk: the commit marker stands while parts replace
// their targets; parts without it mean staging (or the sync before the commit).
enum class Phase { Before, Stage, Commit, CleanUp, After, Count };
const char *const phaseNames[] = { "before staging", "stage and sync", "commit",
                                   "clean-up after the commit", "after the install" };
enum class Tree { Old, New, Mixed, Count };
const char *const treeNames[] = { "entirely old", "entirely new", "mixed" };

struct ReleaseFile
{
    QString path;     // relative to the installation
    bool inOld;       // false: a file that only the new release brings
    quint32 oldSeed;
    quint32 newSeed;
    qint64 oldSize;
    qint64 newSize;
    QByteArray oldHash;
    QByteArray newHash;
};

// Deterministic content for one version of one file: a kill that mixes the two versions,
// cuts a file short or leaves an empty one cannot match either hash.
QByteArray content(quint32 seed, qint64 size)
{
    QByteArray bytes(int((size + 3) / 4 * 4), Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                     bytes.size() / 4);
    bytes.truncate(int(size));
    return bytes;
}

QByteArray md5(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
}

// Always a new file: a killed run may leave an installed file and its staged name as one
// file, and writing through one name would change the other.
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size() && file.flush();
}

enum class Found { Missing, Old, New, Other };

Found identify(const QString &path, const ReleaseFile &entry)
{
    QFileInfo info(path);
    if (!info.exists())
        return Found::Missing;
    if (!info.isFile() || info.isSymLink())
        return Found::Other;
    const qint64 size = info.size();
    if (size != entry.newSize && !(entry.inOld && size == entry.oldSize))
        return Found::Other;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Found::Other;
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(&file);
    const QByteArray got = hash.result();
    if (got == entry.newHash)
        return Found::New;
    if (entry.inOld && got == entry.oldHash)
        return Found::Old;
    return Found::Other;
}

// The updater's own entries below `root`, the staging tree left out.
QStringList ownEntriesUnder(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (ownName.match(it.fileName()).hasMatch() && !path.contains(QLatin1String("/_update/")))
            found << path;
    }
    return found;
}

} // namespace

class TestKilledUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedCopiesLoseNothing();

private:
    void buildLayout();
    void writeOldInstallation(bool onlyWhereChanged);
    void writeStaging(bool onlyMissing);
    QProcess *startUpdater();
    // Checks that every installed file is its old or new version; counts the new ones.
    void checkWhole(const QString &when, int *newCount, int *oldCount);

    QTemporaryDir m_root;
    QString m_install;
    QString m_staging;
    QString m_marker;
    QString m_updater;
    std::vector<ReleaseFile> m_files;
    std::vector<Found> m_found; // per file, as the last check saw it
    QRandomGenerator m_random;
    quint32 m_seed = 0;
};

void TestKilledUpdate::initTestCase()
{
    QVERIFY(m_root.isValid());
    bool seeded = false;
    m_seed = qEnvironmentVariable("QUILL_KILL_SEED").toUInt(&seeded);
    if (!seeded)
        m_seed = QRandomGenerator::global()->generate();
    m_random.seed(m_seed);
    qInfo("seed %u (set QUILL_KILL_SEED to replay)", m_seed);

    m_install = m_root.path() + QStringLiteral("/install");
    m_staging = m_install + QStringLiteral("/_update");
    m_marker = m_install + QStringLiteral("/started.txt"); // the stand-in's record of its start

    QVERIFY(QDir().mkpath(m_install + QStringLiteral("/bin")));
    m_updater = m_install + QStringLiteral("/bin/") + QFileInfo(QStringLiteral(UPDATER_BINARY)).fileName();
    QVERIFY(QFile::copy(QStringLiteral(UPDATER_BINARY), m_updater));
    QVERIFY(QFile::copy(QStringLiteral(STANDIN_APP), m_install + QStringLiteral("/Quillmoor.exe")));
    buildLayout();
    writeOldInstallation(false);
    writeStaging(false);
}

void TestKilledUpdate::buildLayout()
{
    // A few thousand small files in nested directories, a handful of large ones that take
    // long enough to copy that kills land inside them, and some files only the release has.
    const int smallFiles = 2000;
    for (int i = 0; i < smallFiles; ++i) {
        ReleaseFile entry;
        entry.path = QStringLiteral("data/d%1/s%2/file %3.dat")
                            .arg(i % 25).arg(i % 4).arg(i);
        entry.inOld = true;
        entry.oldSize = 1 + m_random.bounded(12000);
        entry.newSize = 1 + m_random.bounded(12000);
        m_files.push_back(entry);
    }
    for (int i = 0; i < 6; ++i) {
        ReleaseFile entry;
        entry.path = QStringLiteral("lib.%1/big-%1.bin").arg(i);
        entry.inOld = true;
        entry.oldSize = (2 + 2 * i) * 1024 * 1024 + m_random.bounded(4096);
        entry.newSize = (3 + 2 * i) * 1024 * 1024 + m_random.bounded(4096);
        m_files.push_back(entry);
    }
    for (int i = 0; i < 40; ++i) {
        ReleaseFile entry;
        entry.path = QStringLiteral("plugins/new/p%1.plugin").arg(i);
        entry.inOld = false;
        entry.oldSize = 0;
        entry.newSize = 1 + m_random.bounded(8000);
        m_files.push_back(entry);
    }
    for (ReleaseFile &entry : m_files) {
        entry.oldSeed = m_random.generate();
        entry.newSeed = m_random.generate();
        if (entry.inOld)
            entry.oldHash = md5(content(entry.oldSeed, entry.oldSize));
        entry.newHash = md5(content(entry.newSeed, entry.newSize));
    }
}

void TestKilledUpdate::writeOldInstallation(bool onlyWhereChanged)
{
    for (const ReleaseFile &entry : m_files) {
        const QString path = m_install + QLatin1Char('/') + entry.path;
        if (!entry.inOld) {
            QFile::remove(path);
            continue;
        }
        if (onlyWhereChanged && m_found[&entry - m_files.data()] == Found::Old)
            continue;
        QVERIFY2(writeFile(path, content(entry.oldSeed, entry.oldSize)), qPrintable(path));
    }
}

// The updater never writes a staged file, it only removes staged names once installed: a
// staged file that is there is whole.
void TestKilledUpdate::writeStaging(bool onlyMissing)
{
    for (const ReleaseFile &entry : m_files) {
        const QString path = m_staging + QLatin1Char('/') + entry.path;
        if (onlyMissing && QFileInfo::exists(path))
            continue;
        QVERIFY2(writeFile(path, content(entry.newSeed, entry.newSize)), qPrintable(path));
    }
}

QProcess *TestKilledUpdate::startUpdater()
{
    auto *process = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("DISPLAY")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(m_updater, QStringList());
    return process;
}

void TestKilledUpdate::checkWhole(const QString &when, int *newCount, int *oldCount)
{
    *newCount = 0;
    *oldCount = 0;
    m_found.assign(m_files.size(), Found::Other);
    for (const ReleaseFile &entry : m_files) {
        const QString path = m_install + QLatin1Char('/') + entry.path;
        const Found found = identify(path, entry);
        m_found[&entry - m_files.data()] = found;
        switch (found) {
        case Found::New:
            ++*newCount;
            break;
        case Found::Old:
            ++*oldCount;
            break;
        case Found::Missing:
            // Only a file that the release adds may still be absent.
            QVERIFY2(!entry.inOld, qPrintable(when + QStringLiteral(": missing ") + entry.path));
            break;
        case Found::Other:
            QFAIL(qPrintable(when + QStringLiteral(": neither old nor new: ") + entry.path
                             + QStringLiteral(" (%1 bytes)").arg(QFileInfo(path).size())));
        }
    }
}

void TestKilledUpdate::killedCopiesLoseNothing()
{
    bool given = false;
    int wanted = qEnvironmentVariableIntValue("QUILL_KILL_TRIALS", &given);
    if (!given || wanted < 1)
        wanted = 20;

    // A first run that is left alone measures how long the copy takes, so that the kills
    // can be spread over all of it. The output comes when the copy starts.
    QElapsedTimer clock;
    std::unique_ptr<QProcess> first(startUpdater());
    QVERIFY(first->waitForStarted());
    QVERIFY2(first->waitForReadyRead(20000), "the updater wrote nothing within 20 s");
    clock.start();
    QVERIFY(first->waitForFinished(300000));
    const qint64 copyMs = qMax<qint64>(clock.elapsed(), 20);
    QCOMPARE(first->exitStatus(), QProcess::NormalExit);
    QCOMPARE(first->exitCode(), 0);
    int newCount = 0;
    int oldCount = 0;
    checkWhole(QStringLiteral("calibration run"), &newCount, &oldCount);
    QCOMPARE(newCount, int(m_files.size()));
    qInfo("an uninterrupted copy and removal took %lld ms", copyMs);

    writeOldInstallation(true);
    writeStaging(false);
    QFile::remove(m_marker);

    const int oldFiles = int(std::count_if(m_files.begin(), m_files.end(),
                                           [](const ReleaseFile &file) { return file.inOld; }));
    int killsInUpdate = 0;
    int counts[int(Phase::Count)][int(Tree::Count)] = {};
    int fewestNew = int(m_files.size());
    int mostNew = 0;
    // The measured time also covers the removal and the launch; a kill that comes too late
    // to find the update running brings the bound for later kills down to its own moment.
    double boundUs = double(copyMs) * 1000.0;
    const int maxTrials = 2 * wanted + 10;
    for (int trial = 1; trial <= maxTrials && killsInUpdate < wanted; ++trial) {
        const qint64 delayUs = qint64(m_random.bounded(1.0) * boundUs);
        std::unique_ptr<QProcess> process(startUpdater());
        QVERIFY(process->waitForStarted());
        QVERIFY2(process->waitForReadyRead(20000), "the updater wrote nothing within 20 s");
        QThread::usleep(quint64(delayUs));
        process->kill(); // SIGKILL; TerminateProcess on Windows
        QVERIFY(process->waitForFinished(30000));

        const QString when = QStringLiteral("trial %1, killed %2 ms into the update")
                                     .arg(trial).arg(delayUs / 1000.0, 0, 'f', 1);
        checkWhole(when, &newCount, &oldCount);
        if (QTest::currentTestFailed())
            return;
        const bool finished = process->exitStatus() == QProcess::NormalExit;
        const bool marker = QFileInfo::exists(m_install + QLatin1Char('/') + QLatin1String(commitMarker));
        const bool leftovers = !ownEntriesUnder(m_install).isEmpty();
        const Tree tree = newCount == int(m_files.size()) ? Tree::New
                : newCount == 0 && oldCount == oldFiles ? Tree::Old : Tree::Mixed;
        Phase phase;
        if (marker)
            phase = Phase::Commit;
        else if (leftovers)
            phase = tree == Tree::New ? Phase::CleanUp : Phase::Stage;
        else
            phase = tree == Tree::New ? Phase::After : Phase::Before;

        // Only a kill inside the commit may find two releases side by side; before it the
        // installation is entirely old, and the main application starts after it.
        QVERIFY2(tree != Tree::Mixed || phase == Phase::Commit,
                 qPrintable(when + QStringLiteral(": a mix of releases outside the commit (%1 new, %2 old)")
                                    .arg(newCount).arg(oldCount)));
        QVERIFY2((phase != Phase::Before && phase != Phase::Stage) || tree == Tree::Old,
                 qPrintable(when + QStringLiteral(": files new before the commit")));
        QVERIFY2(tree == Tree::New || !QFileInfo::exists(m_marker),
                 qPrintable(when + ": launched before the install was complete"));

        if (!finished && phase != Phase::After) {
            ++killsInUpdate;
            ++counts[int(phase)][int(tree)];
            fewestNew = qMin(fewestNew, newCount);
            mostNew = qMax(mostNew, newCount);
        } else {
            boundUs = qMax(double(delayUs), 1000.0);
        }
        // Back to the old installation and the whole staging tree for the next kill,
        // leaving parts and backups where the killed run left them: the next run has to
        // deal with them. Only the commit marker goes, so the next kill's phase is its own.
        QFile::remove(m_install + QLatin1Char('/') + QLatin1String(commitMarker));
        QFile::remove(m_marker);
        writeStaging(true);
        writeOldInstallation(true);
    }
    qInfo("%d kills inside the update, %d to %d of %d files new at the kill:",
          killsInUpdate, fewestNew, mostNew, int(m_files.size()));
    for (int p = 0; p < int(Phase::Count); ++p) {
        qInfo("  %-26s %3d entirely old, %3d entirely new, %3d mixed", phaseNames[p],
              counts[p][int(Tree::Old)], counts[p][int(Tree::New)], counts[p][int(Tree::Mixed)]);
    }
    QVERIFY2(killsInUpdate >= wanted, "too few kills landed inside the update");

    // Left alone, the next run finishes the update and cleans up after the killed ones.
    std::unique_ptr<QProcess> last(startUpdater());
    QVERIFY(last->waitForStarted());
    QVERIFY(last->waitForFinished(300000));
    QCOMPARE(last->exitStatus(), QProcess::NormalExit);
    QCOMPARE(last->exitCode(), 0);
    checkWhole(QStringLiteral("after the last run"), &newCount, &oldCount);
    QCOMPARE(newCount, int(m_files.size()));
    QCOMPARE(ownEntriesUnder(m_install), QStringList());
    QVERIFY(!QFileInfo::exists(m_staging));
    for (int i = 0; i < 50 && !QFileInfo::exists(m_marker); ++i)
        QThread::msleep(100);
    QVERIFY(QFileInfo::exists(m_marker));
}

int main(int argc, char **argv)
{
    // Each kill costs the updater's 3 s wait and more; Qt Test's watchdog would end a long
    // local run (it allows 300 s per test function unless told otherwise).
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT")) {
        const int trials = qMax(20, qEnvironmentVariableIntValue("QUILL_KILL_TRIALS"));
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(600000 + trials * 60000));
    }
    QCoreApplication app(argc, argv);
    TestKilledUpdate test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_killed_update.moc"
