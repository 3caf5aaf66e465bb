// bbshost as a child process of the benchmark: started on a data folder,
// listening on a free loopback port, watched, and always stopped (by the
// kernel too, should the benchmark itself die).
#pragma once

#include <sched.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace plus_bench {

class HostProcess {
public:
    struct Options {
        std::filesystem::path data;
        int channels = 256;
        bool echo = false;  // bbshost --echo: the bare network path
        // The other ways in, on these ports of 127.0.0.1 (0: not opened);
        // start() waits until the host says it listens on them too.
        uint16_t ssh_port = 0;
        uint16_t http_port = 0;
    };

    // Starts build-bench/bin/bbshost on 127.0.0.1, port 0, and waits (at
    // most a minute) until it says it listens. Null with *error otherwise.
    static std::unique_ptr<HostProcess> start(const Options& options, std::string* error);
    ~HostProcess();  // stop(), killed when it does not stop

    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // From just before exec to the "listening" line on its stdout.
    double startup_seconds() const { return startup_seconds_; }
    // The peak resident memory so far (VmHWM), in MB; 0 when unknown.
    double peak_memory_mb() const;
    // Processor time it has used so far (user and system), in seconds.
    double cpu_seconds() const;
    // SIGTERM and wait (at most 20 s). False with *error when it had to be
    // killed or did not exit with status 0.
    bool stop(std::string* error);
    // What it wrote on stderr (kept in a file).
    std::string error_output() const;

private:
    HostProcess() = default;
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    std::filesystem::path stderr_file_;
    uint16_t port_ = 0;
    double startup_seconds_ = 0;
};

// While it lives, the host on processor 0 and the calling thread on
// processor 1 (when the machine has two): otherwise the scheduler wakes the
// clients on the host's processor, and a reply then waits in the client
// until the host is done with its next work, which would count as the
// host's delay.
class ProcessorsApart {
public:
    explicit ProcessorsApart(pid_t host);
    ~ProcessorsApart();
    ProcessorsApart(const ProcessorsApart&) = delete;
    ProcessorsApart& operator=(const ProcessorsApart&) = delete;

private:
    cpu_set_t before_{};
    bool pinned_ = false;
};

}  // namespace plus_bench
