// What the tests need to know about the test lab (tests/lab/lab.sh), and a
// few helpers around the processes and client settings of a test.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace skewmon::testing {

struct LabServer {
    std::string name;     // its netbios name
    std::string address;  // 127.0.0.x
    std::int64_t shiftMs = 0;  // how far its clock is ahead
};

struct Lab {
    std::vector<LabServer> servers;
    std::string silent;  // an address where nothing listens
    std::string hung;    // takes connections, never answers
    std::string home;    // a HOME whose client settings keep to loopback

    // The lab described by DIR/lab.txt; none when there is no such lab.
    static std::optional<Lab> Load(const std::string& directory);
    // The lab of the test run: SKEWMON_LAB_DIR.
    static std::optional<Lab> FromEnvironment();
    // The first server shifted by `shiftMs`, or none.
    const LabServer* withShift(std::int64_t shiftMs) const;
};

// What the tests need to know about the domain lab (tests/lab_domain/lab.sh).
struct DomainLab {
    std::string dcName, dcAddress, domain, realm, dcHost;
    std::vector<std::string> partitions;
    std::string workgroup, master;
    std::map<std::string, std::int64_t> shifts;  // browse server -> ms ahead
    std::string memberHome, workgroupHome, krb5Config, ticket;

    // The lab of the test run: SKEWMON_DOMAIN_LAB_DIR/lab.txt; none without.
    static std::optional<DomainLab> FromEnvironment();
};

// The built skewmon-tod helper.
std::string TodHelperPath();

// A temporary HOME holding .smb/smb.conf with the lab's client settings
// (loopback only, names resolved through lmhosts alone) and `netbiosName`.
// HOME points there for the object's life; set it up before any thread of
// the test starts.
class ScopedClientHome {
public:
    explicit ScopedClientHome(const std::string& netbiosName = "SKEWTEST");
    ~ScopedClientHome();
    ScopedClientHome(const ScopedClientHome&) = delete;
    ScopedClientHome& operator=(const ScopedClientHome&) = delete;
    const std::string& path() const { return home_; }

private:
    std::string home_;
    std::optional<std::string> previous_;
};

// Sets an environment variable for the object's life; set it before the
// threads that read it start.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// Writes the credentials cache `cacheName` (a KRB5CCNAME) for ann@LAB.TEST with
// one ticket for `server`, valid until `endSeconds` from now (negative:
// expired). No KDC is involved: the ticket itself is no real one.
void WriteKerberosCache(const std::string& cacheName, const std::string& server, long endSeconds);

// What CopyKerberosCache does with the ticket-granting ticket.
enum class GrantingTicket { kDrop, kExpire };
// Copies the credentials cache `from` into a new cache `to` (KRB5CCNAME
// names), with its ticket-granting tickets left out or moved to have expired
// a minute ago: a user's cache once its hours have run out, or one left
// with service tickets alone. False when `from` cannot be read.
bool CopyKerberosCache(const std::string& from, const std::string& to, GrantingTicket granting);

// The children of this process, zombies included.
std::vector<pid_t> ChildProcesses();
// Threads of this process.
int ThreadCount();
// Open file descriptors of this process.
int OpenDescriptorCount();

}  // namespace skewmon::testing
