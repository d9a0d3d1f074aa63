// skewmon-browse: lists the browse list of one workgroup or domain over
// libsmbclient in a process of its own, so that the program's own Samba
// state is never touched by it and a listing that hangs can be killed.
//
//   skewmon-browse NAME     writes the lines described in smbc_browse.h
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/smbc_browse.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: skewmon-browse NAME\n", stderr);
        return 64;
    }
    // Never outlive the program that asked.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) return 1;
    return skewmon::platform::ListBrowseContainer(argv[1], STDOUT_FILENO);
}
