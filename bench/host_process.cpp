#include "bench/host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "app/modules.h"
#include "bench/fixture.h"

namespace plus_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kListenTimeout = std::chrono::seconds(60);
constexpr auto kStopTimeout = std::chrono::seconds(20);

// Waits for the child to exit until the deadline; its wait status, or -1.
int wait_until(pid_t pid, Clock::time_point deadline) {
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::start(const Options& options, std::string* error) {
    static int serial = 0;
    std::unique_ptr<HostProcess> p(new HostProcess());
    p->stderr_file_ = bench_dir() / ("bbshost-" + std::to_string(++serial) + ".err");

    const std::string program = (app::program_dir() / "bbshost").string();
    std::vector<std::string> args = {program,       "--data", options.data.string(),
                                     "--bind",      "127.0.0.1",
                                     "--port",      "0",
                                     "--channels",  std::to_string(options.channels)};
    if (options.echo) args.push_back("--echo");
    for (const auto& [option, port] : {std::pair{"--ssh-port", options.ssh_port}, std::pair{"--http-port", options.http_port}}) {
        if (port == 0) continue;
        args.push_back(option);
        args.push_back(std::to_string(port));
    }
    // PLUS_BENCH_HOST_WRAPPER (words split at blanks) runs the host under
    // another program, a profiler: "valgrind --tool=callgrind".
    if (const char* wrapper = std::getenv("PLUS_BENCH_HOST_WRAPPER"); wrapper && *wrapper) {
        std::istringstream words(wrapper);
        std::vector<std::string> front;
        for (std::string word; words >> word;) front.push_back(word);
        args.insert(args.begin(), front.begin(), front.end());
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const std::string stderr_file = p->stderr_file_.string();
    const pid_t parent = getpid();
    const auto started = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // The child: stdout into the pipe, stderr into the file, and it is
        // stopped when the benchmark ends, however that happens.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        const int err = open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (dup2(out[1], 1) < 0 || err < 0 || dup2(err, 2) < 0) _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    p->stdout_fd_ = out[0];
    if (pid < 0) {
        *error = "cannot start " + program + ": " + std::strerror(errno);
        return nullptr;
    }
    p->pid_ = pid;

    // "bbshost: listening on 127.0.0.1:PORT (telnet), ...", then a line
    // for each other way in.
    const std::string wanted = "listening on 127.0.0.1:";
    auto others_listen = [&](const std::string& seen) {
        return (options.ssh_port == 0 || seen.find("(ssh)") != std::string::npos) &&
               (options.http_port == 0 || seen.find("(web)") != std::string::npos);
    };
    std::string seen;
    const auto deadline = started + kListenTimeout;
    for (;;) {
        const size_t at = seen.find(wanted);
        if (at != std::string::npos && others_listen(seen)) {
            const size_t end = seen.find_first_not_of("0123456789", at + wanted.size());
            if (end != std::string::npos) {
                p->startup_seconds_ =
                    std::chrono::duration<double>(Clock::now() - started).count();
                p->port_ = static_cast<uint16_t>(std::stoi(seen.substr(at + wanted.size())));
                return p;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd fd{p->stdout_fd_, POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) {
            *error = "bbshost did not listen within a minute; it said: " + seen +
                     p->error_output();
            return nullptr;
        }
        char buffer[4096];
        const ssize_t n = read(p->stdout_fd_, buffer, sizeof buffer);
        if (n <= 0) {
            *error = "bbshost ended before it listened; it said: " + seen + p->error_output();
            return nullptr;
        }
        seen.append(buffer, static_cast<size_t>(n));
    }
}

HostProcess::~HostProcess() {
    std::string ignored;
    stop(&ignored);
    if (stdout_fd_ >= 0) close(stdout_fd_);
}

double HostProcess::peak_memory_mb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // kB
    }
    return 0;
}

double HostProcess::cpu_seconds() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The fields after the command name (which may hold blanks): state is
    // the 3rd field, utime and stime the 14th and 15th.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

ProcessorsApart::ProcessorsApart(pid_t host) {
    if (host <= 0 || sched_getaffinity(0, sizeof before_, &before_) != 0 || CPU_COUNT(&before_) < 2) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(0, &set);
    if (sched_setaffinity(host, sizeof set, &set) != 0) return;
    CPU_ZERO(&set);
    CPU_SET(1, &set);
    pinned_ = sched_setaffinity(0, sizeof set, &set) == 0;
}

ProcessorsApart::~ProcessorsApart() {
    if (pinned_) sched_setaffinity(0, sizeof before_, &before_);
}

bool HostProcess::stop(std::string* error) {
    if (pid_ < 0) return true;
    const pid_t pid = pid_;
    pid_ = -1;
    kill(pid, SIGTERM);
    int status = wait_until(pid, Clock::now() + kStopTimeout);
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        *error = "bbshost did not stop on SIGTERM within 20 s and was killed";
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "bbshost ended with status " + std::to_string(status) + ": " + error_output();
        return false;
    }
    return true;
}

std::string HostProcess::error_output() const {
    std::ifstream in(stderr_file_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace plus_bench
