// SPDX-License-Identifier: MIT
#include "cmstoragelinkworker.h"

#include "labelfile.h"
#include "rowindex.h"
#include "storagelinklogger.h"

#include <orva/orvaglobal.h>

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <log4cplus/loggingmacros.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ostream>

namespace {

constexpr int kNotificationTimeoutMs = 10000;
constexpr char kConstructorSignature[] =
    "CMStorageLinkWorker::CMStorageLinkWorker(const QVariantHash&)";

// "(a, b)", "()" when empty. The lists hold entry names.
struct ListText
{
    const QStringList &list;
};

std::ostream &operator<<(std::ostream &out, const ListText &text)
{
    out << "(";
    for (int i = 0; i < text.list.size(); ++i) {
        if (i > 0)
            out << ", ";
        out << logSafe(text.list.at(i));
    }
    return out << ")";
}

TrString translatable(const char *source)
{
    const TrCharData data{trExtractContext(kConstructorSignature), source, nullptr, -1};
    return TrString(data, QList<TrArg>());
}

// Configuration items of the form (prefix, name, ...), and how many were
// shorter: the constructor warns about each of those.
struct PrefixItems
{
    QList<CMStorageLinkWorker::WatchPrefix> records;
    QStringList prefixes;
    int rejected = 0;
};

PrefixItems readPrefixes(const QVariantList &items)
{
    PrefixItems result;
    for (const QVariant &item : items) {
        const QStringList fields = item.toStringList();
        if (fields.size() < 2) {
            ++result.rejected;
            continue;
        }
        result.records.append({fields.at(0), fields.at(1), 0, 0});
        result.prefixes.append(fields.at(0));
    }
    return result;
}

// The subdirectories of dir, hidden ones and "." and ".." left out, sorted
// by name; empty when dir cannot be read.
QStringList subdirectoryNames(const QString &dir)
{
    QDir directory(dir);
    directory.setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
    directory.setSorting(QDir::Name);
    const QFileInfoList listing = directory.entryInfoList();
    QStringList names;
    names.reserve(listing.size());
    for (const QFileInfo &info : listing)
        names.append(info.fileName());
    return names;
}

bool isLinkCandidate(const QString &name, const CMStorageLinkWorker::WatchPrefix &prefix)
{
    return name.startsWith(prefix.prefix, Qt::CaseSensitive) &&
           !name.endsWith(QLatin1String(".label"), Qt::CaseSensitive);
}

// The part of an entry name before and after its first "-".
void splitName(const QString &name, QString &head, QString &tail)
{
    const int idx = name.indexOf(QLatin1Char('-'), 0, Qt::CaseSensitive);
    if (idx > 0) {
        head = name.left(idx);
        tail = name.mid(idx + 1);
    } else {
        head = name;
        tail.clear();
    }
}

QSet<QString> setOf(const QStringList &list)
{
    QSet<QString> set;
    set.reserve(list.size());
    for (const QString &item : list)
        set.insert(item);
    return set;
}

// list without every occurrence of the names in struck, in list order. The
// phases gather what they strike off in a set and the list is cut once:
// removing each name from the list in turn costs a scan of it per entry.
QStringList without(const QStringList &list, const QSet<QString> &struck)
{
    if (struck.isEmpty())
        return list;
    QStringList rest;
    for (const QString &item : list)
        if (!struck.contains(item))
            rest.append(item);
    return rest;
}

// The first record whose prefix name starts with: the one that counts its link.
CMStorageLinkWorker::WatchPrefix *countingRecord(QList<CMStorageLinkWorker::WatchPrefix> &records,
                                                 const QString &name)
{
    for (CMStorageLinkWorker::WatchPrefix &record : records)
        if (name.startsWith(record.prefix, Qt::CaseSensitive))
            return &record;
    return nullptr;
}

// QFileInfo hands a name holding a NUL back unchanged instead of resolving
// it, and no file name can hold one: such a path, or anything else that does
// not come back absolute, resolves to nothing.
QString canonicalPath(const QString &configured)
{
    if (configured.contains(QChar(0)))
        return QString();
    const QString canonical = QFileInfo(configured).canonicalFilePath();
    return QDir::isAbsolutePath(canonical) ? canonical : QString();
}

} // namespace

