// SPDX-License-Identifier: MIT
#include "orva/cmnodes.h"

#include <QMetaType>

#include <algorithm>

// A connection made by signature with Qt::QueuedConnection (orvaConnect's
// way) finds the argument types of CMNodes::changed by name, and fails to
// connect unless they are registered. Registered as the library loads, so that
// no host or worker has to do it first.
static void registerChangeTypes()
{
    qRegisterMetaType<CMPath>();
    qRegisterMetaType<CMNodes::Change>();
}
Q_CONSTRUCTOR_FUNCTION(registerChangeTypes)

// --- CMNodes ---------------------------------------------------------------

CMNodes::CMNodes() = default;

// Nodes go silently with their registry: nobody is left to tell.
CMNodes::~CMNodes() = default;

CMNode *CMNodes::node(const CMPath &path) const
{
    const auto it = m_byPath.find(path);
    return it == m_byPath.end() ? nullptr : it->second.back().get();
}

std::vector<CMNode *> CMNodes::allNodes() const
{
    std::vector<const decltype(m_byPath)::value_type *> entries;
    entries.reserve(m_byPath.size());
    for (const auto &entry : m_byPath)
        entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto *a, const auto *b) { return a->first < b->first; });
    // Filled in place: growing it would instantiate the vector's reallocation
    // for an exported element type, and that instantiation would be exported.
    std::vector<CMNode *> result(static_cast<size_t>(m_size));
    auto out = result.begin();
    for (const auto *entry : entries)
        for (const auto &node : entry->second)
            *out++ = node.get();
    return result;
}

CMNode *CMNodes::adopt(std::unique_ptr<CMNode> node)
{
    CMNode *raw = node.get();
    auto &atPath = m_byPath[raw->path()];
    // Allowed, and the older node lives on, but lookups, requests and changes
    // at the path now mean the newer one: seldom what a worker meant, and
    // nothing else would show it.
    if (!atPath.empty())
        qWarning("CMNodes: a node is created at %s, which holds a node already; the new one "
                 "shadows it",
                 qUtf8Printable(raw->path().toEncoded()));
    atPath.push_back(std::move(node));
    ++m_size;
    emit changed(raw->path(), NodeAdded);
    return raw;
}

void CMNodes::destroy(CMNode *node)
{
    const auto it = m_byPath.find(node->path());
    if (it == m_byPath.end())
        return;
    auto &list = it->second;
    const auto pos =
        std::find_if(list.begin(), list.end(),
                     [node](const std::unique_ptr<CMNode> &p) { return p.get() == node; });
    if (pos == list.end())
        return;
    const CMPath path = node->path();
    std::unique_ptr<CMNode> dying = std::move(*pos);
    list.erase(pos);
    if (list.empty())
        m_byPath.erase(it);
    --m_size;
    dying.reset();
    emit changed(path, NodeRemoved);
}

// --- CMNode ----------------------------------------------------------------

CMNode::CMNode(CMNodes *nodes, const CMPath &path) : m_nodes(nodes), m_path(path) {}

CMNode::~CMNode() = default;

QVariantHash CMNode::data() const
{
    return {{QStringLiteral("path"), m_path.toEncoded()}, {QStringLiteral("kind"), kind()}};
}

bool CMNode::setData(const QString &, const QVariant &)
{
    return false;
}

void CMNode::dispose()
{
    m_nodes->destroy(this);
}

void CMNode::notify(CMNodes::Change change) const
{
    emit m_nodes->changed(m_path, change);
}

// --- CMUINode --------------------------------------------------------------

CMUINode *CMUINode::create(CMNodes *nodes, const CMPath &path)
{
    return static_cast<CMUINode *>(
        nodes->adopt(std::unique_ptr<CMNode>(new CMUINode(nodes, path))));
}

QString CMUINode::kind() const
{
    return QStringLiteral("ui");
}

QVariantHash CMUINode::data() const
{
    QVariantHash result = CMNode::data();
    result.insert(QStringLiteral("title"), m_title.toString());
    result.insert(QStringLiteral("description"), m_description.toString());
    result.insert(QStringLiteral("id"), m_id);
    result.insert(QStringLiteral("icon"), m_icon);
    result.insert(QStringLiteral("playable"), false);
    return result;
}

bool CMUINode::setData(const QString &key, const QVariant &value)
{
    if (key == QLatin1String("title"))
        setTitle(TrString(value.toString()));
    else if (key == QLatin1String("description"))
        setDescription(TrString(value.toString()));
    else if (key == QLatin1String("id"))
        setId(value.toString());
    else if (key == QLatin1String("icon"))
        setIcon(value.toString());
    else
        return CMNode::setData(key, value);
    return true;
}

void CMUINode::setTitle(const TrString &title)
{
    m_title = title;
    notify(CMNodes::DataChanged);
}

void CMUINode::setDescription(const TrString &description)
{
    m_description = description;
    notify(CMNodes::DataChanged);
}

void CMUINode::setId(const QString &id)
{
    m_id = id;
    notify(CMNodes::DataChanged);
}

void CMUINode::setIcon(const QString &icon)
{
    m_icon = icon;
    notify(CMNodes::DataChanged);
}

