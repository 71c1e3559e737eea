#include "install_p.h"

#include <QDir>
#include <QHash>
#include <QSet>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>

namespace install {

Q_LOGGING_CATEGORY(lcUpdater, "quillmoor.updater")

namespace {

using sys::Result;
using sys::Type;

const char ownPrefix[] = ".qu-";
const char commitMarker[] = ".qu-commit";
// An entry between the two renames of a respelling: ".qu-s." + the name it is to take.
const char respellPrefix[] = ".qu-s.";
const char dirList[] = ".qu-dirs";
constexpr int ownKindAt = int(sizeof ownPrefix) - 1;

// `path` relative to the directory `root` that holds it (or is it: ".").
QString relativeTo(const QString &root, const QString &path)
{
    if (path == root)
        return QStringLiteral(".");
    return path.mid(root.size() + (root.endsWith(QLatin1Char('/')) ? 0 : 1));
}

bool removeEntry(const QString &path, Type type)
{
    return type == Type::Dir ? sys::removeTree(path) : sys::removeFile(path);
}

// The name an entry left between the two renames of a respelling is to take, or nothing.
QString respellingTarget(const QString &name)
{
    return name.startsWith(QLatin1String(respellPrefix)) ? name.mid(int(sizeof respellPrefix) - 1) : QString();
}

// Removes a leftover of an earlier run. An entry a killed respelling left holds installed or
// user files: it is never removed, but given back the name it says, unless that is taken.
bool clearLeftover(const QString &dir, const sys::Entry &entry)
{
    const QString respelled = respellingTarget(entry.name);
    if (!respelled.isEmpty())
        return sys::renameToFreeName(join(dir, entry.name), join(dir, respelled));
    return removeEntry(join(dir, entry.name), entry.type);
}

// The number of a part, backup or set-aside name: ".qu-" + p, b or a + a number in base 36.
bool ownNumber(const QString &name, quint32 *number)
{
    if (name.size() < ownKindAt + 2 || name.size() > ownKindAt + 8
        || !name.startsWith(QLatin1String(ownPrefix)))
        return false;
    const char16_t kind = name[ownKindAt].unicode();
    if (kind != u'p' && kind != u'b' && kind != u'a')
        return false;
    quint32 value = 0;
    for (int i = ownKindAt + 1; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c >= u'0' && c <= u'9')
            value = value * 36 + (c - u'0');
        else if (c >= u'a' && c <= u'z')
            value = value * 36 + (c - u'a' + 10);
        else
            return false;
    }
    *number = value;
    return true;
}

// The list's line for the installation root itself.
const char rootLine[] = ".";

// No list of ours comes near this: a line per directory of a release.
constexpr qint64 dirListLimit = 16 << 20;

bool isOwnNameOrLock(const QString &name);

// A line of the list names a directory below the installation root, or the root itself
// ("."); anything else there is not ours to follow, nor is a path through a name of our own
// (a part or backup holding a link, say).
bool isSafeRelativePath(const QString &path)
{
    if (path == QLatin1String(rootLine))
        return true;
    // Absolute (a root, a drive, a share) or with Windows' separator: not ours.
    if (path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\'))
        || (path.size() >= 2 && path[1] == QLatin1Char(':')))
        return false;
    const QStringList parts = path.split(QLatin1Char('/'));
    return std::none_of(parts.begin(), parts.end(), [](const QString &part) {
        return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..")
                || isOwnNameOrLock(part);
    });
}

// How parallel work is shared out: up to `threads` threads, each taking `run` neighbouring
// items at a time (files of one directory, mostly).
struct Sharing
{
    size_t threads;
    size_t run;
};

// Work that keeps the processor busy: one thread per core, up to four, in long runs, so
// that two threads seldom make names in one directory at once (each waits for the
// directory's lock, which ext4 without a journal holds while it searches for a free inode).
Sharing computing()
{
    return { std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4), 256 };
}

// How long the finish waits for an old file that someone still holds, and how often it
// tries again meanwhile.
constexpr int heldFileWaitMs = 2000;
constexpr int heldFileRetryMs = 100;

// Work that mostly waits for the disk: freeing a file's blocks waits for the device to
// discard them, and the device takes many such requests at a time.
constexpr Sharing waiting { 16, 32 };
// The same, a directory at a time.
constexpr Sharing waitingDirs { 16, 1 };

// Runs work(first, end) over runs of 0 .. count - 1 as `sharing` says, on this thread and
// helpers. Where the system refuses a thread, the threads already running share the work:
// the result is the same, only slower.
template <typename Work>
void inParallel(size_t count, Sharing sharing, const Work &work)
{
    const size_t run = sharing.run;
    const size_t threads = std::clamp<size_t>(count / run, 1, sharing.threads);
    std::atomic<size_t> next{0};
    const auto worker = [&] {
        for (size_t first; (first = next.fetch_add(run, std::memory_order_relaxed)) < count;)
            work(first, std::min(first + run, count));
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads);
    for (size_t t = 1; t < threads; ++t) {
        if (sys::injectFault(sys::Op::Thread))
            break;
        try {
            helpers.emplace_back(worker);
        } catch (const std::system_error &) {
            break; // no more threads for this process (a limit on processes, say)
        }
    }
    worker();
    for (std::thread &helper : helpers)
        helper.join();
}

