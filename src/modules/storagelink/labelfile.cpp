#include "labelfile.h"

#include <QByteArray>
#include <QFile>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A label is one short line. Reading stops after this many bytes, so that a
// huge file without a line break cannot balloon the host's memory.
constexpr qint64 kReadLimit = 64 * 1024;

// Only a regular file is read, and it is opened without blocking: a FIFO would
// block open() until a writer came, and a device may never end its first line.
bool openRegularFile(const QString &path, QFile &file)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

} // namespace

LabelFile::LabelFile(const QString &dir, const QString &name)
    : m_path(dir + QLatin1Char('/') + name + QLatin1String(".label"))
{
}

LabelFile::Status LabelFile::readFirstLine(QString &line) const
{
    if (!QFile::exists(m_path))
        return Missing;
    QFile file;
    if (!openRegularFile(m_path, file))
        return Unreadable;
    // The bytes are read raw and handed to a text-mode stream, which decodes
    // first (the locale's codec, or the one a byte-order mark names) and drops
    // carriage returns afterwards, as characters. A text-mode file would drop
    // every 0x0D byte before decoding and so break UTF-16 text.
    const QByteArray head = file.read(kReadLimit);
    QTextStream stream(head, QIODevice::ReadOnly | QIODevice::Text);
    line = stream.readLine();
    return Read;
}
