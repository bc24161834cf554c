#pragma once
// The real brindle-server binary as a child process, for end-to-end tests. Tests find the binary through the
// BRINDLE_SERVER_BINARY definition of the test target:
//     ServerProcess server(BRINDLE_SERVER_BINARY, serveOnFreePort({"--model-id", "m"}));
//     LoopbackClient client(server.port());

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
    // Runs the binary with these arguments (the program path is added) and waits until it prints its listening
    // line. Throws std::runtime_error, with what the child wrote, when it exits or stays silent instead.
    ServerProcess(const std::string& binary, const std::vector<std::string>& arguments);
    // Kills the child and reaps it.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // The port named in the listening line.
    std::uint16_t port() const { return port_; }
    // "brindle-server listening on 127.0.0.1:<port>\n", exactly as written.
    const std::string& listeningLine() const { return listeningLine_; }

private:
    pid_t pid_ = -1;
    int stderrFD_ = -1;
    std::string listeningLine_;
    std::uint16_t port_ = 0;
};

// What a run of the binary to its end left behind.
struct ProcessResult {
    int exitStatus = -1; // -1 when killed by a signal
    std::string standardOutput;
    std::string standardError;
};

// Runs the binary with these arguments to its end (killed after a few seconds). Throws std::runtime_error
// when it cannot be started or does not end in time.
ProcessResult runToExit(const std::string& binary, const std::vector<std::string>& arguments);

} // namespace brindle::testing
