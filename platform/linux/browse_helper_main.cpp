// skewmon-browse: lists the browse list of one workgroup or domain over
// libsmbclient in a process of its own, so that the program's own Samba
// state is never touched by it and a listing that hangs can be killed.
//
//   skewmon-browse NAME     writes the lines described in samba/smbc_browse.h
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/process/helper_start.h"
#include "platform/linux/samba/smbc_browse.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: skewmon-browse NAME\n", stderr);
        return 64;
    }
    // Never outlive the program that asked.
    if (!skewmon::platform::StartHelperProcess()) return 1;
    // The listing goes out on a descriptor of its own: libsmbclient writes
    // its own messages to standard output, which now leads nowhere.
    const int channel = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (channel < 0 || nowhere < 0 || dup2(nowhere, STDOUT_FILENO) < 0) return 1;
    close(nowhere);
    return skewmon::platform::ListBrowseContainer(argv[1], channel);
}
