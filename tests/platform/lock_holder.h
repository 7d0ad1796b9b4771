// Another program holding a tower: a child process that takes the device
// lock (through whatever `take` does: a DeviceLock, or a HidLink's Open) under
// a name of its own and keeps it until the holder is released or destroyed.
// The lock folder is a fresh temporary one, set in KESTRIVANE_LOCK_DIR for
// this process and its children while the folder lives.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "platform/device_lock.h"

namespace kv::test {

class LockFolder {
public:
    LockFolder()
    {
        char name[] = "/tmp/kv-locks-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
        setenv("KESTRIVANE_LOCK_DIR", path_.c_str(), 1);
    }
    ~LockFolder()
    {
        unsetenv("KESTRIVANE_LOCK_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    LockFolder(const LockFolder&) = delete;
    LockFolder& operator=(const LockFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class LockHolder {
public:
    // `take` runs in the child and says whether it holds the tower now.
    LockHolder(const std::string& name, const std::function<bool()>& take)
    {
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(release[1]);
            SetDeviceLockProgramName(name);
            const char answer = take() ? '1' : '0';
            (void)!write(ready[1], &answer, 1);
            char c;
            (void)!read(release[0], &c, 1);  // until the parent lets go
            _exit(0);
        }
        close(ready[1]);
        close(release[0]);
        release_ = release[1];
        char answer = '0';
        holds_ = pid_ > 0 && read(ready[0], &answer, 1) == 1 && answer == '1';
        close(ready[0]);
    }
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    bool holds() const { return holds_; }
    pid_t pid() const { return pid_; }
    // The child lets go and ends.
    void Release()
    {
        if (pid_ <= 0)
            return;
        close(release_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        holds_ = false;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    bool holds_ = false;
};

}  // namespace kv::test
