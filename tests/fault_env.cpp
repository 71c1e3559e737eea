// The fault seam of the file-system layer, for an updater process that a test starts: which
// calls fail comes from the environment.
//
//   QUILL_FAULTS  "Rename:3-5:5,Thread:1-99:11": calls 3 to 5 of renames fail with error 5
//   QUILL_SWAP    "<watched>\t<dir>\t<target>": once the entry <watched> has come and gone,
//                 <dir> is moved aside to "<dir>.moved" and a link to <target> put in its place
#include "install_sys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using install::sys::Op;

namespace {

struct Fault
{
    Op op;
    int first;
    int last;
    int error;
};

const char *const opNames[] = { "List", "Stat", "Open", "Link", "Copy", "MakeDir", "Sync", "Rename",
                                "Remove", "Thread" };
static_assert(sizeof opNames / sizeof *opNames == size_t(Op::Count));

std::vector<Fault> faultsFromEnvironment()
{
    std::vector<Fault> faults;
    for (const QString &spec : qEnvironmentVariable("QUILL_FAULTS").split(',', Qt::SkipEmptyParts)) {
        const QStringList fields = spec.split(':');
        const QStringList range = fields.value(1).split('-');
        for (int op = 0; op < int(Op::Count); ++op) {
            if (fields.size() == 3 && fields[0] == QLatin1String(opNames[op]))
                faults.push_back({ Op(op), range[0].toInt(), range.last().toInt(), fields[2].toInt() });
        }
    }
    return faults;
}

// The swap someone with write access makes while the updater runs.
void swapWhenGone()
{
    static const QStringList swap = qEnvironmentVariable("QUILL_SWAP").split('\t');
    static bool seen = false, done = false;
    if (swap.size() != 3 || done)
        return;
    const bool present = QFileInfo::exists(swap[0]);
    seen = seen || present;
    if (!seen || present)
        return;
    done = true;
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(swap[1]).toStdString(),
                            QFile::encodeName(swap[1] + ".moved").toStdString(), error);
    std::filesystem::create_directory_symlink(QFile::encodeName(swap[2]).toStdString(),
                                              QFile::encodeName(swap[1]).toStdString(), error);
}

} // namespace

bool install::sys::injectFault(Op op)
{
    static std::mutex lock;
    static const std::vector<Fault> faults = faultsFromEnvironment();
    static int calls[size_t(Op::Count)] = {};
    const std::lock_guard<std::mutex> guard(lock);
    swapWhenGone();
    const int n = ++calls[size_t(op)];
    for (const Fault &fault : faults) {
        if (fault.op == op && n >= fault.first && n <= fault.last) {
#ifdef Q_OS_WIN
            SetLastError(DWORD(fault.error));
#else
            errno = fault.error;
#endif
            return true;
        }
    }
    return false;
}
