#pragma once
// The real brindle-server binary as a child process, for end-to-end tests; the test target defines its path as
// BRINDLE_SERVER_BINARY.

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace brindle::testing {

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t freePort();

// {"serve", "--port", <a free port>} followed by the extra arguments.
std::vector<std::string> serveOnFreePort(const std::vector<std::string>& extraArguments = {});

class ServerProcess {
public:
    // Starts the binary and waits for its listening line; throws std::runtime_error, with what the child wrote,
    // when it exits or stays silent instead.
    ServerProcess(const std::string& binary, const std::vector<std::string>& arguments);
    ~ServerProcess(); // kills and reaps the child
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& listeningLine() const { return listeningLine_; }

private:
    pid_t pid_ = -1;
    int stderrFD_ = -1;
    std::string listeningLine_;
    std::uint16_t port_ = 0;
};

struct ProcessResult {
    int exitStatus = -1; // -1 when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

// Runs the binary to its end; throws std::runtime_error when it cannot start or runs for more than a few seconds.
ProcessResult runToExit(const std::string& binary, const std::vector<std::string>& arguments);

} // namespace brindle::testing
