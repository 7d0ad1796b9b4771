#include "platform/device_lock.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#define KV_DEVICE_LOCKS 1
#endif

namespace kv {

namespace {

std::string& ProgramName()
{
    static std::string name;
    return name;
}

std::string ThisProgram()
{
    if (!ProgramName().empty())
        return ProgramName();
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return "a program";
#endif
}

std::string LockFolder()
{
    const char* dir = std::getenv("KESTRIVANE_LOCK_DIR");
    return dir != nullptr ? std::string(dir) : std::string();
}

// "/dev/hidraw3" -> "dev_hidraw3": a file name for the path.
std::string FileNameOf(const std::string& devicePath)
{
    std::string name;
    for (char c : devicePath) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '-' || c == '.';
        name.push_back(plain ? c : '_');
    }
    while (!name.empty() && name.front() == '_')
        name.erase(name.begin());
    return "kestrivane-" + name;
}

#if KV_DEVICE_LOCKS

bool WritableFolder(const std::string& dir)
{
    struct stat st {};
    return !dir.empty() && stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK) == 0;
}

// Where records may lie without a lock folder, in the order they are
// written to: the system's lock folder, the user's runtime folder, /tmp.
std::vector<std::string> RecordFolders()
{
    const std::string folder = LockFolder();
    if (!folder.empty())
        return {folder};
    std::vector<std::string> dirs{"/run/lock"};
    if (const char* run = std::getenv("XDG_RUNTIME_DIR"); run != nullptr && *run != 0)
        dirs.emplace_back(run);
    dirs.emplace_back("/tmp");
    return dirs;
}

std::string RecordIn(const std::string& dir, const std::string& devicePath)
{
    return dir + "/" + FileNameOf(devicePath) + ".holder";
}

// "NAME (pid N)" from a record whose program still runs; empty otherwise.
std::string ReadRecord(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return {};
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0)
        return {};
    // "PID NAME\n"
    const std::string_view text(buffer, static_cast<size_t>(n));
    const size_t blank = text.find(' ');
    if (blank == std::string_view::npos)
        return {};
    const long pid = std::strtol(std::string(text.substr(0, blank)).c_str(), nullptr, 10);
    std::string name(text.substr(blank + 1));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    if (pid <= 0 || name.empty())
        return {};
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return {};  // left behind by a program that is gone
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';
    return name + " (pid " + std::to_string(pid) + ")";
}

bool WriteRecord(const std::string& path)
{
    const std::string text = std::to_string(getpid()) + " " + ThisProgram() + "\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EACCES) {
        // Left by another user's program that is gone: ours now.
        unlink(path.c_str());
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    }
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

#endif

}  // namespace

void SetDeviceLockProgramName(const std::string& name) { ProgramName() = name; }

std::string DeviceLockFile(const std::string& devicePath)
{
    if (devicePath.empty())
        return {};
    const std::string folder = LockFolder();
    if (!folder.empty())
        return folder + "/" + FileNameOf(devicePath) + ".lock";
    // The device node itself, where the path is one.
    return devicePath.front() == '/' ? devicePath : std::string();
}

std::string DeviceLockRecord(const std::string& devicePath)
{
#if KV_DEVICE_LOCKS
    if (DeviceLockFile(devicePath).empty())
        return {};
    for (const std::string& dir : RecordFolders())
        if (WritableFolder(dir))
            return RecordIn(dir, devicePath);
#else
    (void)devicePath;
#endif
    return {};
}

bool DeviceLock::Acquire(const std::string& devicePath)
{
    Release();
    holder_.clear();
#if KV_DEVICE_LOCKS
    const std::string target = DeviceLockFile(devicePath);
    if (target.empty())
        return true;
    const bool inFolder = target != devicePath;
    // A device node is opened only to be locked: read-only, never as a
    // terminal, without waiting.
    const int fd = inFolder ? open(target.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666)
                            : open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return true;  // not lockable here; the open of the link says the rest
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error != EWOULDBLOCK)
            return true;  // a file system without locks
        for (const std::string& dir : RecordFolders()) {
            holder_ = ReadRecord(RecordIn(dir, devicePath));
            if (!holder_.empty())
                break;
        }
        if (holder_.empty())
            holder_ = "another program";
        return false;
    }
    fd_ = fd;
    recordPath_ = DeviceLockRecord(devicePath);
    if (!recordPath_.empty() && !WriteRecord(recordPath_))
        recordPath_.clear();
#else
    (void)devicePath;
#endif
    return true;
}

void DeviceLock::Release()
{
#if KV_DEVICE_LOCKS
    if (fd_ < 0)
        return;
    if (!recordPath_.empty())
        unlink(recordPath_.c_str());
    recordPath_.clear();
    close(fd_);
    fd_ = -1;
#endif
}

}  // namespace kv
