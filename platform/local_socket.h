// The service's local socket: where it lives, and the Unix-domain socket
// calls at both of its ends. The socket file's permissions are its access
// control (a request over it needs no token), so it is made with care:
// never through a symbolic link, a stale one removed only when nothing
// answers on it, and only the one made is removed at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kv {

// The system service's socket.
inline constexpr const char* kSystemServiceSocket = "/run/kestrivaned/api.sock";

// Where kestrivaned listens unless told: $KESTRIVANE_SOCKET;
// $RUNTIME_DIRECTORY/api.sock (systemd's RuntimeDirectory); for root the
// system socket; $XDG_RUNTIME_DIR/kestrivaned/api.sock (a user's session);
// else the system socket.
std::string DefaultServiceSocket();
// Where a client looks for a service, in this order: $KESTRIVANE_SOCKET
// alone when it is set; else the user's own service's socket
// ($XDG_RUNTIME_DIR/kestrivaned/api.sock), then the system's.
std::vector<std::string> ServiceSocketCandidates();
// Whether a socket at `path` is one user's alone: inside $XDG_RUNTIME_DIR.
// Such a socket gets mode 0600; any other 0660 with the service's group.
bool IsPrivateSocketPath(const std::string& path);

// A listening socket and the file it made.
struct LocalSocket {
    int fd = -1;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};
// Listens at `path` with mode 0600 (`privateSocket`) or 0660 and the
// service's group. A missing last folder is made (0700, or 0750). A file
// already there is removed only when it is a socket nobody answers on; a
// symbolic link, another kind of file, or a socket a service answers on
// fails the call with `error` set.
LocalSocket ListenLocalSocket(const std::string& path, bool privateSocket, std::string& error);
// Removes the socket's file, if it is still the one made (the fd is closed
// by whoever serves on it).
void RemoveLocalSocketFile(const LocalSocket& socket);

// How a connection to a socket file went.
enum class LocalReach {
    Connected,
    Nobody,  // no such file, not a socket, nobody listening, or not ours to use
};
// Connects to the socket at `path`; the fd (close-on-exec) or -1.
int ConnectLocalSocket(const std::string& path, LocalReach& reach);

}  // namespace kv
