// Removal of whole trees, the same on every platform: built on the file-system layer's own
// operations on open directories.
#include "install_p.h"

namespace install::sys {

namespace {

bool keepNothing(const Entry &)
{
    return false;
}

} // namespace

bool removeTreeIn(const DirHandle &parent, const QString &name, bool (*keep)(const Entry &), bool stopAtFailure)
{
    // Each directory is opened through the one above and never through a link, so an entry
    // swapped for a link meanwhile is removed as that link.
    DirHandle dir;
    bool notDir = false;
    if (!openDirIn(parent, name, &dir, &notDir))
        return notDir && removeFileIn(parent, name);
    std::vector<Entry> entries;
    bool removed = listDir(dir, entries);
    for (const Entry &entry : entries) {
        if (!removed && stopAtFailure)
            break;
        if (keep(entry))
            continue;
        removed = (entry.type == Type::Dir ? removeTreeIn(dir, entry.name, keep, stopAtFailure)
                                           : removeFileIn(dir, entry.name))
                && removed;
    }
    // Tried even after a failure; it only succeeds on an empty directory.
    const bool dirRemoved = removeDirIn(parent, name, &dir);
    return removed && dirRemoved;
}

bool removeTreeAt(const QString &path, bool (*keep)(const Entry &), bool stopAtFailure)
{
    DirHandle parent;
    if (!openDir(parentOf(path), &parent))
        return typeOf(path, false) == Type::Missing;
    const bool removed = removeTreeIn(parent, nameOf(path), keep, stopAtFailure);
    closeDir(&parent);
    return removed;
}

bool removeTree(const QString &path)
{
    return removeTreeAt(path, keepNothing, false);
}

} // namespace install::sys
