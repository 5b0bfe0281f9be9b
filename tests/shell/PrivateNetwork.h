// A network of the process's own for what announces itself on every interface it finds (Link's
// discovery): a new network namespace with only the loopback interface, up. Peers in this
// process and in the programs it starts find each other there, and nothing leaves the machine.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace privatenet {

inline bool WriteFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

// Moves the process into the new namespace and brings loopback up; empty on success, else
// why not. First thing in main: a user namespace can only be entered while there is one thread.
inline std::string Enter()
{
    if (::unshare(CLONE_NEWNET) != 0) {
        // Without the right to make one, a user namespace of our own gives it.
        const unsigned uid = ::geteuid(), gid = ::getegid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            return std::string("cannot make a network namespace: ") + std::strerror(errno);
        WriteFile("/proc/self/setgroups", "deny");
        if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return std::string("cannot map the user into the new namespace: ") + std::strerror(errno);
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return std::string("no socket in the new namespace: ") + std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    const int error = errno;
    ::close(fd);
    return up ? std::string() : std::string("cannot bring loopback up: ") + std::strerror(error);
}

// Whether every interface that is up is a loopback one: checked before anything announces itself.
inline bool OnlyLoopback()
{
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool loopbackUp = false, otherUp = false;
    for (const ifaddrs *i = list; i; i = i->ifa_next) {
        if (!(i->ifa_flags & IFF_UP))
            continue;
        (i->ifa_flags & IFF_LOOPBACK ? loopbackUp : otherUp) = true;
    }
    ::freeifaddrs(list);
    return loopbackUp && !otherUp;
}

} // namespace privatenet