CMStorageLinkWorker::CMStorageLinkWorker(const QVariantHash &config)
    : CMNodesWorker(config, QStringLiteral("CMStorageLinkWorker"))
{
    const QString configuredPath = config.value(QStringLiteral("watchPath")).toString();
    m_watchPath = canonicalPath(configuredPath);
    m_linkPrefix = CMPath::fromEncoded(config.value(QStringLiteral("linkPrefix")).toString());
    const QVariantList linkItems = config.value(QStringLiteral("watchPrefixes")).toList();
    const QVariantList notifItems = config.value(QStringLiteral("watchNotifications")).toList();

    const PrefixItems links = readPrefixes(linkItems);
    for (int i = 0; i < links.rejected; ++i)
        LOG4CPLUS_WARN(storageLinkLogger, "Prefixes list item has < 2 fields - ignoring");
    m_linkPrefixes = links.records;
    const PrefixItems notifications = readPrefixes(notifItems);
    for (int i = 0; i < notifications.rejected; ++i)
        LOG4CPLUS_WARN(storageLinkLogger, "Notification list item has < 2 fields - ignoring");
    m_notifPrefixes = notifications.records;

    m_listNode = CMListRowsNode::create(nodes(), addPrefix(QString()));
    m_listNode->setTitle(translatable("Storage Watcher"));

    m_notifNode = CMUINode::create(nodes(), addPrefix(QStringLiteral("notification")));
    m_notifNode->setTitle(translatable("Attaching new device..."));
    m_notifNode->setIcon(QStringLiteral("skin:iconLoading"));

    m_notifTimer.setSingleShot(true);
    m_notifTimer.setInterval(kNotificationTimeoutMs);
    orvaConnect(&m_notifTimer, SIGNAL(timeout()), this, SLOT(removeNotificationNode()),
                Qt::AutoConnection);

    m_watcher = new QFileSystemWatcher(this);
    orvaConnect(m_watcher, SIGNAL(directoryChanged(const QString &)), this,
                SLOT(dirChanged(const QString &)), Qt::AutoConnection);

    if (m_watchPath.isEmpty()) {
        LOG4CPLUS_ERROR(storageLinkLogger, "Watch path '" << configuredPath << "' does not exist");
        return;
    }
    m_watcher->addPath(m_watchPath);
    dirChanged(m_watchPath);
    LOG4CPLUS_INFO(storageLinkLogger,
                   "Watching path "
                       << m_watchPath << " for prefixes " << links.prefixes.join(QLatin1Char(','))
                       << " and notifications " << notifications.prefixes.join(QLatin1Char(',')));
    followWatchPath();
}

// Nodes belong to the host's registry and the watcher to the QObject base:
// nothing to release by hand, and no row or node is touched here.
CMStorageLinkWorker::~CMStorageLinkWorker() = default;

int CMStorageLinkWorker::hexToDigit(char c)
{
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9')
        return u - 0x30;
    if (u >= 'a' && u <= 'f')
        return u - 0x57;
    if (u >= 'A' && u <= 'F')
        return u - 0x37;
    return 0;
}

QByteArray CMStorageLinkWorker::decodeEscape(const QByteArray &in)
{
    // Walks to the first zero byte (the terminator unless an earlier byte is
    // zero). Each byte is read only after the one before it matched, so a
    // truncated escape never reads past the terminator.
    const char *p = in.constData();
    const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    QByteArray out;
    out.reserve(in.size());
    while (*p) {
        if (p[0] == '\\' && p[1] == 'x' && alnum(p[2]) && alnum(p[3])) {
            out.append(char(hexToDigit(p[2]) * 16 + hexToDigit(p[3])));
            p += 4;
        } else {
            out.append(*p++);
        }
    }
    return out;
}

