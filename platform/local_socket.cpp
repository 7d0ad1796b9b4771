#include "platform/local_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kv {

namespace {

// An absolute path from the environment, or empty.
std::string AbsoluteEnv(const char* name)
{
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '/' ? std::string(v) : std::string();
}

bool FillAddress(const std::string& path, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string Folder(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string DefaultServiceSocket()
{
    if (std::string s = AbsoluteEnv("KESTRIVANE_SOCKET"); !s.empty())
        return s;
    if (std::string d = AbsoluteEnv("RUNTIME_DIRECTORY"); !d.empty())
        // systemd may give several, separated by colons: the first is ours.
        return d.substr(0, d.find(':')) + "/api.sock";
    if (geteuid() == 0)
        return kSystemServiceSocket;
    if (std::string x = AbsoluteEnv("XDG_RUNTIME_DIR"); !x.empty())
        return x + "/kestrivaned/api.sock";
    return kSystemServiceSocket;
}

std::vector<std::string> ServiceSocketCandidates()
{
    if (const char* s = std::getenv("KESTRIVANE_SOCKET"); s != nullptr && s[0] != 0)
        return {s};
    std::vector<std::string> found;
    if (std::string x = AbsoluteEnv("XDG_RUNTIME_DIR"); !x.empty())
        found.push_back(x + "/kestrivaned/api.sock");
    found.push_back(kSystemServiceSocket);
    return found;
}

bool IsPrivateSocketPath(const std::string& path)
{
    std::string run = AbsoluteEnv("XDG_RUNTIME_DIR");
    while (run.size() > 1 && run.back() == '/')
        run.pop_back();
    return !run.empty() && path.size() > run.size() + 1 && path.compare(0, run.size(), run) == 0 &&
           path[run.size()] == '/' && path.find("/../") == std::string::npos;
}

int ConnectLocalSocket(const std::string& path, LocalReach& reach)
{
    reach = LocalReach::Nobody;
    sockaddr_un address;
    if (!FillAddress(path, address))
        return -1;
    struct stat st {};
    // A symbolic link is not followed to somebody else's socket.
    if (lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int r = 0;
    do
        r = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(fd);
        return -1;
    }
    reach = LocalReach::Connected;
    return fd;
}

LocalSocket ListenLocalSocket(const std::string& path, bool privateSocket, std::string& error)
{
    LocalSocket s;
    sockaddr_un address;
    if (!FillAddress(path, address)) {
        error = "the socket path '" + path + "' is empty or too long";
        return s;
    }
    const std::string folder = Folder(path);
    if (mkdir(folder.c_str(), privateSocket ? 0700 : 0750) != 0 && errno != EEXIST) {
        error = "cannot make the folder " + folder + ": " + std::strerror(errno);
        return s;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            error = path + " is a symbolic link; it is left as it is";
            return s;
        }
        if (!S_ISSOCK(st.st_mode)) {
            error = path + " is there and is no socket; it is left as it is";
            return s;
        }
        LocalReach reach = LocalReach::Nobody;
        const int other = ConnectLocalSocket(path, reach);
        if (other >= 0) {
            close(other);
            error = "another service answers on " + path;
            return s;
        }
        // Left by a service that ended without removing it.
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
            return s;
        }
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot make a local socket: ") + std::strerror(errno);
        return s;
    }
    // Made with no permissions beyond the owner's, then opened to what it
    // is for: nobody else can connect in between.
    const mode_t before = umask(0177);
    const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    umask(before);
    if (bound != 0) {
        close(fd);
        error = "cannot listen on " + path + ": " + std::strerror(bindError);
        return s;
    }
    const bool shaped = lstat(path.c_str(), &st) == 0 &&
                        (privateSocket || chown(path.c_str(), static_cast<uid_t>(-1), getegid()) == 0) &&
                        chmod(path.c_str(), privateSocket ? 0600 : 0660) == 0;
    if (!shaped || listen(fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        unlink(path.c_str());
        close(fd);
        return s;
    }
    s.fd = fd;
    s.path = path;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    return s;
}

void RemoveLocalSocketFile(const LocalSocket& socket)
{
    struct stat st {};
    if (!socket.path.empty() && lstat(socket.path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
        st.st_dev == socket.device && st.st_ino == socket.inode)
        unlink(socket.path.c_str());
}

}  // namespace kv
