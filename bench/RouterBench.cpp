#include "BrindleKit/HTTPServer.h"
#include "BrindleKit/Router.h"
#include "BrindleModel/BuiltinModel.h"

#include <memory>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace brindle {
namespace {

// One request from a framed HTTPRequest to the bytes of its answer in the socket: what a connection's
// thread does between two reads, without the network. The answers are read back so the socket never fills.
class Loopback {
public:
    Loopback() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) throw std::runtime_error("socketpair failed");
        connection_ = std::make_unique<FDConnection>(fds_[0]);
    }
    ~Loopback() {
        connection_->close();
        ::close(fds_[1]);
    }
    FDConnection& connection() { return *connection_; }
    std::size_t drain() {
        char bytes[65'536];
        const ssize_t count = ::recv(fds_[1], bytes, sizeof bytes, MSG_DONTWAIT);
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    }

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<FDConnection> connection_;
};

void handleRequests(benchmark::State& state, const HTTPRequest& request) {
    const Router router("brindle-core", std::make_shared<model::BuiltinModel>());
    Loopback loopback;
    std::size_t bytes = 0;
    for (auto _ : state) {
        HTTPResponder responder(loopback.connection());
        // The router takes each request as its own, as the server hands it over; a body is copied as it is read.
        router.handle({request.method, request.path, request.headers, RequestBody(request.body.view())}, responder);
        bytes += loopback.drain();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["answer_bytes"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

void handleHealth(benchmark::State& state) {
    handleRequests(state, {"GET", "/health", {}, {}});
}
BENCHMARK(handleHealth);

// The 200-byte chat request of the load tests, answered by the built-in model.
void handleChatCompletion(benchmark::State& state) {
    handleRequests(state,
                   {"POST",
                    "/v1/chat/completions",
                    {{"content-type", "application/json"}},
                    RequestBody(R"({"model":"brindle-core","messages":[{"role":"user","content":"Please write a short )"
                                R"(note to the team about moving the weekly planning meeting from Monday morning to )"
                                R"(Tuesday at ten, if that is fine."}]})")});
}
BENCHMARK(handleChatCompletion);

} // namespace
} // namespace brindle
