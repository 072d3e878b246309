// SPDX-License-Identifier: MIT
// A scripted scenario: a stand-in automounter makes and removes device
// directories, one step at a time, each step announced by a caption.
#pragma once

#include <QDir>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <functional>

class EventView;

class DemoScript : public QObject
{
    Q_OBJECT
public:
    DemoScript(const QString &directory, int stepMs, EventView &view, QObject *parent = nullptr);

    QString introduction() const;
    // Runs the first step after one pause; finished() follows the last one.
    void start();

Q_SIGNALS:
    void finished();

private:
    struct Step
    {
        QString caption;
        std::function<void()> action;
        int leastPauseMs = 0; // the pause after it lasts at least this long
    };

    void addSteps();
    void runNextStep();
    void makeEntry(const QString &name);
    void removeEntry(const QString &name);
    void renameEntry(const QString &from, const QString &to);
    void writeLabel(const QString &name, const QByteArray &text);

    QDir m_dir;
    EventView &m_view;
    QVector<Step> m_steps;
    int m_next = 0;
    int m_stepMs;
    QTimer m_timer;
};