bool keepHiddenAndSystem(const sys::Entry &entry)
{
    return entry.hidden || entry.type == Type::Other;
}

} // namespace

QString lockFileName()
{
    return QStringLiteral(".qu-lock");
}

QString commitMarkerName()
{
    return QLatin1String(commitMarker);
}

QString dirListName()
{
    return QLatin1String(dirList);
}

bool isOwnName(const QString &name)
{
    quint32 number;
    return name == QLatin1String(commitMarker) || name == QLatin1String(dirList) || ownNumber(name, &number)
            || !respellingTarget(name).isEmpty();
}

namespace {
bool isOwnNameOrLock(const QString &name)
{
    return isOwnName(name) || name == lockFileName();
}
} // namespace

void report(const Failure &failure)
{
    static QSet<QString> reported;
    const QString line = failure.phase + QLatin1String(": ") + failure.path + QLatin1String(": ")
            + failure.reason;
    if (!reported.contains(line)) {
        reported.insert(line);
        qCWarning(lcUpdater).noquote() << line;
    }
}

static_assert(sys::noLock == -1, "Lock::isLocked() tells a handle by it");

Lock::Lock(const QString &installRoot)
    : m_path(join(installRoot, lockFileName()))
{
    bool heldElsewhere = false;
    m_handle = sys::takeLock(m_path, &heldElsewhere);
    if (m_handle == sys::noLock) {
        m_failure = { QStringLiteral("lock"), m_path,
                      heldElsewhere ? QStringLiteral("held by another updater")
                                    : sys::errorText(sys::lastErrorCode()) };
    }
}

Lock::~Lock()
{
    sys::releaseLock(m_handle, m_path);
}

// Removes own names in the directories the list names (and, with `everywhere`, in the
// installation root and `alsoIn` too). Returns the lines of the list whose directories still
// hold names that would not go.
static QStringList removeLeftoversListed(const QString &installRoot, const QStringList &alsoIn, bool everywhere)
{
    const QString list = join(installRoot, dirListName());
    QStringList listed;
    if (!sys::readRecord(list, dirListLimit, &listed)) {
        // Damaged, or not ours: the directories every run sweeps are still swept below.
        report({ QStringLiteral("leftovers"), list,
                 QStringLiteral("larger than any list of directories; not read") });
    }
    QStringList remaining;
    const auto sweep = [&](const QString &dir) {
        std::vector<sys::Entry> entries;
        if (sys::typeOf(dir, true) != Type::Dir || !sys::list(dir, entries))
            return true;
        bool clean = true;
        for (const sys::Entry &entry : entries) {
            if (entry.name != QLatin1String(dirList) && isOwnName(entry.name))
                clean = clearLeftover(dir, entry) && clean;
        }
        return clean;
    };
    if (everywhere && !sweep(installRoot))
        remaining << QLatin1String(rootLine);
    for (const QString &line : listed) {
        if ((everywhere && line == QLatin1String(rootLine)) || !isSafeRelativePath(line)
            || remaining.contains(line))
            continue;
        if (!sweep(line == QLatin1String(rootLine) ? installRoot : join(installRoot, line)))
            remaining << line;
    }
    for (const QString &dir : alsoIn)
        sweep(dir);
    if (remaining.isEmpty())
        sys::removeTree(list); // whatever it was: a file, or a leftover of another kind
    return remaining;
}

void removeLeftovers(const QString &installRoot, const QStringList &alsoIn)
{
    removeLeftoversListed(installRoot, alsoIn, true);
}

// Why the transaction failed, then each step its undo could not take back: the installation
// is mixed until the next attempt, which removes the leftovers and installs again.
static void reportFailed(const Transaction &transaction)
{
    report(transaction.failure());
    for (const Failure &failure : transaction.undoFailures())
        report(failure);
}

bool installRelease(const QString &stagingRoot, const QString &installRoot)
{
    Transaction transaction(stagingRoot, installRoot);
    if (transaction.run())
        return true;
    reportFailed(transaction);
    return false;
}

bool removeStagingTree(const QString &root)
{
    const Type rootType = sys::typeOf(root, false);
    if (rootType == Type::Link)
        return sys::removeFile(root); // the link, not what it points to
    if (rootType != Type::Dir)
        return true; // no directory: nothing to remove
    // Hidden and system entries stay, and so does every directory above them. A link,
    // dangling or not, is removed as a link; the removal stops at its first failure.
    return sys::removeTreeAt(root, keepHiddenAndSystem, true);
}

