// The fault seam of the file-system layer, for an updater process that a test starts: which
// calls fail comes from the environment.
//
//   QUILL_FAULTS  "Rename:3-5:5,Thread:1-99:11": calls 3 to 5 of renames fail with error 5
//   QUILL_AFTER   a path: calls are counted (and fail) only once that entry has come and gone
//   QUILL_SWAP    "<dir>\t<target>": at that moment <dir> is moved aside to "<dir>.moved" and
//                 a link to <target> put in its place, as someone who can write it might
#include "faultops.h"

#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <mutex>
#include <vector>

using install::sys::Op;

namespace {

struct Fault
{
    Op op;
    int first;
    int last;
    int error;
};

std::vector<Fault> faultsFromEnvironment()
{
    std::vector<Fault> faults;
    for (const QString &entry : qEnvironmentVariable("QUILL_FAULTS").split(',', Qt::SkipEmptyParts)) {
        const QStringList fields = entry.split(':');
        const QStringList range = fields.value(1).split('-');
        for (int op = 0; op < int(Op::Count); ++op) {
            if (fields.size() == 3 && fields[0] == QLatin1String(opName(Op(op))))
                faults.push_back({ Op(op), range[0].toInt(), range.last().toInt(), fields[2].toInt() });
        }
    }
    return faults;
}

// True once the entry QUILL_AFTER names has come and gone (at once without it); then the
// swap is made, once.
bool eventHasCome()
{
    static const QString watched = qEnvironmentVariable("QUILL_AFTER");
    static bool seen = false, come = watched.isEmpty();
    if (come)
        return true;
    const bool present = QFileInfo::exists(watched);
    seen = seen || present;
    if (!seen || present)
        return false;
    come = true;
    const QStringList swap = qEnvironmentVariable("QUILL_SWAP").split('\t');
    if (swap.size() == 2) {
        std::error_code error;
        std::filesystem::rename(QFile::encodeName(swap[0]).toStdString(),
                                QFile::encodeName(swap[0] + ".moved").toStdString(), error);
        std::filesystem::create_directory_symlink(QFile::encodeName(swap[1]).toStdString(),
                                                  QFile::encodeName(swap[0]).toStdString(), error);
    }
    return true;
}

} // namespace

bool install::sys::injectFault(Op op)
{
    static std::mutex lock;
    static const std::vector<Fault> faults = faultsFromEnvironment();
    static int calls[size_t(Op::Count)] = {};
    const std::lock_guard<std::mutex> guard(lock);
    if (!eventHasCome())
        return false;
    const int n = ++calls[size_t(op)];
    for (const Fault &fault : faults) {
        if (fault.op == op && n >= fault.first && n <= fault.last) {
            setSystemError(fault.error);
            return true;
        }
    }
    return false;
}