// The text of a label line: escapes decoded, cut at the first zero byte.
QString CMStorageLinkWorker::labelText(const QString &line)
{
    const QByteArray decoded = decodeEscape(line.toUtf8());
    return QString::fromUtf8(decoded.constData(), int(std::strlen(decoded.constData())));
}

void CMStorageLinkWorker::dirChanged(const QString &dir)
{
    LOG4CPLUS_DEBUG(storageLinkLogger, "dirChanged: " << dir);
    const QStringList names = subdirectoryNames(dir);

    QStringList deleteLinkList = m_links.uniqueKeys();
    QStringList deleteNotifList = m_notifList;

    // Notification phase: names seen are struck off deleteNotifList.
    QSet<QString> listedNotifs;
    // Only looked up for listed names: a rescan of an emptied directory
    // need not hash every name it knew.
    QSet<QString> knownNotifs = names.isEmpty() ? QSet<QString>() : setOf(m_notifList);
    for (const QString &name : names) {
        for (const WatchPrefix &prefix : qAsConst(m_notifPrefixes)) {
            if (!name.startsWith(prefix.prefix, Qt::CaseSensitive))
                continue;
            listedNotifs.insert(name);
            if (knownNotifs.contains(name))
                continue;
            LOG4CPLUS_DEBUG(storageLinkLogger, "New notification entry: " << logSafe(name));
            m_notifList.append(name);
            knownNotifs.insert(name);
            if (!m_notifShown) {
                m_notifShown = true;
                m_listNode->rowsAppend(m_notifNode->path());
                m_notifTimer.start();
            }
        }
    }
    deleteNotifList = without(deleteNotifList, listedNotifs);

    // Link phase: the first matching record creates, counts and numbers a
    // link; every matching record strikes the name off deleteLinkList.
    QSet<QString> listedLinks;
    for (const QString &name : names) {
        for (WatchPrefix &prefix : m_linkPrefixes) {
            if (!isLinkCandidate(name, prefix))
                continue;
            const CMPath target = m_linkPrefix + name;
            listedLinks.insert(name);
            if (m_links.contains(name))
                continue;

            prefix.count += 1;
            prefix.seq += 1;
            const QString title = prefix.name + QString::number(prefix.seq, 10);
            QString head;
            QString tail;
            splitName(name, head, tail);
            const LabelFile labelFile(dir, name);
            QString labelLine;
            const LabelFile::Status labelStatus = labelFile.readFirstLine(labelLine);
            if (labelStatus == LabelFile::Unreadable)
                LOG4CPLUS_ERROR(storageLinkLogger,
                                "Cannot open label file for:" << logSafe(labelFile.path()));
            const QString label = labelStatus == LabelFile::Read ? labelText(labelLine) : QString();
            // The log gets the name and label escaped, the node the label as it is.
            LOG4CPLUS_INFO(storageLinkLogger,
                           "New matching entry: " << logSafe(head) << " / " << logSafe(tail)
                                                  << " --> " << logSafe(target.toEncoded())
                                                  << ", name " << title << ", label "
                                                  << logSafe(label));

            CMLinkRowsNode *node = CMLinkRowsNode::create(
                nodes(), m_listNode->path() + QStringLiteral("/") + name, target);
            node->setTitle(TrString(title));
            node->setId(tail);
            node->setDescription(TrString(label));
            node->setPlayable(true);
            m_links.insert(name, node);
            m_listNode->rowsAppend(node->path());
            LOG4CPLUS_DEBUG(storageLinkLogger,
                            "Adding node for " << logSafe(node->path().toEncoded()));
            if (m_notifShown)
                removeNotificationNode();
        }
    }
    deleteLinkList = without(deleteLinkList, listedLinks);

    // Removal phase. A row is found by its content: the notification row
    // may have shifted the indices.
    RowIndex rows(deleteLinkList.isEmpty() ? QVariantList() : m_listNode->rows());
    for (const QString &name : qAsConst(deleteLinkList)) {
        const CMPath rowPath = m_listNode->path() + QStringLiteral("/") + name;
        LOG4CPLUS_DEBUG(storageLinkLogger,
                        "Removing " << logSafe(name) << " from storagelink list");
        LOG4CPLUS_DEBUG(storageLinkLogger, "  -> " << logSafe(rowPath.toEncoded()));
        const int row = rows.take(rowPath.toEncoded());
        if (row >= 0) {
            LOG4CPLUS_TRACE(storageLinkLogger, "  -> removing from row " << row);
            m_listNode->rowsRemoveAt(row);
        }

        // One look-up for the name's nodes and their entries; erase()
        // never rehashes, while remove() may shrink the table on the way.
        for (auto it = m_links.find(name); it != m_links.end() && it.key() == name;) {
            it.value()->dispose();
            it = m_links.erase(it);
        }

        WatchPrefix *prefix = countingRecord(m_linkPrefixes, name);
        if (prefix && --prefix->count <= 0) {
            LOG4CPLUS_DEBUG(storageLinkLogger,
                            "Reset prefix " << prefix->prefix << " counter to 0");
            prefix->count = 0;
            prefix->seq = 0;
        }
    }

    // Names in m_notifList are unique, so a deleteNotifList as long holds them all.
    if (deleteNotifList.size() == m_notifList.size())
        m_notifList.clear();
    else if (!deleteNotifList.isEmpty())
        m_notifList = without(m_notifList, setOf(deleteNotifList));
    if (m_notifList.isEmpty() && m_notifShown)
        removeNotificationNode();

    LOG4CPLUS_DEBUG(
        storageLinkLogger,
        "Leave " << dbglog_scopedFunction("void CMStorageLinkWorker::dirChanged(const QString&)",
                                          "CB_StorageLink")
                 << ": "
                 << "m_notifList: " << ListText{m_notifList}
                 << " deleteNotifList: " << ListText{deleteNotifList});
}