bool findPlaces(Places *places)
{
    QString program;
    if (!sys::ownExecutable(&program)) {
        report({ QStringLiteral("start"), QStringLiteral("the updater's own file"),
                 sys::errorText(sys::lastErrorCode()) });
        return false;
    }
    const QString ownDir = parentOf(program);
    if (ownDir == program || parentOf(ownDir) == ownDir) {
        report({ QStringLiteral("start"), program, QStringLiteral("no installation above its directory") });
        return false;
    }
    if (!sys::enterDirectory(ownDir)) {
        report({ QStringLiteral("start"), ownDir, sys::errorText(sys::lastErrorCode()) });
        return false;
    }
    places->ownDir = ownDir;
    places->root = parentOf(ownDir);
    places->staging = join(places->root, QStringLiteral("_update"));
    places->mainApp = join(places->root, QStringLiteral("Quillmoor.exe"));
    // Named from the working directory: no byte of an odd or a long path goes through the shell.
    places->mainAppLaunchName = QDir::toNativeSeparators(QStringLiteral("../Quillmoor.exe"));
    return true;
}

QByteArray forStandardOutput(const QString &path)
{
    return sys::forOutput(path);
}

Transaction::Transaction(const QString &stagingRoot, const QString &installRoot)
    : m_staging(stagingRoot), m_install(installRoot)
{
}

Transaction::~Transaction()
{
    if (m_finished)
        freeOldFiles(false);
    else
        rollBack();
}

bool Transaction::run()
{
    if (stage() && sync() && commit() && finish()) {
        freeOldFiles(false);
        return true;
    }
    rollBack();
    return false;
}

// ---- paths and names

QString Transaction::ownName(char kind, quint32 number)
{
    return QLatin1String(ownPrefix) + QLatin1Char(kind) + QString::number(number, 36);
}

QString Transaction::ownPath(const QString &dir, char kind, quint32 number) const
{
    return join(dir, ownName(kind, number));
}

quint32 Transaction::freshNumber()
{
    return m_nextNumber.fetch_add(1, std::memory_order_relaxed);
}

QString Transaction::sourcePath(const Item &item) const
{
    return join(m_sources[size_t(item.source)].path, item.name);
}

// A step's part, or an entry's own name inside a new directory.
QString Transaction::madeName(const Item &item) const
{
    return isStep(item) ? ownName('p', item.number) : item.name;
}

QString Transaction::madePath(const Item &item) const
{
    return join(m_dirs[size_t(item.dir)].path, madeName(item));
}

QString Transaction::installedPath(const Item &item) const
{
    return join(m_dirs[size_t(item.dir)].installedAs, item.name);
}

QString Transaction::respelledPath(const Item &item) const
{
    return join(m_dirs[size_t(item.dir)].installedAs, m_spellings[int(item.number)]);
}

// Where a respelling that takes two renames leaves the entry between them.
QString Transaction::respellViaPath(const Item &item) const
{
    return join(m_dirs[size_t(item.dir)].installedAs, QLatin1String(respellPrefix) + m_spellings[int(item.number)]);
}

QString Transaction::backupPath(const Item &item) const
{
    return ownPath(m_dirs[size_t(item.dir)].path, 'b', item.number);
}

QStringList Transaction::parts() const
{
    QStringList paths;
    for (const Item &item : m_items) {
        if (isStep(item) && item.kind != Kind::Respell)
            paths << madePath(item);
    }
    return paths;
}

bool Transaction::fail(const QString &phase, const QString &path, int error)
{
    return fail(phase, path, sys::errorText(error));
}

bool Transaction::fail(const QString &phase, const QString &path, const QString &reason)
{
    if (m_failure.phase.isEmpty())
        m_failure = { phase, path, reason };
    return false;
}

bool Transaction::stage()
{
    // The roots may be links (a staging tree on another disk).
    for (const QString &root : { m_staging, m_install }) {
        const Type type = sys::typeOf(root, true);
        if (type == Type::Missing)
            return fail(QStringLiteral("stage"), root, sys::lastErrorCode());
        if (type != Type::Dir)
            return fail(QStringLiteral("stage"), root, QStringLiteral("not a directory"));
    }
    // What earlier runs left where they could not remove it stays listed.
    m_carried = removeLeftoversListed(m_install, {}, false);
    m_leftovers = !m_carried.isEmpty();
    m_sources.push_back({ m_staging, {} });
    addDir(m_install, m_install, false);
    // First every decision, then the list of where own names will be, then the names.
    return planDir(0, 0) && writeDirList(false) && makeDirectories() && makeFiles();
}

int Transaction::addDir(const QString &path, const QString &installedAs, bool isNew)
{
    m_dirs.push_back({ path, installedAs, {}, isNew });
    return int(m_dirs.size()) - 1;
}

