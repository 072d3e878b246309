// SPDX-License-Identifier: MIT
#include "labelfile.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QFile>
#include <QTextStream>

#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A label is one short line: file system labels are at most 255 bytes, 1 020
// with every byte escaped. Reading stops here, so that a huge file shared by
// many labels cannot balloon the host's memory.
constexpr qint64 kReadLimit = 4096;
// As the kernel's own limit on links followed in one lookup.
constexpr int kMaxLinks = 40;

// Closes the descriptor it owns.
class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : m_fd(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// The text of the symbolic link that fd (an O_PATH descriptor of the link
// itself) stands for.
bool readLinkText(int fd, QByteArray &text)
{
    char buffer[PATH_MAX];
    const ssize_t n = ::readlinkat(fd, "", buffer, sizeof buffer);
    if (n < 0 || size_t(n) >= sizeof buffer)
        return false;
    text = QByteArray(buffer, int(n));
    return true;
}

// Components of a relative path, without the empty ones and ".".
QByteArrayList componentsOf(const QByteArray &path)
{
    QByteArrayList components;
    for (const QByteArray &component : path.split('/'))
        if (!component.isEmpty() && component != ".")
            components.append(component);
    return components;
}

// Resolves name below the directory root (whose canonical path is rootPath)
// the way the kernel would, one component at a time and without ever leaving
// root: links are read as text and followed by hand, ".." never climbs above
// root, an absolute link counts only when it names a place below rootPath.
// Nothing is opened for I/O: every step holds an O_PATH descriptor, and the
// result is the very object that the last step found. Magic links of /proc
// are never taken, since their text is read like any link's and /proc lies
// outside.
//
// openat2() with RESOLVE_BENEATH would refuse every absolute link, those that
// stay inside too, and RESOLVE_IN_ROOT would take "/x" to mean root/x; this
// walk behaves the same on every kernel.
Fd resolveBeneath(const Fd &root, const QByteArray &rootPath, const QByteArray &name,
                  struct stat &st)
{
    std::vector<Fd> parents; // the directories above the current one, up to root
    Fd current(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
    QByteArrayList pending = componentsOf(name);
    int linksFollowed = 0;
    while (current.isValid() && !pending.isEmpty()) {
        const QByteArray component = pending.takeFirst();
        if (component == "..") {
            if (parents.empty())
                return Fd(); // above root
            current = std::move(parents.back());
            parents.pop_back();
            continue;
        }
        Fd next(::openat(current.get(), component.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isValid() || ::fstat(next.get(), &st) != 0)
            return Fd();
        if (S_ISLNK(st.st_mode)) {
            QByteArray target;
            if (++linksFollowed > kMaxLinks || !readLinkText(next.get(), target))
                return Fd();
            if (target.startsWith('/')) {
                if (target != rootPath && !target.startsWith(rootPath + '/'))
                    return Fd(); // outside
                target = target.mid(rootPath.size());
                current = Fd(::fcntl(root.get(), F_DUPFD_CLOEXEC, 0));
                parents.clear();
            }
            pending = componentsOf(target) + pending;
            continue;
        }
        if (pending.isEmpty())
            return next;
        if (!S_ISDIR(st.st_mode))
            return Fd();
        parents.push_back(std::move(current));
        current = std::move(next);
    }
    // The name was root itself (or a link to it): not a label.
    return Fd();
}

// Opens for reading the regular file that pathFd (an O_PATH descriptor) holds,
// through the process's own view of that descriptor, so that nothing put at
// the path meanwhile can take its place. Never blocks.
Fd reopenForReading(const Fd &pathFd, const struct stat &expected)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pathFd.get());
    Fd fd(::open(self.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (!fd.isValid() || ::fstat(fd.get(), &st) != 0 || st.st_dev != expected.st_dev ||
        st.st_ino != expected.st_ino || !S_ISREG(st.st_mode))
        return Fd();
    return fd;
}

} // namespace

LabelFile::LabelFile(const QString &dir, const QString &name)
    : m_dir(dir), m_name(name + QLatin1String(".label")), m_path(dir + QLatin1Char('/') + m_name)
{
}

// Only a regular file that lies in the watched directory, or that a link
// there leads to without leaving it, is read. Others may write that
// directory while the host reads as root: a link to a secret, to /proc or to
// a device must not be read, nor a device or a FIFO so much as opened.
LabelFile::Status LabelFile::readFirstLine(QString &line) const
{
    if (!QFile::exists(m_path))
        return Missing;
    const Fd root(::open(QFile::encodeName(m_dir).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root.isValid())
        return Unreadable;
    struct stat st;
    const Fd found = resolveBeneath(root, QFile::encodeName(m_dir), QFile::encodeName(m_name), st);
    if (!found.isValid() || !S_ISREG(st.st_mode))
        return Unreadable;
    Fd readable = reopenForReading(found, st);
    QFile file;
    if (!readable.isValid() ||
        !file.open(readable.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return Unreadable;
    readable.release();

    // The bytes are read raw and handed to a text-mode stream, which decodes
    // first (the locale's codec, or the one a byte-order mark names) and drops
    // carriage returns afterwards, as characters. A text-mode file would drop
    // every 0x0D byte before decoding and so break UTF-16 text.
    const QByteArray head = file.read(kReadLimit);
    QTextStream stream(head, QIODevice::ReadOnly | QIODevice::Text);
    line = stream.readLine();
    return Read;
}