// A directory's watch stays with the directory: renamed away, it reports
// what happens at its new place, and a directory made anew under the name,
// or mounted over it, goes unseen. The worker keeps to what the path names.
void CMStorageLinkWorker::followWatchPath()
{
    m_watchedId = PathIdentity::of(m_watchPath);
    if (!m_watchedId.isDirectory) {
        LOG4CPLUS_ERROR(storageLinkLogger,
                        "Cannot watch path " << m_watchPath << ": not a directory");
        return;
    }
    m_follower = new PathFollower(m_watchPath, this);
    connect(m_follower, &PathFollower::changed, this, [this] { followPath(); });
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] { followPath(); });
    followPath(); // the watch set up above may have been refused
}

// Moves the watch to what the path names now, and rescans, whenever that is
// another directory than the one watched, or none.
void CMStorageLinkWorker::followPath()
{
    const PathIdentity now = PathIdentity::of(m_watchPath);
    const bool moved = now != m_watchedId;
    if (!moved && !m_watchLost && m_watcher->directories().contains(m_watchPath))
        return;
    m_watchedId = now;
    if (!m_watchLost) {
        m_watchLost = true;
        m_watcher->removePath(m_watchPath);
        LOG4CPLUS_ERROR(storageLinkLogger,
                        "Cannot watch path " << m_watchPath << ", waiting for it to come back");
    }

    const int error = now.isDirectory ? PathFollower::watchError(m_watchPath) : ENOTDIR;
    if (error == 0 && m_watcher->addPath(m_watchPath)) {
        m_watchLost = false;
        m_follower->setRetrying(false);
        LOG4CPLUS_INFO(storageLinkLogger, "Watching path " << m_watchPath << " again");
        dirChanged(m_watchPath);
        return;
    }
    // No event tells when the system's watch limits allow one again.
    m_follower->setRetrying(PathFollower::isResourceShortage(error));
    if (moved)
        dirChanged(m_watchPath);
}

void CMStorageLinkWorker::removeNotificationNode()
{
    LOG4CPLUS_DEBUG(storageLinkLogger, "removeNotificationNode");
    m_notifTimer.stop();
    m_listNode->rowsRemoveStartingWithPath(m_notifNode->path());
    m_notifShown = false;
}