// Plans the entries of the staged directory m_sources[source] for the directory m_dirs[dir].
bool Transaction::planDir(int source, int dir)
{
    const QString sourceDir = m_sources[size_t(source)].path;
    const Dir target = m_dirs[size_t(dir)];
    std::vector<sys::Entry> staged;
    if (!sys::list(sourceDir, staged, &m_sources[size_t(source)].id))
        return fail(QStringLiteral("stage"), sourceDir, sys::lastErrorCode());

    // Installed entries by their key: the name, or where names ignore case (Windows) its
    // case-folded form, so that a release that changes only the case of a name replaces the
    // installed entry and gives it the release's spelling.
    QHash<QString, sys::Entry> installed;
    if (!target.isNew) {
        std::vector<sys::Entry> present;
        if (!sys::list(target.path, present, &m_dirs[size_t(dir)].id))
            return fail(QStringLiteral("stage"), target.path, sys::lastErrorCode());
        if (removeLeftoversIn(target.path, present)) {
            present.clear();
            if (!sys::list(target.path, present, &m_dirs[size_t(dir)].id))
                return fail(QStringLiteral("stage"), target.path, sys::lastErrorCode());
        }
        installed.reserve(int(present.size()));
        for (sys::Entry &entry : present) {
            if (!isOwnName(entry.name))
                installed.insert(sys::nameKey(entry.name), std::move(entry));
        }
    }
    QSet<QString> stagedKeys; // a case-sensitive staging tree may spell one name twice
    for (const sys::Entry &entry : staged) {
        // Hidden and system entries are not part of the release; nor is anything named like
        // the updater's own entries (hidden on Unix anyway, and removed as a leftover).
        if (entry.hidden || entry.type == Type::Other || isOwnName(entry.name))
            continue;
        const QString refused = sys::refusedName(entry.name);
        if (!refused.isEmpty())
            return fail(QStringLiteral("stage"), join(sourceDir, entry.name), refused);
        const QString key = sys::nameKey(entry.name);
        if (stagedKeys.contains(key))
            return fail(QStringLiteral("stage"), join(sourceDir, entry.name),
                        QStringLiteral("another entry of the release differs only in case"));
        stagedKeys.insert(key);
        const sys::Entry current = installed.value(key, sys::Entry { entry.name, Type::Missing, false });
        if (!planEntry(entry, source, dir, current))
            return false;
        if (current.name != entry.name)
            addRespell(dir, current.name, entry.name);
    }
    return true;
}

// The installed entry `from` takes the release's spelling `to` once everything inside it
// is committed.
void Transaction::addRespell(int dir, const QString &from, const QString &to)
{
    Item item;
    item.name = from;
    item.dir = dir;
    item.kind = Kind::Respell;
    item.state = State::Made; // nothing to make
    item.number = quint32(m_spellings.size());
    m_spellings << to;
    m_items.push_back(std::move(item));
}

// Removes what a killed attempt left in `dir`: never complete, never installed as such.
// What cannot go yet (a file still in use on Windows) goes in a later run; until then its
// number is not used again. True when an entry was given back its name (the listing is
// then out of date).
bool Transaction::removeLeftoversIn(const QString &dir, const std::vector<sys::Entry> &entries)
{
    bool renamed = false;
    for (const sys::Entry &entry : entries) {
        quint32 number = 0;
        const bool respelled = !respellingTarget(entry.name).isEmpty();
        if (!respelled && !ownNumber(entry.name, &number))
            continue;
        if (clearLeftover(dir, entry)) {
            renamed = renamed || respelled;
            continue;
        }
        m_leftovers = true;
        if (number >= m_nextNumber.load())
            m_nextNumber.store(number + 1);
    }
    return renamed;
}

// `installed` is the entry the installation has under that name (of type Missing if none).
// A file takes the installed spelling until its respelling: names ignore case where they can
// differ, so the staged file is found by it too.
bool Transaction::planEntry(const sys::Entry &entry, int source, int dir, const sys::Entry &installed)
{
    if (entry.type == Type::Dir)
        return planDirectory(entry.name, installed, source, dir);
    if (installed.type == Type::Dir)
        return fail(QStringLiteral("stage"), join(m_dirs[size_t(dir)].installedAs, installed.name),
                    QStringLiteral("a directory is where the release has a file"));
    Item item;
    item.name = installed.name;
    item.source = source;
    item.dir = dir;
    item.kind = entry.type == Type::Link ? Kind::Link : Kind::File;
    item.replaces = installed.type != Type::Missing;
    if (isStep(item))
        item.number = freshNumber();
    m_items.push_back(std::move(item));
    return true;
}

