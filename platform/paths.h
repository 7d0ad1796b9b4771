// Files installed beside the program.
#pragma once

#include <string>

namespace kv {

// The directory of the running executable joined with a relative path. The
// relative path may use '\' or '/' as separator; the result uses the
// platform's own. Empty when the executable's location cannot be found.
std::string ExeRelativePath(const std::string& relativePath);

// The directory of the running executable, whole, however long.
std::string ExecutableDirectory();

// True when the path names an existing file that is not a directory.
bool FileExists(const std::string& path);

}  // namespace kv
