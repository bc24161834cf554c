#include "ServerProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace brindle::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kStartTimeout{10};
constexpr std::chrono::seconds kRunTimeout{10};
constexpr std::string_view kListeningPrefix = "brindle-server listening on 127.0.0.1:";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::generic_category().message(errno));
}

struct Child {
    pid_t pid = -1;
    int standardOutput = -1; // read ends; -1 when not captured
    int standardError = -1;
};

std::pair<int, int> closeOnExecPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
    return {ends[0], ends[1]};
}

// Standard input is /dev/null; standard output is captured or /dev/null; standard error is captured.
Child spawn(const std::string& binary, const std::vector<std::string>& arguments, bool captureOutput) {
    std::vector<std::string> argumentList{binary};
    argumentList.insert(argumentList.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentList) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const auto [errorRead, errorWrite] = closeOnExecPipe();
    const auto [outputRead, outputWrite] = captureOutput ? closeOnExecPipe() : std::pair{-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (captureOutput)
        posix_spawn_file_actions_adddup2(&actions, outputWrite, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorWrite, STDERR_FILENO);
    Child child{.standardOutput = outputRead, .standardError = errorRead};
    const int error = ::posix_spawn(&child.pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(errorWrite);
    if (captureOutput) ::close(outputWrite);
    if (error != 0) {
        errno = error;
        fail("posix_spawn " + binary);
    }
    return child;
}

// Reads every source into its string until all are at their end, `enough` holds, or the deadline passes;
// false on the deadline.
bool collect(const std::vector<std::pair<int, std::string*>>& sources, Clock::time_point deadline,
             const std::function<bool()>& enough) {
    std::vector<pollfd> open;
    for (const auto& source : sources) open.push_back({.fd = source.first, .events = POLLIN, .revents = 0});
    std::size_t ended = 0;
    while (ended < open.size() && !enough()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        if (::poll(open.data(), open.size(), static_cast<int>(left.count())) < 0 && errno != EINTR) fail("poll");
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (open[i].fd < 0 || open[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t count = ::read(open[i].fd, chunk, sizeof chunk);
            if (count > 0) {
                sources[i].second->append(chunk, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                open[i].fd = -1; // poll skips negative descriptors
                ++ended;
            }
        }
    }
    return true;
}

void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        fail("bind to an ephemeral port");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::vector<std::string> serveOnFreePort(const std::vector<std::string>& extraArguments) {
    std::vector<std::string> arguments{"serve", "--port", std::to_string(freePort())};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    return arguments;
}

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& arguments) {
    const Child child = spawn(binary, arguments, false);
    pid_ = child.pid;
    stderrFD_ = child.standardError;
    std::string written;
    const bool inTime = collect({{stderrFD_, &written}}, Clock::now() + kStartTimeout,
                                [&written] { return written.find('\n') != std::string::npos; });
    if (inTime && written.starts_with(kListeningPrefix) && written.ends_with('\n')) {
        listeningLine_ = written;
        port_ = static_cast<std::uint16_t>(std::stoul(written.substr(kListeningPrefix.size())));
        return;
    }
    killAndReap(pid_);
    ::close(stderrFD_);
    throw std::runtime_error("the server did not start listening; it wrote: " + written);
}

ServerProcess::~ServerProcess() {
    killAndReap(pid_);
    ::close(stderrFD_);
}

ProcessResult runToExit(const std::string& binary, const std::vector<std::string>& arguments) {
    const Child child = spawn(binary, arguments, true);
    ProcessResult result;
    const bool inTime =
        collect({{child.standardOutput, &result.standardOutput}, {child.standardError, &result.standardError}},
                Clock::now() + kRunTimeout, [] { return false; });
    ::close(child.standardOutput);
    ::close(child.standardError);
    if (!inTime) {
        killAndReap(child.pid);
        throw std::runtime_error("the process did not end in time; it wrote: " + result.standardError);
    }
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

} // namespace brindle::testing