bool Transaction::planDirectory(const QString &stagedName, const sys::Entry &installed, int source, int dir)
{
    const Dir parent = m_dirs[size_t(dir)];
    const int stagedDir = int(m_sources.size());
    m_sources.push_back({ join(m_sources[size_t(source)].path, stagedName), {} });
    const QString name = installed.name;
    const QString target = join(parent.path, name);
    if (!parent.isNew) {
        // An installed directory, or a link the installation holds to one: the release goes
        // into it (an administrator may have moved a directory to another disk).
        if (installed.type == Type::Dir
            || (installed.type == Type::Link && sys::typeOf(target, true) == Type::Dir))
            return planDir(stagedDir, addDir(target, target, false));
        if (installed.type != Type::Missing)
            return fail(QStringLiteral("stage"), target,
                        QStringLiteral("a file is where the release has a directory"));
    }
    // A directory the installation lacks: made under a part name and filled there, it
    // appears whole with one rename; inside it, everything has its own name at once.
    Item item;
    item.name = name;
    item.source = source;
    item.dir = dir;
    item.kind = Kind::Dir;
    if (isStep(item))
        item.number = freshNumber();
    const QString made = madePath(item);
    m_items.push_back(std::move(item));
    return planDir(stagedDir, addDir(made, join(parent.installedAs, name), true));
}

bool Transaction::writeDirList(bool withNewDirs)
{
    QStringList lines = m_carried;
    for (const Dir &dir : m_dirs) {
        if (dir.isNew && !withNewDirs)
            continue;
        const QString line = relativeTo(m_install, dir.installedAs);
        if (!lines.contains(line))
            lines << line;
    }
    const QString list = join(m_install, dirListName());
    return sys::writeRecord(list, lines) || fail(QStringLiteral("stage"), list, sys::lastErrorCode());
}

bool Transaction::makeDirectories()
{
    // In list order, which has every directory before what it holds.
    DirCursor cursor;
    for (Item &item : m_items) {
        if (item.kind != Kind::Dir)
            continue;
        // Every own name was freed or skipped by the walk, so a taken one is a failure.
        const sys::DirHandle *parent = openDir(cursor, item.dir);
        if (!parent || sys::makeDirIn(*parent, madeName(item)) != Result::Ok)
            return fail(QStringLiteral("stage"), madePath(item), sys::lastErrorCode());
        // On disk now: the new directory, empty, at its part name (or inside a new one).
        item.state = State::Made;
    }
    return true;
}

// The files' links and copies, most of the work, run on every core (several directories at
// a time, one thread per run of files, each run mostly in one directory).
bool Transaction::makeFiles()
{
    inParallel(m_items.size(), computing(), [this](size_t first, size_t end) {
        DirCursor sources, made;
        for (size_t i = first; i < end; ++i) {
            Item &item = m_items[i];
            if (item.kind != Kind::File && item.kind != Kind::Link)
                continue;
            const sys::DirHandle *from = openSource(sources, item.source);
            const sys::DirHandle *to = from ? openDir(made, item.dir) : nullptr;
            if (from && to) {
                makeFile(item, *from, *to);
            } else {
                item.sourceFailed = !from;
                item.error = sys::lastErrorCode();
            }
        }
    });
    for (const Item &item : m_items) {
        if (item.state != State::Made)
            return fail(QStringLiteral("stage"), item.sourceFailed ? sourcePath(item) : madePath(item),
                        item.error);
    }
    return true;
}

// A hard link to the staged file where that works, a copy otherwise, or for a staged link a
// link with the same text.
void Transaction::makeFile(Item &item, const sys::DirHandle &from, const sys::DirHandle &to)
{
    const QString made = madeName(item);
    Result result;
    if (item.kind == Kind::Link) {
        result = sys::copyLinkIn(from, item.name, to, made);
    } else {
        sys::StagedFile file;
        if (!sys::openStagedFile(from, item.name, &file)) {
            result = Result::Failed;
            item.sourceFailed = true;
        } else {
            result = sys::linkStagedFile(file, from, item.name, to, made);
            item.linked = result == Result::Ok;
            if (result == Result::Unsupported)
                result = sys::copyStagedFile(file, from, item.name, to, made);
        }
        if (result != Result::Ok)
            item.error = sys::lastErrorCode();
    }
    // On disk now, where it worked: the new entry at its part name (a second name of the
    // staged file where linked), its data on the way to the disk; where it failed, nothing.
    if (result == Result::Ok)
        item.state = State::Made;
    else if (item.error == 0)
        item.error = sys::lastErrorCode();
}

// ---- sync, commit, finish, free

const sys::DirHandle *DirCursor::at(int index, const QString &path, const sys::FileId *id)
{
    if (index != m_index) {
        sys::closeDir(&m_dir);
        m_index = index;
        m_valid = sys::openDir(path, &m_dir, id);
    }
    return m_valid ? &m_dir : nullptr;
}