// --- CMContainerNode -------------------------------------------------------

QVariantHash CMContainerNode::data() const
{
    QVariantHash result = CMUINode::data();
    result.insert(QStringLiteral("playable"), m_playable);
    return result;
}

bool CMContainerNode::setData(const QString &key, const QVariant &value)
{
    if (key != QLatin1String("playable"))
        return CMUINode::setData(key, value);
    setPlayable(value.toBool());
    return true;
}

void CMContainerNode::setPlayable(bool playable)
{
    m_playable = playable;
    notify(CMNodes::DataChanged);
}

// --- CMListRowsNode --------------------------------------------------------

// The rows removed since the list was last closed up, in a Fenwick tree over
// the positions (1 for a row still there), so that the row at an index of
// the list as it now stands is found in O(log n).
class CMListRowsNode::Removals
{
public:
    explicit Removals(int size) : m_tree(size_t(size) + 1, 0), m_removed(size_t(size), false)
    {
        for (int i = 1; i <= size; ++i) {
            m_tree[i] += 1;
            const int parent = i + (i & -i);
            if (parent <= size)
                m_tree[parent] += m_tree[i];
        }
        m_remaining = size;
    }

    int remaining() const { return m_remaining; }
    bool isRemoved(int position) const { return m_removed[size_t(position)]; }

    // Removes the row at index of the rows that remain; answers its position.
    int remove(int index)
    {
        const int size = int(m_removed.size());
        int position = 0; // rows up to position remain fewer than index + 1
        int wanted = index + 1;
        for (int step = highestPowerOfTwo(size); step > 0; step >>= 1) {
            if (position + step <= size && m_tree[position + step] < wanted) {
                position += step;
                wanted -= m_tree[position];
            }
        }
        for (int i = position + 1; i <= size; i += i & -i)
            m_tree[i] -= 1;
        m_removed[size_t(position)] = true;
        --m_remaining;
        return position;
    }

private:
    static int highestPowerOfTwo(int n)
    {
        int p = 1;
        while (p * 2 <= n)
            p *= 2;
        return n > 0 ? p : 0;
    }

    std::vector<int> m_tree;
    std::vector<bool> m_removed;
    int m_remaining = 0;
};

CMListRowsNode *CMListRowsNode::create(CMNodes *nodes, const CMPath &path)
{
    return static_cast<CMListRowsNode *>(
        nodes->adopt(std::unique_ptr<CMNode>(new CMListRowsNode(nodes, path))));
}

QString CMListRowsNode::kind() const
{
    return QStringLiteral("list");
}

CMListRowsNode::~CMListRowsNode() = default;

QVariantHash CMListRowsNode::data() const
{
    QVariantHash result = CMUINode::data();
    result.insert(QStringLiteral("rows"), rows());
    return result;
}

const QVariantList &CMListRowsNode::rows() const
{
    closeUp();
    return m_rows;
}

void CMListRowsNode::closeUp() const
{
    if (!m_removals)
        return;
    QVariantList rest;
    rest.reserve(m_removals->remaining());
    for (int i = 0; i < m_rows.size(); ++i)
        if (!m_removals->isRemoved(i))
            rest.append(m_rows.at(i));
    m_rows.swap(rest);
    m_removals.reset();
}

void CMListRowsNode::rowsAppend(const CMPath &path)
{
    closeUp();
    m_rows.append(QVariant(path.toEncoded()));
    notify(CMNodes::RowsChanged);
}

void CMListRowsNode::rowsRemoveAt(int index)
{
    const int size = m_removals ? m_removals->remaining() : m_rows.size();
    if (index < 0 || index >= size)
        return;
    if (index == size - 1 && !m_removals) {
        m_rows.removeLast();
    } else {
        if (!m_removals)
            m_removals = std::make_unique<Removals>(m_rows.size());
        m_removals->remove(index);
    }
    notify(CMNodes::RowsChanged);
}

void CMListRowsNode::rowsRemoveStartingWithPath(const CMPath &path)
{
    closeUp();
    const int before = m_rows.size();
    m_rows.erase(std::remove_if(m_rows.begin(), m_rows.end(),
                                [&path](const QVariant &row) {
                                    return CMPath::fromEncoded(row.toString()).startsWith(path);
                                }),
                 m_rows.end());
    if (m_rows.size() != before)
        notify(CMNodes::RowsChanged);
}

// --- CMLinkRowsNode --------------------------------------------------------

CMLinkRowsNode::CMLinkRowsNode(CMNodes *nodes, const CMPath &path, const CMPath &target)
    : CMContainerNode(nodes, path), m_target(target)
{
}

CMLinkRowsNode *CMLinkRowsNode::create(CMNodes *nodes, const CMPath &path, const CMPath &target)
{
    return static_cast<CMLinkRowsNode *>(
        nodes->adopt(std::unique_ptr<CMNode>(new CMLinkRowsNode(nodes, path, target))));
}

QString CMLinkRowsNode::kind() const
{
    return QStringLiteral("link");
}

QVariantHash CMLinkRowsNode::data() const
{
    QVariantHash result = CMContainerNode::data();
    result.insert(QStringLiteral("target"), m_target.toEncoded());
    return result;
}
