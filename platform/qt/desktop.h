// Opening web pages and files with the user's desktop (browser, PDF viewer).
// Tests install an opener of their own to see what would be opened.
#pragma once

#include <functional>
#include <string>

namespace kv {

enum class DesktopTarget { Url, File };

using DesktopOpener = std::function<bool(DesktopTarget kind, const std::string& target)>;

// Replaces how targets are opened; an empty opener restores the desktop's.
void SetDesktopOpener(DesktopOpener opener);

// Asks the desktop to open a web address in the user's browser.
bool OpenUrl(const std::string& url);
// Asks the desktop to open a file with its associated program.
bool OpenFile(const std::string& path);

}  // namespace kv