const sys::DirHandle *Transaction::openDir(DirCursor &cursor, int index) const
{
    const Dir &dir = m_dirs[size_t(index)];
    return cursor.at(index, dir.path, dir.isNew ? nullptr : &dir.id); // a new one is ours alone
}

const sys::DirHandle *Transaction::openSource(DirCursor &cursor, int index) const
{
    const Source &source = m_sources[size_t(index)];
    return cursor.at(index, source.path, &source.id);
}

// Makes the names in every directory `all` picks durable, many at a time (each mostly waits
// for the disk); false with the first failure recorded.
bool Transaction::syncDirs(bool all, const QString &phase)
{
    std::mutex failureLock;
    QString failedAt;
    int failedError = 0;
    inParallel(m_dirs.size(), waitingDirs, [&](size_t first, size_t end) {
        for (size_t i = first; i < end; ++i) {
            if (!all && m_dirs[i].isNew)
                continue;
            DirCursor cursor;
            const sys::DirHandle *dir = openDir(cursor, int(i));
            if (dir && sys::syncDir(*dir))
                continue;
            const int error = sys::lastErrorCode();
            const std::lock_guard<std::mutex> guard(failureLock);
            if (failedAt.isEmpty()) {
                failedAt = m_dirs[i].path;
                failedError = error;
            }
        }
    });
    return failedAt.isEmpty() || fail(phase, failedAt, failedError);
}

// What the commit installs must be on the disk first, and only that: each part's data (its
// write-back began as it was made), then the names in every directory the attempt made
// names in, the list's among them. Other programs' unwritten data is not waited for.
bool Transaction::sync()
{
    std::mutex failureLock;
    QString failedAt;
    int failedError = 0;
    inParallel(m_items.size(), waiting, [&](size_t first, size_t end) {
        DirCursor made;
        for (size_t i = first; i < end; ++i) {
            const Item &item = m_items[i];
            if (item.kind != Kind::File) // a link has no data, a directory's names come below
                continue;
            const sys::DirHandle *dir = openDir(made, item.dir);
            if (dir && sys::syncFileIn(*dir, madeName(item)))
                continue;
            const int error = sys::lastErrorCode();
            const std::lock_guard<std::mutex> guard(failureLock);
            if (failedAt.isEmpty()) {
                failedAt = madePath(item);
                failedError = error;
            }
        }
    });
    if (!failedAt.isEmpty())
        return fail(QStringLiteral("sync"), failedAt, failedError);
    DirCursor root;
    const sys::DirHandle *dir = openDir(root, 0);
    if (!dir || !sys::syncFileIn(*dir, dirListName()))
        return fail(QStringLiteral("sync"), join(m_install, dirListName()), sys::lastErrorCode());
    // On disk now, for good: every part, and the list of where they are.
    return syncDirs(true, QStringLiteral("sync"));
}

// Every entry the commit will replace or rename must be free first: a file in use found
// part-way through would mean committing and undoing every step before it, once a second.
bool Transaction::checkTargets()
{
    for (const Item &item : m_items) {
        const QString target = installedPath(item);
        if ((item.kind == Kind::Respell || (isStep(item) && item.replaces)) && !sys::canReplace(target))
            return fail(QStringLiteral("commit"), target, QStringLiteral("in use by another program"));
    }
    return true;
}

// Each step has a target of its own, so steps are committed on several threads; a
// respelling follows everything inside its entry, so respellings come last, in list order.
// Where a step fails, the others stop, and the caller undoes whatever was committed.
bool Transaction::commit()
{
    if (!checkTargets())
        return false;
    const QString marker = join(m_install, commitMarkerName());
    if (!sys::writeRecord(marker, {}))
        return fail(QStringLiteral("commit"), marker, sys::lastErrorCode());
    // On disk now: the marker; every part Made. From here on a killed run leaves some steps
    // Committed, which the next start completes by installing again.
    std::atomic<bool> stop{false};
    std::mutex failureLock;
    size_t failedAt = m_items.size(); // the first step that failed, and why
    int failedError = 0;
    inParallel(m_items.size(), computing(), [&](size_t first, size_t end) {
        DirCursor installed;
        for (size_t i = first; i < end && !stop.load(std::memory_order_relaxed); ++i) {
            Item &item = m_items[i];
            if (!isStep(item) || item.kind == Kind::Respell)
                continue;
            const sys::DirHandle *dir = openDir(installed, item.dir);
            if (dir && commitStep(item, *dir))
                continue;
            const int error = sys::lastErrorCode();
            const std::lock_guard<std::mutex> guard(failureLock);
            if (i < failedAt) {
                failedAt = i;
                failedError = error;
            }
            stop = true;
        }
    });
    if (failedAt < m_items.size())
        return fail(QStringLiteral("commit"), installedPath(m_items[failedAt]), failedError);
    for (Item &item : m_items) {
        if (item.kind != Kind::Respell)
            continue;
        if (!sys::respell(installedPath(item), respelledPath(item), respellViaPath(item)))
            return fail(QStringLiteral("commit"), installedPath(item), sys::lastErrorCode());
        // On disk now: the entry under the release's spelling.
        item.state = State::Committed;
    }
    return true;
}

