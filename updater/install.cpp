#include "install.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <mutex>
#include <thread>

namespace install {

namespace {

using sys::Result;
using sys::Type;

const char ownPrefix[] = ".qu-";
const char commitMarker[] = ".qu-commit";

QString join(const QString &dir, const QString &name)
{
    return dir + QLatin1Char('/') + name;
}

QString parentOf(const QString &path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

// The backup of a part keeps its number: ".qu-p7" backs up to ".qu-b7".
QString withKind(const QString &ownPath, char kind)
{
    QString path = ownPath;
    path[path.lastIndexOf(QLatin1Char('/')) + 1 + int(qstrlen(ownPrefix))] = QLatin1Char(kind);
    return path;
}

bool removeEntry(const QString &path, Type type)
{
    return type == Type::Dir ? sys::removeTree(path) : sys::removeFile(path);
}

// Runs work(0) .. work(count - 1) on up to four threads, each taking runs of neighbouring
// items (files of one directory, mostly), so that threads seldom wait on one directory.
template <typename Work>
void inParallel(size_t count, const Work &work)
{
    constexpr size_t run = 32;
    const size_t threads = count < 2 * run ? 1 : std::clamp<size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::atomic<size_t> next{0};
    const auto worker = [&] {
        for (size_t first; (first = next.fetch_add(run, std::memory_order_relaxed)) < count;) {
            for (size_t i = first; i < std::min(first + run, count); ++i)
                work(i);
        }
    };
    std::vector<std::thread> helpers;
    for (size_t t = 1; t < threads; ++t)
        helpers.emplace_back(worker);
    worker();
    for (std::thread &helper : helpers)
        helper.join();
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

bool isOwnName(const QString &name)
{
    // ".qu-" + p (part), b (backup) or a (set aside) + a number in base 36.
    if (name == QLatin1String(commitMarker))
        return true;
    const int kindAt = int(qstrlen(ownPrefix));
    if (name.size() < kindAt + 2 || !name.startsWith(QLatin1String(ownPrefix)))
        return false;
    const char16_t kind = name[kindAt].unicode();
    if (kind != u'p' && kind != u'b' && kind != u'a')
        return false;
    for (int i = kindAt + 1; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (!(c >= u'0' && c <= u'9') && !(c >= u'a' && c <= u'z'))
            return false;
    }
    return true;
}

Transaction::Transaction(const QString &stagingRoot, const QString &installRoot)
    : m_staging(stagingRoot), m_install(installRoot)
{
}

Transaction::~Transaction()
{
    if (!m_done)
        rollBack();
}

QString Transaction::ownName(const QString &dir, char kind)
{
    return dir + QLatin1Char('/') + QLatin1String(ownPrefix) + QLatin1Char(kind)
            + QString::number(m_nextName.fetch_add(1, std::memory_order_relaxed), 36);
}

bool Transaction::run()
{
    if (stage() && sync() && commit() && finish())
        return true;
    rollBack();
    return false;
}

bool Transaction::stage()
{
    // The roots may be links (a staging tree on another disk); everything below is not followed.
    if (sys::typeOf(m_staging, true) != Type::Dir || sys::typeOf(m_install, true) != Type::Dir)
        return false;
    if (!stageDir(m_staging, m_install, m_install, false))
        return false;
    // The walk decided every name; the files' links and copies, most of the work, run on
    // every core (several directories at a time, one thread per run of files).
    inParallel(m_jobs.size(), [this](size_t i) { runJob(m_jobs[i]); });
    bool staged = true;
    for (const FileJob &job : m_jobs) {
        if (job.result != Result::Ok) {
            staged = false;
            continue;
        }
        if (job.step >= 0)
            m_steps[size_t(job.step)].part = job.made;
        if (job.linked) {
            m_linked << job.from;
            m_linkedTargets << job.installedAs;
        }
        if (job.type != Type::Link)
            m_written << job.made;
    }
    m_jobs.clear();
    return staged;
}

// Makes the part (or, inside a new directory, the file itself) for one staged file: a hard
// link where that works, a copy otherwise, or for a staged link a link with the same text.
// A part's name is taken anew while the one chosen turns out to be taken.
void Transaction::runJob(FileJob &job)
{
    for (;;) {
        job.made = job.step >= 0 ? ownName(job.dir, 'p') : job.dir;
        job.result = stageFile(job);
        if (job.result != Result::Exists || job.step < 0)
            return;
    }
}

// Stages the entries of the staged directory `source` for the directory `target`, which is
// installed as `installedAs`. A `fresh` target is one this attempt created under a part
// name: it holds nothing yet, and what is staged into it takes its real names at once, to
// appear with the directory's commit.
bool Transaction::stageDir(const QString &source, const QString &target,
                           const QString &installedAs, bool fresh)
{
    std::vector<sys::Entry> staged;
    if (!sys::list(source, staged))
        return false;

    // Installed entries by sys::nameKey (the name, or on Windows its case-folded form).
    QHash<QString, sys::Entry> installed;
    if (!fresh) {
        std::vector<sys::Entry> present;
        if (!sys::list(target, present))
            return false;
        installed.reserve(int(present.size()));
        for (sys::Entry &entry : present) {
            if (isOwnName(entry.name)) {
                // Left by a killed attempt: never complete, never installed as such. What
                // cannot go yet (a file still in use on Windows) goes in a later run.
                removeEntry(join(target, entry.name), entry.type);
                continue;
            }
            installed.insert(sys::nameKey(entry.name), std::move(entry));
        }
        m_dirs << target;
    }
    QSet<QString> stagedKeys; // a case-sensitive staging tree may spell one name twice

    for (const sys::Entry &entry : staged) {
        // Hidden and system entries are not part of the release; nor is anything named like
        // the updater's own entries (hidden on Unix anyway, and removed as a leftover).
        if (entry.hidden || entry.type == Type::Other || isOwnName(entry.name))
            continue;
        const QString key = sys::nameKey(entry.name);
        if (stagedKeys.contains(key))
            return false; // two release entries for one installed name
        stagedKeys.insert(key);
        const auto found = fresh ? installed.cend() : installed.constFind(key);
        const bool present = found != installed.cend();
        // Until the respell step at the end, the entry keeps its installed spelling.
        const QString from = join(source, entry.name);
        const QString to = join(target, present ? found->name : entry.name);
        const QString finalPath = join(installedAs, entry.name);
        const Type there = present ? found->type : Type::Missing;

        if (entry.type == Type::Dir) {
            if (there == Type::Dir || (there == Type::Link && sys::typeOf(to, true) == Type::Dir)) {
                if (!stageDir(from, to, to, false))
                    return false;
            } else if (there != Type::Missing) {
                return false; // a file where the release has a directory
            } else if (fresh) {
                if (sys::makeDir(to) != Result::Ok)
                    return false;
                m_written << to;
                if (!stageDir(from, to, finalPath, true))
                    return false;
            } else {
                Step step{Step::NewDir, false, sys::Undo::None, false, {}, to, {}};
                Result made;
                do {
                    step.part = ownName(target, 'p');
                } while ((made = sys::makeDir(step.part)) == Result::Exists);
                if (made != Result::Ok)
                    return false;
                m_steps.push_back(step);
                m_written << step.part;
                if (!stageDir(from, step.part, to, true))
                    return false;
            }
        } else if (there == Type::Dir) {
            return false; // a directory where the release has a file
        } else if (fresh) {
            m_jobs.push_back({from, to, {}, finalPath, entry.type, -1, Result::Failed, false});
        } else {
            m_jobs.push_back({from, target, {}, to, entry.type, int(m_steps.size()), Result::Failed, false});
            m_steps.push_back({entry.type == Type::Link ? Step::Link : Step::File,
                               there != Type::Missing, sys::Undo::None, false, {}, to, {}});
        }
        if (present && found->name != entry.name)
            m_steps.push_back({Step::Respell, false, sys::Undo::None, false, to, join(target, entry.name), {}});
    }
    return true;
}

Result Transaction::stageFile(FileJob &job)
{
    if (job.type == Type::Link)
        return sys::copyLink(job.from, job.made);
    bool linkable = false;
    if (!sys::checkStagedFile(job.from, &linkable))
        return Result::Failed;
    Result made = Result::Unsupported;
    if (linkable)
        made = sys::hardLink(job.from, job.made);
    job.linked = made == Result::Ok;
    if (made == Result::Unsupported)
        made = sys::copyFile(job.from, job.made);
    return made;
}

QStringList Transaction::parts() const
{
    QStringList paths;
    for (const Step &step : m_steps) {
        if (step.kind != Step::Respell)
            paths << step.part;
    }
    return paths;
}

bool Transaction::sync()
{
    return sys::syncData(m_install, m_written);
}

// Every entry the commit will replace or rename must be free first: a file in use found
// part-way through would mean committing and undoing every step before it, once a second.
bool Transaction::checkTargets() const
{
    return std::all_of(m_steps.begin(), m_steps.end(), [](const Step &step) {
        return step.kind == Step::Respell ? sys::canReplace(step.part)
                                          : !step.replaces || sys::canReplace(step.target);
    });
}

bool Transaction::commit()
{
    if (!checkTargets() || !sys::writeMarker(join(m_install, commitMarkerName())))
        return false;
    for (Step &step : m_steps) {
        if (step.kind == Step::Respell) {
            if (!sys::respell(step.part, step.target))
                return false;
        } else if (step.replaces) {
            step.backup = withKind(step.part, 'b');
            if (sys::replace(step.part, step.target, step.backup, &step.undo) != Result::Ok)
                return false;
        } else if (!sys::add(step.part, step.target)) {
            return false;
        }
        step.committed = true;
    }
    return true;
}

bool Transaction::finish()
{
    // The new names must be on disk before the old files and the staging tree go.
    if (!sys::syncNames(m_install, m_dirs))
        return false;
    sys::removeFile(join(m_install, commitMarkerName()));
    dropBackups();
    releaseStagedNames();
    m_done = true;
    return true;
}

void Transaction::dropBackups()
{
    // Freeing the old files' space is most of this: on every core too.
    inParallel(m_steps.size(), [this](size_t i) {
        const Step &step = m_steps[i];
        if (step.undo == sys::Undo::Exchange)
            sys::removeFile(step.part); // the old file now has the part's name
        else if (step.undo != sys::Undo::None)
            sys::removeFile(step.backup);
    });
}

// A linked file is one file with two names, one installed, one staged. Its staged name goes
// now, so that nothing left in the staging tree (its removal can stop part-way) reaches the
// installation. Where a staged name cannot go, the installed file becomes a copy of its own.
void Transaction::releaseStagedNames()
{
    std::vector<int> kept; // staged names that could not be removed
    std::mutex keptLock;
    inParallel(size_t(m_linked.size()), [&](size_t i) {
        if (!sys::removeFile(m_linked[int(i)])) {
            const std::lock_guard<std::mutex> guard(keptLock);
            kept.push_back(int(i));
        }
    });
    for (const int i : kept) {
        const QString &installed = m_linkedTargets[i];
        const QString dir = parentOf(installed);
        QString part;
        Result made;
        do {
            part = ownName(dir, 'p');
        } while ((made = sys::copyFile(installed, part)) == Result::Exists);
        sys::Undo undo = sys::Undo::None;
        const QString backup = withKind(part, 'b');
        if (made != Result::Ok || !sys::syncData(m_install, {part})
            || sys::replace(part, installed, backup, &undo) != Result::Ok) {
            sys::removeFile(part);
            continue;
        }
        sys::removeFile(undo == sys::Undo::Exchange ? part : backup);
    }
}

void Transaction::rollBack()
{
    for (auto step = m_steps.rbegin(); step != m_steps.rend(); ++step) {
        if (!step->committed)
            continue;
        bool undone;
        if (step->kind == Step::Respell)
            undone = sys::respell(step->target, step->part);
        else if (step->replaces)
            undone = sys::undoReplace(step->undo, step->part, step->target, step->backup);
        else
            undone = sys::rename(step->target, step->part); // back under its part name
        // A step that cannot be undone keeps its part: it may hold the old file now. The
        // next attempt removes it and installs the new file again.
        step->committed = !undone;
    }
    for (const Step &step : m_steps) {
        // A respell step's part is the installed entry itself.
        if (!step.committed && !step.part.isEmpty() && step.kind != Step::Respell)
            removeEntry(step.part, step.kind == Step::NewDir ? Type::Dir : Type::File);
    }
    sys::removeFile(join(m_install, commitMarkerName()));
    m_steps.clear();
    m_written.clear();
    m_linked.clear();
    m_linkedTargets.clear();
    m_done = true;
}

} // namespace install
