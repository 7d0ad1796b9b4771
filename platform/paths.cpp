#include "platform/paths.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <mach-o/dyld.h>
#include <climits>
#include <cstdlib>
#else
#include <unistd.h>
#endif

namespace kv {
namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

std::string ExecutablePath()
{
#if defined(_WIN32)
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size()) {
            const int len = WideCharToMultiByte(CP_UTF8, 0, buf.data(), static_cast<int>(n), nullptr, 0,
                                                nullptr, nullptr);
            std::string out(static_cast<size_t>(len), '\0');
            WideCharToMultiByte(CP_UTF8, 0, buf.data(), static_cast<int>(n), out.data(), len, nullptr,
                                nullptr);
            return out;
        }
        buf.resize(buf.size() * 2);
    }
#elif defined(__APPLE__)
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::vector<char> buf(size + 1);
    if (_NSGetExecutablePath(buf.data(), &size) != 0)
        return {};
    char resolved[PATH_MAX];
    if (realpath(buf.data(), resolved) == nullptr)
        return std::string(buf.data());
    return std::string(resolved);
#else
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        buf.resize(buf.size() * 2);
    }
#endif
}

}  // namespace

std::string ExecutableDirectory()
{
    const std::string exe = ExecutablePath();
    const size_t slash = exe.find_last_of("/\\");
    if (slash == std::string::npos)
        return {};
    return exe.substr(0, slash);
}

std::string ExeRelativePath(const std::string& relativePath)
{
    const std::string dir = ExecutableDirectory();
    if (dir.empty())
        return {};
    std::string rel = relativePath;
    for (char& c : rel)
        if (c == '\\' || c == '/')
            c = kSeparator;
    return dir + kSeparator + rel;
}

bool FileExists(const std::string& path)
{
    if (path.empty())
        return false;
#if defined(_WIN32)
    // Paths are UTF-8 here (ExecutablePath converts them); the wide API takes
    // them whole, whatever the system's code page.
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), n);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
    struct stat st;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
#endif
}

}  // namespace kv
