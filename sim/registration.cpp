#include "registration.h"
#include "errnotext.h"

#include "serial/dosdevices_posix.h"

#include <sys/stat.h>
#include <unistd.h>

namespace nodesim {

namespace {

constexpr long kFirstAutoNumber = 50;
constexpr long kLastAutoNumber = 99999;

bool mkdirs(const std::string &dir)
{
    if (dir.empty())
        return false;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        const std::string part = dir.substr(0, pos);
        if (part.empty())
            continue;
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st
    {
    };
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDanglingLink(const std::string &path)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    return ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool readLink(const std::string &path, std::string *target)
{
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return false;
    target->assign(buf, std::size_t(n));
    return true;
}

} // namespace

bool PortRegistration::add(const std::string &dir, int com, const std::string &target,
                           std::string *error)
{
    if (!mkdirs(dir)) {
        *error = errnoText("cannot create " + dir);
        return false;
    }
    m_target = target;
    if (com > 0) {
        const Outcome outcome = tryNumber(dir, com, error);
        if (outcome == Outcome::Taken)
            *error = "COM" + std::to_string(com) + " is already registered in " + dir;
        return outcome == Outcome::Linked;
    }
    for (long number = kFirstAutoNumber; number <= kLastAutoNumber; ++number) {
        const Outcome outcome = tryNumber(dir, number, error);
        if (outcome != Outcome::Taken)
            return outcome == Outcome::Linked;
    }
    *error = "no free COM number in " + dir;
    return false;
}

PortRegistration::Outcome PortRegistration::tryNumber(const std::string &dir, long number,
                                                      std::string *error)
{
    for (const std::string &path : PosixPorts::comEntries(dir, std::uint32_t(number))) {
        if (!isDanglingLink(path))
            return Outcome::Taken;
        ::unlink(path.c_str());
    }
    const std::string link = dir + "/COM" + std::to_string(number);
    if (::symlink(m_target.c_str(), link.c_str()) == 0) {
        m_link = link;
        m_com = int(number);
        return Outcome::Linked;
    }
    if (errno == EEXIST)
        return Outcome::Taken;
    *error = errnoText("cannot create " + link);
    return Outcome::Failed;
}

void PortRegistration::remove()
{
    if (m_link.empty())
        return;
    std::string target;
    if (readLink(m_link, &target) && target == m_target)
        ::unlink(m_link.c_str());
    m_link.clear();
    m_com = -1;
}

} // namespace nodesim
