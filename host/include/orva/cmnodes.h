// SPDX-License-Identifier: MIT
// The host's node tree: a registry that owns every node, and the node types.
#pragma once

#include "cmpath.h"
#include "trstring.h"

#include <orva/orva_api_export.h>

#include <QObject>
#include <QVariant>

#include <memory>
#include <unordered_map>
#include <vector>

class CMNode;

// Owns the nodes of one worker, filed by path. Creating a node at a path that
// is taken files it after the one there (which stays alive) with a warning;
// lookups answer the newest. A node leaves through CMNode::dispose and is
// freed at once.
class ORVA_API_EXPORT CMNodes : public QObject
{
    Q_OBJECT
public:
    enum Change
    {
        NodeAdded,
        NodeRemoved,
        DataChanged,
        RowsChanged
    };
    Q_ENUM(Change)

    CMNodes();
    ~CMNodes() override;

    CMNode *node(const CMPath &path) const;
    // Every live node, sorted by path; nodes sharing a path in creation order.
    std::vector<CMNode *> allNodes() const;
    int size() const { return m_size; }

    // Takes ownership; used by the create functions of the node types.
    CMNode *adopt(std::unique_ptr<CMNode> node);

Q_SIGNALS:
    // Emitted for every change, so a host can follow the tree.
    void changed(const CMPath &path, CMNodes::Change change);

private:
    // Private members that only the library calls stay out of its exports:
    // no worker can reach them, so they may change freely.
    friend class CMNode;
    ORVA_API_NO_EXPORT void destroy(CMNode *node);

    struct PathHash
    {
        size_t operator()(const CMPath &path) const { return qHash(path); }
    };
    // Hashed rather than ordered: a worker removing thousands of nodes at
    // once would pay a walk down a tree of cache misses for each.
    std::unordered_map<CMPath, std::vector<std::unique_ptr<CMNode>>, PathHash> m_byPath;
    int m_size = 0;
};

class ORVA_API_EXPORT CMNode
{
public:
    virtual ~CMNode();
    CMNode(const CMNode &) = delete;
    CMNode &operator=(const CMNode &) = delete;

    const CMPath &path() const { return m_path; }
    // "ui", "list" or "link".
    virtual QString kind() const = 0;
    // Attributes as a host reads them: path, kind, and those of the node type.
    virtual QVariantHash data() const;
    // Sets one attribute a host may write; false for an unknown key.
    virtual bool setData(const QString &key, const QVariant &value);

    // Takes the node out of the tree and frees it; the caller drops its pointer.
    virtual void dispose();

protected:
    CMNode(CMNodes *nodes, const CMPath &path);
    void notify(CMNodes::Change change) const;
    CMNodes *registry() const { return m_nodes; }

private:
    CMNodes *m_nodes;
    CMPath m_path;
};

class ORVA_API_EXPORT CMUINode : public CMNode
{
public:
    static CMUINode *create(CMNodes *nodes, const CMPath &path);

    QString kind() const override;
    QVariantHash data() const override;
    bool setData(const QString &key, const QVariant &value) override;

    void setTitle(const TrString &title);
    void setDescription(const TrString &description);
    void setId(const QString &id);
    void setIcon(const QString &icon);

    const TrString &title() const { return m_title; }
    const TrString &description() const { return m_description; }
    const QString &id() const { return m_id; }
    const QString &icon() const { return m_icon; }

protected:
    using CMNode::CMNode;

private:
    TrString m_title;
    TrString m_description;
    QString m_id;
    QString m_icon;
};

// A node whose content can be played as a whole.
class ORVA_API_EXPORT CMContainerNode : public CMUINode
{
public:
    QVariantHash data() const override;
    bool setData(const QString &key, const QVariant &value) override;

    void setPlayable(bool playable);
    bool isPlayable() const { return m_playable; }

protected:
    using CMUINode::CMUINode;

private:
    bool m_playable = false;
};

// A list whose rows are node paths, held as QVariant(QString) of the encoded form.
class ORVA_API_EXPORT CMListRowsNode : public CMUINode
{
public:
    static CMListRowsNode *create(CMNodes *nodes, const CMPath &path);
    ~CMListRowsNode() override;

    QString kind() const override;
    QVariantHash data() const override;

    void rowsAppend(const CMPath &path);
    const QVariantList &rows() const;
    // Out-of-range indices are ignored. A run of removals costs O(log n)
    // each: the list is closed up once, when it is next read or changed.
    void rowsRemoveAt(int index);
    // Removes the rows whose path is path or lies below it.
    void rowsRemoveStartingWithPath(const CMPath &path);

protected:
    using CMUINode::CMUINode;

private:
    class ORVA_API_NO_EXPORT Removals;
    ORVA_API_NO_EXPORT void closeUp() const;

    mutable QVariantList m_rows;
    mutable std::unique_ptr<Removals> m_removals; // rows removed, not yet closed up
};

// A node standing for another path; its rows are those of its target.
class ORVA_API_EXPORT CMLinkRowsNode : public CMContainerNode
{
public:
    static CMLinkRowsNode *create(CMNodes *nodes, const CMPath &path, const CMPath &target);

    QString kind() const override;
    QVariantHash data() const override;
    const CMPath &target() const { return m_target; }

protected:
    CMLinkRowsNode(CMNodes *nodes, const CMPath &path, const CMPath &target);

private:
    CMPath m_target;
};
