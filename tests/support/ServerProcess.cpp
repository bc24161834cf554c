#include "ServerProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LoopbackClient.h"

namespace brindle::testing {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kTimeout{10};
constexpr std::string_view kListeningPrefix = "brindle-server listening on 127.0.0.1:";

struct Child {
    pid_t pid = -1;
    int standardOutput = -1; // read ends of pipes
    int standardError = -1;
};

// Standard input is /dev/null; standard output and standard error are pipes.
Child spawn(const std::string& binary, const std::vector<std::string>& arguments) {
    std::vector<std::string> words{binary};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int output[2], error[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    const pid_t pid = ::fork();
    if (pid == 0) { // only async-signal-safe calls from here: the test process has threads
        ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(error[1], STDERR_FILENO);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(output[1]);
    ::close(error[1]);
    if (pid < 0) throw std::runtime_error("fork failed");
    return {.pid = pid, .standardOutput = output[0], .standardError = error[0]};
}

// Appends what fd yields until its end (or, with stopAtNewline, its first newline); false at the deadline.
bool readUntil(int fd, std::string& into, Clock::time_point deadline, bool stopAtNewline) {
    pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
    while (!stopAtNewline || into.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (::poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[4096];
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count == 0 || (count < 0 && errno != EINTR)) return true;
        if (count > 0) into.append(chunk, static_cast<std::size_t>(count));
    }
    return true;
}

int killAndReap(pid_t pid, bool kill = true) {
    if (kill) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

std::uint16_t freePort() {
    return BusyPort().port(); // free again once the listener closes
}

std::vector<std::string> serveOnFreePort(const std::vector<std::string>& extraArguments) {
    std::vector<std::string> arguments{"serve", "--port", std::to_string(freePort())};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    return arguments;
}

ServerProcess::ServerProcess(const std::string& binary, const std::vector<std::string>& arguments) {
    const Child child = spawn(binary, arguments);
    ::close(child.standardOutput); // the server writes nothing there, and ignores a broken pipe
    pid_ = child.pid;
    stderrFD_ = child.standardError;
    std::string written;
    if (readUntil(stderrFD_, written, Clock::now() + kTimeout, true) && written.starts_with(kListeningPrefix) &&
        written.ends_with('\n')) {
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

// Reads the two pipes one after the other: the outputs checked here are far smaller than a pipe's buffer.
ProcessResult runToExit(const std::string& binary, const std::vector<std::string>& arguments) {
    const Child child = spawn(binary, arguments);
    ProcessResult result;
    const auto deadline = Clock::now() + kTimeout;
    const bool inTime = readUntil(child.standardOutput, result.standardOutput, deadline, false) &&
                        readUntil(child.standardError, result.standardError, deadline, false);
    ::close(child.standardOutput);
    ::close(child.standardError);
    result.exitStatus = killAndReap(child.pid, !inTime);
    if (!inTime) throw std::runtime_error("the process did not end in time; it wrote: " + result.standardError);
    return result;
}

} // namespace brindle::testing
