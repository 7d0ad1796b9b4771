#include "service/access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kv::service {

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsV6(const std::string& a)
{
    in6_addr six{};
    return inet_pton(AF_INET6, a.c_str(), &six) == 1;
}

bool IsHexToken(const std::string& s)
{
    return s.size() == 64 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

bool MakeFolders(const std::string& path, std::string& error)
{
    std::string part;
    std::stringstream in(path);
    std::string piece;
    if (!path.empty() && path[0] == '/')
        part = "/";
    while (std::getline(in, piece, '/')) {
        if (piece.empty())
            continue;
        part += piece;
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the folder " + part + ": " + std::strerror(errno);
            return false;
        }
        part += "/";
    }
    return true;
}

bool RandomBytes(unsigned char* out, size_t n)
{
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    size_t got = 0;
    while (got < n) {
        const ssize_t r = read(fd, out + got, n - got);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            close(fd);
            return false;
        }
        got += static_cast<size_t>(r);
    }
    close(fd);
    return true;
}

}  // namespace

bool IsListenAddress(const std::string& address)
{
    if (address == "localhost")
        return true;
    in_addr four{};
    return inet_pton(AF_INET, address.c_str(), &four) == 1 || IsV6(address);
}

bool IsLoopbackAddress(const std::string& address)
{
    if (address == "localhost")
        return true;
    in_addr four{};
    if (inet_pton(AF_INET, address.c_str(), &four) == 1)
        return (ntohl(four.s_addr) >> 24) == 127;
    in6_addr six{};
    if (inet_pton(AF_INET6, address.c_str(), &six) == 1)
        return IN6_IS_ADDR_LOOPBACK(&six) != 0;
    return false;
}

std::vector<std::string> AllowedHosts(const std::vector<std::string>& addresses, int port,
                                      const std::vector<std::string>& extraNames)
{
    const std::string p = ":" + std::to_string(port);
    std::vector<std::string> hosts;
    auto add = [&hosts](std::string h) {
        h = Lower(std::move(h));
        if (std::find(hosts.begin(), hosts.end(), h) == hosts.end())
            hosts.push_back(h);
    };
    bool loopback = false;
    for (const std::string& a : addresses) {
        if (IsLoopbackAddress(a))
            loopback = true;
        if (a == "localhost")
            continue;
        add((IsV6(a) ? "[" + a + "]" : a) + p);
    }
    if (loopback)
        add("localhost" + p);
    for (const std::string& n : extraNames) {
        if (n.empty())
            continue;
        const bool hasPort = n.back() != ']' && n.find(':') != std::string::npos;
        add(hasPort ? n : n + p);
    }
    return hosts;
}

bool HostAllowed(const AccessRules& rules, const std::string& host)
{
    const std::string h = Lower(host);
    return !h.empty() && std::find(rules.hosts.begin(), rules.hosts.end(), h) != rules.hosts.end();
}

bool OriginAllowed(const AccessRules& rules, const std::string& origin)
{
    if (origin.empty())
        return true;
    const std::string o = Lower(origin);
    for (const std::string& h : rules.hosts)
        if (o == "http://" + h || o == "https://" + h)
            return true;
    return false;
}

bool TokenEquals(const std::string& expected, const std::string& given)
{
    // Every byte is compared whatever the first difference.
    unsigned char diff = expected.size() == given.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        diff |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return diff == 0 && !expected.empty();
}

bool BearerMatches(const std::string& token, const std::string& authorization)
{
    const std::string scheme = "bearer ";
    if (authorization.size() <= scheme.size() || Lower(authorization.substr(0, scheme.size())) != scheme)
        return false;
    return TokenEquals(token, authorization.substr(scheme.size()));
}

std::string DefaultStateDir()
{
    if (const char* d = std::getenv("STATE_DIRECTORY"); d != nullptr && d[0] == '/') {
        // systemd may give several, separated by colons: the first is ours.
        std::string s = d;
        return s.substr(0, s.find(':'));
    }
    if (geteuid() == 0)
        return "/var/lib/kestrivane";
    if (const char* x = std::getenv("XDG_STATE_HOME"); x != nullptr && x[0] == '/')
        return std::string(x) + "/kestrivane";
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] == '/')
        return std::string(h) + "/.local/state/kestrivane";
    return "/var/lib/kestrivane";
}

TokenFile LoadOrMakeToken(const std::string& stateDir)
{
    TokenFile f;
    f.path = stateDir + "/token";
    if (!MakeFolders(stateDir, f.error))
        return f;

    int fd = open(f.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        unsigned char bytes[32];
        if (!RandomBytes(bytes, sizeof bytes)) {
            f.error = "cannot read random bytes from /dev/urandom";
            return f;
        }
        static const char* digits = "0123456789abcdef";
        std::string token;
        for (unsigned char b : bytes) {
            token.push_back(digits[b >> 4]);
            token.push_back(digits[b & 15]);
        }
        const int w = open(f.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (w < 0) {
            f.error = "cannot make " + f.path + ": " + std::strerror(errno);
            return f;
        }
        const std::string line = token + "\n";
        const bool written = write(w, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        const bool closed = close(w) == 0;
        if (!written || !closed) {
            unlink(f.path.c_str());
            f.error = "cannot write " + f.path;
            return f;
        }
        f.ok = true;
        f.created = true;
        f.token = token;
        return f;
    }
    if (fd < 0) {
        f.error = "cannot read " + f.path + ": " + std::strerror(errno);
        return f;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        f.error = f.path + " is not a regular file";
        return f;
    }
    if (st.st_uid != geteuid()) {
        close(fd);
        f.error = f.path + " belongs to another user";
        return f;
    }
    if ((st.st_mode & 077) != 0) {
        close(fd);
        f.error = f.path + " may be read by others: make it mode 0600 (chmod 600)";
        return f;
    }
    char buffer[128];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    close(fd);
    std::string token = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    if (!IsHexToken(token)) {
        f.error = f.path + " holds no token (64 hex digits); remove it to make a new one";
        return f;
    }
    f.ok = true;
    f.token = token;
    return f;
}

}  // namespace kv::service
