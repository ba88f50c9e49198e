#include "otheruser.h"

#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr uid_t kNobody = 65534;
constexpr int kCannotDrop = 250; // exit code of a child that kept its privileges

// errno of an open by the calling process, 0 when it succeeded.
int tryOpen(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

} // namespace

int openAsOtherUser(const QString &device, QString *why)
{
    const QByteArray path = device.toLocal8Bit();
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0) {
        *why = QStringLiteral("%1: cannot stat it").arg(device);
        return -1;
    }
    // Already unprivileged: the test's own process is that other user.
    if (geteuid() != 0)
        return tryOpen(path.constData());

    if (::chmod(path.constData(), (st.st_mode & 07777) | S_IRGRP | S_IWGRP) != 0) {
        *why = QStringLiteral("%1: cannot grant its group access").arg(device);
        return -1;
    }
    const gid_t group = st.st_gid;
    const pid_t child = fork();
    if (child < 0) {
        *why = QStringLiteral("fork failed");
        return -1;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here: the parent has threads.
        if (setgroups(1, &group) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0
            || geteuid() != kNobody || setuid(0) == 0)
            _exit(kCannotDrop);
        const int result = tryOpen(path.constData());
        _exit(result < kCannotDrop ? result : kCannotDrop - 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) == kCannotDrop) {
        *why = QStringLiteral("cannot drop to uid/gid %1 here").arg(kNobody);
        return -1;
    }
    return WEXITSTATUS(status);
}

} // namespace testsupport