bool Transaction::commitStep(Item &item, const sys::DirHandle &dir)
{
    const QString part = madeName(item);
    const bool committed = item.replaces
            ? sys::replaceIn(dir, part, item.name, ownName('b', item.number), ownName('a', item.number), &item.undo)
                    == Result::Ok
            : sys::renameToFreeNameIn(dir, part, item.name);
    // On disk now, where it worked: the target holds the new entry, the old one lies where
    // item.undo says (the table at sys::Undo); where it failed, nothing changed.
    if (committed)
        item.state = State::Committed;
    return committed;
}

bool Transaction::finish()
{
    // The new names must be on disk before anything old goes: from here on the attempt is
    // never rolled back.
    if (!syncDirs(false, QStringLiteral("finish")))
        return false;
    m_finished = true;
    if (!sys::removeFile(join(m_install, commitMarkerName())))
        m_leftovers = true;
    // On disk now: every step Committed for good, no marker; the old entries under part or
    // backup names, listed in ".qu-dirs".
    removeStagedNames();
    // On disk now: no name in the staging tree shares data with an installed file.
    return true;
}

// A linked file is one file with two names, one installed, one staged: the staged one goes,
// so that nothing left in the staging tree (its removal can stop part-way) reaches the
// installation. Where it cannot go, the installed file becomes a copy of its own. Through
// the directories as the walk listed them: one swapped for a link meanwhile (the staging tree
// may be writable by others) leads nowhere.
void Transaction::removeStagedNames()
{
    std::vector<size_t> kept;
    std::mutex keptLock;
    inParallel(m_items.size(), waiting, [&](size_t first, size_t end) {
        DirCursor staged;
        for (size_t i = first; i < end; ++i) {
            const Item &item = m_items[i];
            if (!item.linked)
                continue;
            const sys::DirHandle *handle = openSource(staged, item.source);
            if (!handle || !sys::removeFileIn(*handle, item.name)) {
                const std::lock_guard<std::mutex> guard(keptLock);
                kept.push_back(i);
            }
        }
    });
    for (const size_t i : kept) {
        if (!replaceWithOwnCopy(installedPath(m_items[i])))
            m_leftovers = true; // its part, if one is left; the file itself stays shared
    }
}

bool Transaction::replaceWithOwnCopy(const QString &installed)
{
    const quint32 number = freshNumber();
    const QString part = ownName('p', number), name = nameOf(installed);
    sys::DirHandle dir;
    if (!sys::openDir(parentOf(installed), &dir))
        return false;
    sys::Undo undo = sys::Undo::None;
    bool copied = sys::copyFile(installed, ownPath(parentOf(installed), 'p', number)) == Result::Ok;
    copied = copied && sys::syncFileIn(dir, part)
            && sys::replaceIn(dir, part, name, ownName('b', number), ownName('a', number), &undo) == Result::Ok;
    // On disk now, where it worked: the installed name holds the copy; the shared file lies
    // at the part name (Exchange) or the backup name (Backup), and goes. Where it did not,
    // the part goes.
    const QString old = copied ? (undo == sys::Undo::Exchange ? part : ownName('b', number)) : part;
    if (!sys::removeFileIn(dir, old))
        m_leftovers = true;
    sys::closeDir(&dir);
    return copied;
}

void Transaction::freeOldFiles(bool inBackground)
{
    if (!m_finished || m_freed)
        return;
    m_freed = true;
    // Through the directories as the walk listed them, each old entry where its Undo says.
    const auto freeOld = [this](Item &item, DirCursor &cursor) {
        const sys::DirHandle *handle = openDir(cursor, item.dir);
        const QString old = item.undo == sys::Undo::Exchange ? madeName(item) : ownName('b', item.number);
        if (!handle || !sys::removeFileIn(*handle, old))
            return false;
        item.state = State::Freed;
        return true;
    };
    std::vector<size_t> held; // old entries another program still holds
    std::vector<size_t> kept; // old entries that would not go for another reason
    std::mutex heldLock;
    // Freeing a file's blocks is most of this, and most of that is waiting for the disk: many
    // removals at a time.
    inParallel(m_items.size(), waiting, [&](size_t first, size_t end) {
        static thread_local bool lowered = false;
        if (inBackground && !lowered)
            lowered = sys::lowerIoPriority();
        DirCursor installed;
        for (size_t i = first; i < end; ++i) {
            if (m_items[i].state != State::Committed || m_items[i].undo == sys::Undo::None
                || freeOld(m_items[i], installed))
                continue;
            const bool inUse = sys::isInUse(sys::lastErrorCode());
            const std::lock_guard<std::mutex> guard(heldLock);
            (inUse ? held : kept).push_back(i);
        }
    });
    // An old file someone still holds (a reader about to let go, a virus scanner) is waited
    // for a moment, so that no backup outlives a finished update; past that, the next start
    // removes it.
    std::sort(held.begin(), held.end());
    for (int waited = 0; !held.empty() && waited < heldFileWaitMs; waited += heldFileRetryMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(heldFileRetryMs));
        DirCursor installed;
        held.erase(std::remove_if(held.begin(), held.end(), [&](size_t i) { return freeOld(m_items[i], installed); }),
                   held.end());
    }
    if (!held.empty() || !kept.empty())
        m_leftovers = true;
    // The list goes once those removals are on disk too: a power cut must not leave old data
    // under own names that no list points to. Where some would not go, it stays and names
    // every directory, so that a later run removes them.
    if (m_leftovers)
        writeDirList(true);
    else if (syncDirs(false, QStringLiteral("finish")))
        sys::removeFile(join(m_install, dirListName()));
}

