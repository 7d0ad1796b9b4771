// Who may talk to the service: the Host and Origin a request must carry,
// the bearer token of requests that change anything, and where the token is
// kept. Plain functions over strings, so every rule is tested without a
// socket.
#pragma once

#include <string>
#include <vector>

namespace kv::service {

struct AccessRules {
    // The Host values the service answers to ("127.0.0.1:8742", lower case).
    std::vector<std::string> hosts;
    // Empty: no token is asked for (loopback only).
    std::string token;
    // Reads need the token too (the service listens beyond loopback).
    bool readsNeedToken = false;
};

// Whether an address given to --listen is a loopback address (127.0.0.0/8,
// ::1, or "localhost"). False for anything that is not a numeric address.
bool IsLoopbackAddress(const std::string& address);
// Whether the text is a numeric IPv4 or IPv6 address (or "localhost").
bool IsListenAddress(const std::string& address);

// The Host values for the addresses listened on and the extra names given
// (a name without a port gets the service's port; IPv6 addresses go in
// brackets). Loopback listening adds "localhost".
std::vector<std::string> AllowedHosts(const std::vector<std::string>& addresses, int port,
                                      const std::vector<std::string>& extraNames);

// A request's Host header against the rules (case-insensitive, exact).
bool HostAllowed(const AccessRules& rules, const std::string& host);
// An Origin header: absent (empty) passes, so do "http://HOST" and
// "https://HOST" of an allowed host; anything else, "null" included, not.
bool OriginAllowed(const AccessRules& rules, const std::string& origin);
// "Bearer TOKEN" against the token, in time independent of where they differ.
bool BearerMatches(const std::string& token, const std::string& authorization);
bool TokenEquals(const std::string& expected, const std::string& given);

// The state folder: $STATE_DIRECTORY (systemd), $XDG_STATE_HOME/kestrivane,
// ~/.local/state/kestrivane, else /var/lib/kestrivane (root always).
std::string DefaultStateDir();

struct TokenFile {
    bool ok = false;
    bool created = false;
    std::string token;
    std::string path;
    std::string error;
};
// Reads the token kept in `stateDir`/token, or makes one (32 random bytes
// from the system, as 64 hex digits) in a folder made with mode 0700 and a
// file with mode 0600. A file that others may read, another owner's file or
// one that holds no token is refused, not used.
TokenFile LoadOrMakeToken(const std::string& stateDir);

}  // namespace kv::service
