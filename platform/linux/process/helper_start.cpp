#include "platform/linux/process/helper_start.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>

namespace skewmon::platform {

bool StartHelperProcess() {
    // Gone with the thread that started it, even when that one was killed;
    // a parent that goes while this is being asked for is seen here.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) return false;
    // Samba's libraries ask for a password on the terminal when a Kerberos
    // ticket turns out unusable. Without a controlling terminal and with
    // nothing on standard input, that question finds no one and fails at
    // once.
    setsid();
    if (const int null = open("/dev/null", O_RDONLY | O_CLOEXEC); null >= 0) {
        dup2(null, STDIN_FILENO);
        if (null != STDIN_FILENO) close(null);
    }
    return true;
}

bool WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace skewmon::platform