// ---- roll back

// Undoes one committed step exactly as its Undo says (the table at sys::Undo).
bool Transaction::undoStep(Item &item)
{
    const QString target = installedPath(item);
    bool undone;
    if (item.kind == Kind::Respell)
        undone = sys::respell(respelledPath(item), target, respellViaPath(item));
    else if (item.replaces)
        undone = sys::undoReplace(item.undo, madePath(item), target, backupPath(item));
    else
        undone = sys::rename(target, madePath(item)); // back under its part name
    // On disk now, where it worked: the target holds the old entry again (or nothing, for a
    // new name), the part name the new entry after an Exchange or a new name. Where it did
    // not: as after the commit; the next attempt removes the part or backup that holds the
    // old entry and installs the new one again.
    item.state = undone ? State::Undone : State::UndoFailed;
    if (!undone)
        m_undoFailures.push_back({ QStringLiteral("undo"), target, sys::errorText(sys::lastErrorCode()) });
    return undone;
}

void Transaction::rollBack()
{
    if (m_finished)
        return;
    // In reverse list order: a respelling comes after the steps inside its entry.
    for (auto item = m_items.rbegin(); item != m_items.rend(); ++item) {
        if (item->state == State::Committed)
            undoStep(*item);
    }
    bool clean = !m_leftovers;
    for (const Item &item : m_items) {
        switch (item.state) {
        case State::Planned:
            break; // nothing on disk
        case State::Made:
        case State::Undone:
            // A respelling has no part: its entry is the installed one. An entry inside a new
            // directory goes with that directory's part.
            if (item.kind != Kind::Respell && isStep(item))
                clean = removeEntry(madePath(item), item.kind == Kind::Dir ? Type::Dir : Type::File) && clean;
            break;
        case State::Committed: // undone above: not reached
        case State::UndoFailed:
        case State::Freed:
            clean = false; // the list keeps the names the next start must see to
            break;
        }
    }
    clean = sys::removeFile(join(m_install, commitMarkerName())) && clean;
    // On disk now: the old release, with no part, backup or marker of this attempt where
    // `clean`; otherwise what is left is listed for the next start.
    if (clean)
        sys::removeFile(join(m_install, dirListName()));
    else if (!m_dirs.empty())
        writeDirList(true);
    m_items.clear();
    m_dirs.clear();
    m_sources.clear();
    m_spellings.clear();
    m_finished = true;
    m_freed = true;
}

// ---- one attempt of the cycle

Attempt::Attempt(const Places &places)
    : m_places(places)
{
}

Attempt::~Attempt()
{
    freeOldFiles();
}

bool Attempt::run()
{
    // One updater at a time per installation: a second one (a double click, a launcher that
    // retries) touches nothing while this one works.
    m_lock = std::make_unique<Lock>(m_places.root);
    if (!m_lock->isLocked()) {
        report(m_lock->failure());
        m_lock.reset();
        return false;
    }
    // A set-aside program of an earlier update lies in the updater's own directory.
    removeLeftovers(m_places.root, m_places.ownDir.isEmpty() ? QStringList() : QStringList { m_places.ownDir });
    m_transaction = std::make_unique<Transaction>(m_places.staging, m_places.root);
    Transaction &transaction = *m_transaction;
    if (!(transaction.stage() && transaction.sync() && transaction.commit() && transaction.finish())) {
        transaction.rollBack();
        reportFailed(transaction);
        m_transaction.reset();
        m_lock.reset();
        return false;
    }
    removeStagingTree(m_places.staging);
    return true;
}

void Attempt::freeOldFiles()
{
    if (m_transaction)
        m_transaction->freeOldFiles(true);
    m_transaction.reset();
    m_lock.reset();
}

} // namespace install
