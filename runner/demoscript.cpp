// SPDX-License-Identifier: MIT
#include "demoscript.h"

#include "eventview.h"

#include <QFile>

namespace {

// The worker withdraws the notification row 10 s after it showed.
constexpr int kNotificationLifeMs = 10000;

} // namespace

DemoScript::DemoScript(const QString &directory, int stepMs, EventView &view, QObject *parent)
    : QObject(parent), m_dir(directory), m_view(view), m_stepMs(stepMs)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(stepMs);
    connect(&m_timer, &QTimer::timeout, this, &DemoScript::runNextStep);
    addSteps();
}

QString DemoScript::introduction() const
{
    return QStringLiteral(
               "Demo: a stand-in automounter adds and removes device directories in %1.\n"
               "    The worker links entries starting with usb- (titled USB1, USB2...) and mmc- "
               "(Card1...).\n"
               "    New usb-, mmc- and new- entries raise its \"Attaching new device...\" "
               "notification row;\n"
               "    the automounter names a device new-... while it checks it.\n"
               "    Each step is followed by the worker's log lines and the tree it leaves.")
        .arg(m_dir.path());
}

void DemoScript::addSteps()
{
    m_steps = {
        {QStringLiteral("A USB stick arrives: its label file usb-sda1.label holds "
                        "\"Pictures\\x20\\x26\\x20Music\", then the directory usb-sda1 appears. "
                        "Expect the link USB1 with the escapes decoded in its description."),
         [this] {
             writeLabel(QStringLiteral("usb-sda1"), "Pictures\\x20\\x26\\x20Music\n");
             makeEntry(QStringLiteral("usb-sda1"));
         }},
        {QStringLiteral("An SD card is plugged in: while the automounter checks it, it shows as "
                        "new-mmcblk0p1, which raises the notification but makes no link, so the "
                        "row \"Attaching new device...\" joins the list."),
         [this] { makeEntry(QStringLiteral("new-mmcblk0p1")); }},
        {QStringLiteral("The card is mounted: new-mmcblk0p1 becomes mmc-mmcblk0p1, and its link "
                        "Card1 takes the notification row's place."),
         [this] { renameEntry(QStringLiteral("new-mmcblk0p1"), QStringLiteral("mmc-mmcblk0p1")); }},
        {QStringLiteral("A second USB stick arrives without a label file: usb-sdb1 becomes USB2, "
                        "with no description."),
         [this] { makeEntry(QStringLiteral("usb-sdb1")); }},
        {QStringLiteral("The first stick is pulled: usb-sda1 loses its row and its link; USB2 "
                        "keeps its number."),
         [this] { removeEntry(QStringLiteral("usb-sda1")); }},
        {QStringLiteral("The second stick is pulled too: no usb- link is left, so the USB "
                        "numbering starts again."),
         [this] { removeEntry(QStringLiteral("usb-sdb1")); }},
        {QStringLiteral("A third stick arrives: usb-sdc1 is USB1 again."),
         [this] { makeEntry(QStringLiteral("usb-sdc1")); }},
        {QStringLiteral("A device shows as new-sdd but never gets mounted: the notification row "
                        "comes back, lives its 10 s and goes by itself (the demo waits for it)."),
         [this] { makeEntry(QStringLiteral("new-sdd")); }, kNotificationLifeMs + 500},
        {QStringLiteral("Entries that match no prefix (sata-sda1) or are hidden (.usb-tmp) are "
                        "ignored: the worker rescans, the tree stays as it is."),
         [this] {
             makeEntry(QStringLiteral("sata-sda1"));
             makeEntry(QStringLiteral(".usb-tmp"));
         }},
    };
}

void DemoScript::start()
{
    m_timer.start();
}

void DemoScript::runNextStep()
{
    if (m_next == m_steps.size()) {
        m_view.showCaption(QStringLiteral("Demo over: the worker is destroyed, the plug-in "
                                          "unloaded and %1 removed.")
                               .arg(m_dir.path()));
        emit finished();
        return;
    }
    const Step &step = m_steps.at(m_next++);
    m_view.showCaption(
        QStringLiteral("Step %1 of %2: %3").arg(m_next).arg(m_steps.size()).arg(step.caption));
    step.action();
    m_timer.start(qMax(m_stepMs, step.leastPauseMs));
}

void DemoScript::makeEntry(const QString &name)
{
    if (!m_dir.mkdir(name))
        m_view.showNote(QStringLiteral("demo: cannot create %1").arg(m_dir.filePath(name)));
}

void DemoScript::removeEntry(const QString &name)
{
    if (!m_dir.rmdir(name))
        m_view.showNote(QStringLiteral("demo: cannot remove %1").arg(m_dir.filePath(name)));
}

void DemoScript::renameEntry(const QString &from, const QString &to)
{
    if (!m_dir.rename(from, to))
        m_view.showNote(QStringLiteral("demo: cannot rename %1").arg(m_dir.filePath(from)));
}

void DemoScript::writeLabel(const QString &name, const QByteArray &text)
{
    QFile file(m_dir.filePath(name + QStringLiteral(".label")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        m_view.showNote(QStringLiteral("demo: cannot write %1").arg(file.fileName()));
}
