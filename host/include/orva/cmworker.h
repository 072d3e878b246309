// SPDX-License-Identifier: MIT
// The worker base classes a plug-in derives from, and the plug-in entry point.
#pragma once

#include "cmnodes.h"

#include <orva/orva_api_export.h>

#include <QObject>
#include <QVariant>

#include <functional>

using CMChangeHandler = std::function<void(const CMPath &)>;

// What the host talks to: requests by name, and change subscriptions.
class ORVA_API_EXPORT CMAbstractWorker : public QObject
{
    Q_OBJECT
public:
    CMAbstractWorker(const QVariantHash &config, const QString &name);
    ~CMAbstractWorker() override;

    const QString &name() const { return m_name; }
    const QVariantHash &config() const { return m_config; }

    // Dispatches "ping", "data", "rows", "match" (argument: the row value) and
    // "set" (argument: a hash of attributes) to the handlers below. Unknown
    // types answer an invalid QVariant.
    virtual QVariant request(const QString &type, const CMPath &path,
                             const QVariant &argument = QVariant());
    virtual bool ping() = 0;
    virtual void trace(bool enabled) = 0;
    // Attributes of the node at path; empty when there is none.
    virtual QVariantHash getDataRequest(const CMPath &path) = 0;
    virtual QVariantList getRowsRequest(const CMPath &path) = 0;
    // Index of the first row of path equal to value, or -1.
    virtual int matchRowRequest(const CMPath &path, const QVariant &value) = 0;
    // Sets the given attributes; false when the node is missing or a key unknown.
    virtual bool setDataRequest(const CMPath &path, const QVariantHash &values) = 0;

    // Subscriptions answer a positive id; handlers get the path that changed.
    // Value: a node appears or goes at path. Data: its attributes. Rows: its rows.
    virtual int connectValueChange(const CMPath &path, CMChangeHandler handler);
    virtual bool disconnectValueChange(int id);
    virtual int connectDataChange(const CMPath &path, CMChangeHandler handler);
    virtual bool disconnectDataChange(int id);
    virtual int connectRowsChange(const CMPath &path, CMChangeHandler handler);
    virtual bool disconnectRowsChange(int id);
    // Any change at path or below it.
    virtual int connectChange(const CMPath &path, CMChangeHandler handler) = 0;
    virtual bool disconnectChange(int id) = 0;

protected:
    enum class ChangeKind
    {
        Value,
        Data,
        Rows,
        Any
    };
    int subscribe(ChangeKind kind, const CMPath &path, CMChangeHandler handler);
    bool unsubscribe(ChangeKind kind, int id);
    void publishChange(ChangeKind kind, const CMPath &path);
    bool isTracing() const { return m_tracing; }
    void setTracing(bool on) { m_tracing = on; }

private:
    struct Subscription
    {
        int id;
        ChangeKind kind;
        CMPath path;
        CMChangeHandler handler;
    };
    QString m_name;
    QVariantHash m_config;
    QList<Subscription> m_subscriptions;
    int m_nextId = 1;
    bool m_tracing = false;
};

// Key of the configuration hash that sets the worker's own prefix path; when
// it is missing or empty the prefix is "/" followed by the worker's name.
inline constexpr char kWorkerPrefixKey[] = "nodePrefix";

class ORVA_API_EXPORT CMWorker : public CMAbstractWorker
{
    Q_OBJECT
public:
    CMWorker(const QVariantHash &config, const QString &name);

    // The worker's own prefix for "", else the prefix, "/" and name.
    CMPath addPrefix(const QString &name) const;

    bool ping() override;
    // While on, every request is logged at DEBUG to the logger "orva.host".
    void trace(bool enabled) override;

private:
    QString m_prefix;
};

// A worker that publishes nodes; the inherited handlers answer from its registry.
class ORVA_API_EXPORT CMNodesWorker : public CMWorker
{
    Q_OBJECT
public:
    CMNodesWorker(const QVariantHash &config, const QString &name);
    ~CMNodesWorker() override;

    CMNodes *nodes() { return &m_nodes; }
    const CMNodes *nodes() const { return &m_nodes; }

    QVariantHash getDataRequest(const CMPath &path) override;
    QVariantList getRowsRequest(const CMPath &path) override;
    int matchRowRequest(const CMPath &path, const QVariant &value) override;
    bool setDataRequest(const CMPath &path, const QVariantHash &values) override;
    int connectChange(const CMPath &path, CMChangeHandler handler) override;
    bool disconnectChange(int id) override;

private:
    ORVA_API_NO_EXPORT void relayChange(const CMPath &path, CMNodes::Change change);
    CMNodes m_nodes;
};

// The entry point a worker plug-in exports with C linkage. The first argument
// is reserved for the host and may be null; the host owns the result.
extern "C" {
typedef CMAbstractWorker *(*CMWorkerCreateFunction)(void *host, const QVariantHash &config);
}
inline constexpr char kWorkerCreateSymbol[] = "worker_create";
