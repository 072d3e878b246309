// SPDX-License-Identifier: MIT
#include "runner.h"

#include "demoscript.h"
#include "humanview.h"
#include "jsonview.h"
#include "logsetup.h"
#include "pluginpath.h"
#include "signalquitter.h"
#include "workerconfig.h"

#include <orva/cmworkerplugin.h>

#include <log4cplus/logger.h>

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

Runner::Runner(const RunnerOptions &options)
    : m_options(options), m_view(options.json ? std::unique_ptr<EventView>(new JsonView)
                                              : std::unique_ptr<EventView>(new HumanView))
{
}

Runner::~Runner() = default;

int Runner::run()
{
    const int code = execute();
    m_watchDir.reset();
    m_view->showExit(code);
    return code;
}

int Runner::execute()
{
    QString error;
    if (!setUpLogging(error))
        return fail(UsageFailure, error);
    const LogRouting logging(*m_view, logsetup::levelNamed(viewLevel()));

    QVariantHash config;
    if (!prepareConfig(config, error))
        return fail(UsageFailure, error);

    // Before the plug-in loads, so that a signal during its start is not lost.
    SignalQuitter quitter;
    if (!quitter.isActive())
        m_view->showNote(QStringLiteral("orva-host: cannot catch SIGINT and SIGTERM; they will "
                                        "end the runner without clean-up"));
    // Functor connections name a context object: the functor runs on its
    // thread, and the connection ends when it goes.
    QObject::connect(&quitter, &SignalQuitter::signalled, &quitter, [this](int signalNumber) {
        m_view->showNote(QStringLiteral("orva-host: stopping on signal %1").arg(signalNumber));
        QCoreApplication::quit();
    });

    std::unique_ptr<DemoScript> demo;
    if (m_options.demo) {
        demo.reset(new DemoScript(m_watchDir->path(), m_options.demoStepMs, *m_view));
        m_view->showCaption(demo->introduction());
        QObject::connect(demo.get(), &DemoScript::finished, QCoreApplication::instance(),
                         &QCoreApplication::quit);
    }

    const QString pluginPath =
        m_options.pluginPath.isEmpty() ? defaultPluginPath() : m_options.pluginPath;
    CMWorkerPlugin plugin(pluginPath);
    if (!plugin.createWorker(config))
        return fail(PluginFailure, plugin.errorString());
    if (!plugin.nodes())
        return fail(
            PluginFailure,
            QStringLiteral("the worker of %1 publishes no node tree").arg(plugin.fileName()));
    m_view->showReady(pluginPath);
    showTree(plugin);

    {
        // One tree per event-loop turn in which the tree changed, however
        // many changes the turn made: the timer fires once control is back
        // in the loop, after the whole rescan.
        QTimer treeChanged;
        treeChanged.setSingleShot(true);
        treeChanged.setInterval(0);
        QObject::connect(&treeChanged, &QTimer::timeout, &treeChanged,
                         [this, &plugin] { showTree(plugin); });
        QObject::connect(plugin.nodes(), &CMNodes::changed, &treeChanged, [&treeChanged] {
            if (!treeChanged.isActive())
                treeChanged.start();
        });
        if (demo)
            demo->start();
        m_view->watchOutput();
        QCoreApplication::exec();
    }
    if (m_view->outputClosed())
        m_view->showNote(QStringLiteral("orva-host: stopping: standard output is closed"));
    demo.reset();
    // The worker goes first, then its library.
    plugin.unload();
    return Success;
}

QString Runner::viewLevel() const
{
    if (!m_options.logLevel.isEmpty())
        return m_options.logLevel;
    return m_options.json   ? QStringLiteral("TRACE")
           : m_options.demo ? QStringLiteral("DEBUG")
                            : QStringLiteral("INFO");
}

// A level given on the command line holds for the whole tree; without one,
// the properties file's levels do, and without that the view's level.
bool Runner::setUpLogging(QString &error)
{
    const bool useFile = !m_options.logConfigFile.isEmpty();
    if (useFile && !logsetup::configureFromFile(m_options.logConfigFile, error))
        return false;
    if (!m_options.logLevel.isEmpty() || !useFile)
        log4cplus::Logger::getRoot().setLogLevel(logsetup::levelNamed(viewLevel()));
    return true;
}

bool Runner::prepareConfig(QVariantHash &config, QString &error)
{
    const bool useFile = !m_options.configFile.isEmpty();
    if (!useFile && m_options.overrides.isEmpty()) {
        const QString directory = createWatchDirectory(error);
        if (directory.isEmpty())
            return false;
        config = m_options.demo ? workerconfig::demo(directory) : workerconfig::builtin(directory);
        return true;
    }
    if (useFile && !workerconfig::readFile(m_options.configFile, config, error))
        return false;
    workerconfig::applyOverrides(config, m_options.overrides);
    return true;
}

QString Runner::createWatchDirectory(QString &error)
{
    m_watchDir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/orva-host-XXXXXX")));
    if (!m_watchDir->isValid()) {
        error =
            QStringLiteral("cannot create a watch directory: %1").arg(m_watchDir->errorString());
        return QString();
    }
    m_view->showNote(
        QStringLiteral("orva-host: watch directory %1 (created for this run, removed at exit)")
            .arg(m_watchDir->path()));
    return m_watchDir->path();
}

void Runner::showTree(const CMWorkerPlugin &plugin)
{
    m_view->showTree(readTree(*plugin.worker(), *plugin.nodes()));
}

int Runner::fail(int code, const QString &message) const
{
    m_view->showNote(QStringLiteral("orva-host: ") + message);
    return code;
}
