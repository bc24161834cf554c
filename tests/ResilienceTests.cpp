// The real binary under load and faults, on 127.0.0.1: clients that vanish or stop reading, a thousand idle
// connections, bodies at and past the limits, ten thousand requests, and the descriptor limit reached.
// The server is looked at from outside through /proc: its threads, descriptors and resident memory.

#ifdef __linux__

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BRINDLE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define BRINDLE_SANITIZED 1
#endif
#endif

namespace brindle {
namespace {

using testing::LoopbackClient;
using testing::serveOnFreePort;
using testing::ServerProcess;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kSettleTimeout{20};

// ---- The server seen through /proc ----

std::string procFile(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/" + name);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A number from /proc/<pid>/status, such as "VmRSS" (in KiB) or "Threads".
long statusField(pid_t pid, const std::string& field) {
    const std::string status = procFile(pid, "status");
    const std::size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 2));
}

long residentKiB(pid_t pid) {
    return statusField(pid, "VmRSS");
}

long openDescriptors(pid_t pid) {
    const auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<long>(std::distance(std::filesystem::begin(entries), std::filesystem::end(entries)));
}

long threadsNamed(pid_t pid, const std::string& wanted) {
    long count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name == wanted) ++count;
    }
    return count;
}

// One thread serves each open connection, from its accept to its close. A connection thread bears the accept
// thread's name for a moment after it starts, until it names itself.
long connectionThreads(pid_t pid) {
    return threadsNamed(pid, "brindle.conn");
}
bool acceptThreadRunning(pid_t pid) {
    return threadsNamed(pid, "brindle.accept") > 0;
}

// Polls until the condition holds; false when the timeout passed first. The server's threads end on their
// own schedule, and nothing but /proc tells when.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kSettleTimeout) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool hasBytesWaiting(int fd) {
    pollfd entry{.fd = fd, .events = POLLIN, .revents = 0};
    return ::poll(&entry, 1, 0) == 1;
}

// ---- Descriptor limits ----

rlimit descriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return limit;
}

// This process needs a descriptor per client it holds open.
void raiseOwnDescriptorLimit() {
    rlimit limit = descriptorLimit();
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// A child inherits the limits in force when it is started: lowering this process's soft limit around the
// start gives the server that soft limit and the full hard one.
class LoweredSoftLimit {
public:
    explicit LoweredSoftLimit(rlim_t soft) : saved_(descriptorLimit()) {
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min(soft, saved_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~LoweredSoftLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    LoweredSoftLimit(const LoweredSoftLimit&) = delete;
    LoweredSoftLimit& operator=(const LoweredSoftLimit&) = delete;

private:
    rlimit saved_;
};

// ---- Requests ----

const std::string kHealth = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

std::string post(const std::string& body) {
    return "POST /v1/chat/completions HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chatBody(const std::string& content, const std::string& extra = "", const std::string& model = "m") {
    return R"({"model":")" + model + R"(",)" + extra + R"("messages":[{"role":"user","content":")" + content +
           R"("}]})";
}

// A prompt of one-letter words as long as the context window allows, echoed back one word per event, under
// a model name of 8 KiB that every event repeats: an answer of about 60 MB, far more than the socket
// buffers between the server and a client that stops reading can hold.
std::string longStreamRequest() {
    std::string words;
    for (int i = 0; i < 7'000; ++i) words += "a ";
    return post(chatBody(words, R"("stream":true,"max_completion_tokens":100000,)", std::string(8'192, 'm')));
}

std::string statusLine(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

bool endsTheStream(const std::string& answer) {
    return answer.ends_with("data: [DONE]\n\n");
}

// The server as the tests start it: listening, answered once, and back to no open connection.
struct StartedServer {
    explicit StartedServer(const std::vector<std::string>& extra = {})
        : process(BRINDLE_SERVER_BINARY, serveOnFreePort(extra)) {
        {
            LoopbackClient client(process.port());
            client.sendAll(kHealth);
            client.readHTTPResponse();
        }
        if (!eventually([this] { return connectionThreads(pid()) == 0; }))
            throw std::runtime_error("the first connection's thread did not end");
    }
    pid_t pid() const { return process.pid(); }
    std::uint16_t port() const { return process.port(); }
    ServerProcess process;
};

void printResident(const char* when, pid_t pid) {
    std::printf("server VmRSS %s: %ld KiB\n", when, residentKiB(pid));
}

TEST(Resilience, AClientThatVanishesMidStreamEndsItsGenerationAndTheNextIsServed) {
    StartedServer server;
    {
        LoopbackClient vanishing(server.port());
        vanishing.sendAll(longStreamRequest());
        vanishing.readExactly(300); // the head and the first events: generation is under way
        EXPECT_EQ(connectionThreads(server.pid()), 1);
    } // closed with most of the answer unread
    EXPECT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 0; }))
        << "the connection's thread is still generating for a client that is gone";

    LoopbackClient next(server.port());
    next.sendAll(longStreamRequest());
    const std::string answer = next.readUntilClose();
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_TRUE(endsTheStream(answer));
}

TEST(Resilience, AClientThatLeavesAPacedAnswerEndsItsWaitAtOnce) {
    StartedServer server;
    for (const std::string stream : {"", R"("stream":true,)"}) {
        {
            LoopbackClient leaving(server.port());
            leaving.sendAll(post(chatBody("a b c d e f [brindle:pace=10000]", stream)));
            ASSERT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 1; }));
        } // gone before the first word, which is ten seconds away
        EXPECT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 0; }, std::chrono::seconds(5)))
            << "the connection's thread still waits out a pace of 90 s" << stream;
    }
}

TEST(Resilience, AClientThatNeverReadsHoldsUpNoOtherClient) {
    StartedServer server;
    LoopbackClient stalled(server.port());
    stalled.sendAll(longStreamRequest());
    ASSERT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 1; }));
    {
        LoopbackClient other(server.port());
        other.sendAll(kHealth);
        EXPECT_EQ(statusLine(other.readHTTPResponse()), "HTTP/1.1 200 OK");
        other.sendAll(post(chatBody("Hello there")));
        EXPECT_EQ(statusLine(other.readHTTPResponse()), "HTTP/1.1 200 OK");
        LoopbackClient streaming(server.port());
        streaming.sendAll(longStreamRequest());
        EXPECT_TRUE(endsTheStream(streaming.readUntilClose()));
    }
    EXPECT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 1; }))
        << "only the stalled answer is still being written";

    const std::string rest = stalled.readUntilClose(); // reading at last, the stalled client gets it all
    EXPECT_TRUE(endsTheStream(rest));
}

TEST(Resilience, ServesNewClientsWithAThousandIdleConnectionsOpen) {
    constexpr int kIdle = 1'000;
    constexpr int kMore = 100; // held too, taking the server past its starting soft limit of 1,024
    if (descriptorLimit().rlim_max < 2 * (kIdle + kMore)) GTEST_SKIP() << "the hard descriptor limit is too low";
    raiseOwnDescriptorLimit();
    std::unique_ptr<StartedServer> server;
    {
        const LoweredSoftLimit lowered(1'024);
        server = std::make_unique<StartedServer>();
    }
    printResident("before the idle connections", server->pid());
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(server->port()));
        idle.back()->sendAll(kHealth);
        ASSERT_EQ(statusLine(idle.back()->readHTTPResponse()), "HTTP/1.1 200 OK") << "connection " << i;
    }
    printResident("with 1,000 idle connections", server->pid());

    const auto started = Clock::now();
    LoopbackClient newcomer(server->port());
    newcomer.sendAll(post(chatBody("Hello there")));
    EXPECT_EQ(statusLine(newcomer.readHTTPResponse()), "HTTP/1.1 200 OK");
    std::printf(
        "a new client's answer with 1,000 idle connections: %lld us\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count()));

    std::vector<std::unique_ptr<LoopbackClient>> more;
    for (int i = 0; i < kMore; ++i) {
        more.push_back(std::make_unique<LoopbackClient>(server->port()));
        more.back()->sendAll(kHealth);
        ASSERT_EQ(statusLine(more.back()->readHTTPResponse()), "HTTP/1.1 200 OK") << "new client " << i;
    }
    EXPECT_GT(openDescriptors(server->pid()), 1'024) << "the server did not hold more than its starting soft limit";
    for (auto& client : idle) { // every idle connection is still open and served
        client->sendAll(kHealth);
        ASSERT_EQ(statusLine(client->readHTTPResponse()), "HTTP/1.1 200 OK");
    }
}

TEST(Resilience, BodiesAtAndPastTheLimits) {
    StartedServer server;
    const std::string prefix = R"({"model":"m","messages":[{"role":"user","content":")";
    const std::string suffix = R"("}]})";
    const std::string largest = prefix + std::string(67'108'863 - prefix.size() - suffix.size(), 'a') + suffix;
    std::string nestedArrays = R"({"model":"m","messages":[],"tool_choice":)";
    nestedArrays.append(1'000'000, '[').append(1'000'000, ']').append("}");
    std::string nestedObjects = R"({"model":"m","messages":[],"tool_choice":)";
    for (int i = 0; i < 1'000'000; ++i) nestedObjects += R"({"a":)";
    nestedObjects.append("1").append(1'000'001, '}');

    const struct {
        const char* label;
        std::string request;
        std::string statusLine; // empty: closed without an answer
        std::string inBody;
    } cases[] = {
        {"the largest body, read whole", post(largest), "HTTP/1.1 400 Bad Request", "context_length_exceeded"},
        {"a length one above the largest", "POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n", "",
         ""},
        {"arrays nested a million deep", post(nestedArrays), "HTTP/1.1 400 Bad Request", "invalid_request_error"},
        {"objects nested a million deep", post(nestedObjects), "HTTP/1.1 400 Bad Request", "invalid_request_error"},
        {"invalid UTF-8 in the head", "GET /h\xff\xfe HTTP/1.1\r\n\r\n", "", ""},
        {"invalid UTF-8 in the body", post(chatBody("caf\xc3\x28")), "HTTP/1.1 400 Bad Request",
         "invalid request body: "},
    };
    for (const auto& c : cases) {
        LoopbackClient client(server.port());
        const timeval patient{.tv_sec = 120, .tv_usec = 0}; // 64 MiB through a sanitized server takes a while
        ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &patient, sizeof patient);
        client.sendAll(c.request);
        if (c.statusLine.empty()) {
            EXPECT_EQ(client.readUntilClose(), "") << c.label;
            continue;
        }
        const std::string answer = client.readHTTPResponse();
        EXPECT_EQ(statusLine(answer), c.statusLine) << c.label;
        EXPECT_NE(answer.find(c.inBody), std::string::npos) << c.label << ": " << answer.substr(0, 400);
    }
    LoopbackClient after(server.port());
    after.sendAll(kHealth);
    EXPECT_EQ(statusLine(after.readHTTPResponse()), "HTTP/1.1 200 OK") << "the server survived them all";
}

// One request of a mix that covers every route and the ways a connection ends. Keep-alive clients are reused;
// a stream, a framing error and a vanishing client each use a connection of their own.
void sendOneOfTheMix(int i, std::uint16_t port, std::vector<std::unique_ptr<LoopbackClient>>& pool) {
    static const std::string kRequests[] = {
        kHealth,
        "GET /availability HTTP/1.1\r\n\r\n",
        "GET /v1/models HTTP/1.1\r\n\r\n",
        "OPTIONS /v1/chat/completions HTTP/1.1\r\n\r\n",
        "GET /nowhere HTTP/1.1\r\n\r\n",
        post(chatBody("Hello there")),
        post("{\"model\":"),
        post(chatBody("What is the weather? Use get_weather with city=Oslo",
                      R"("tools":[{"type":"function","function":{"name":"get_weather","parameters":)"
                      R"({"type":"object","properties":{"city":{"type":"string"}},"required":["city"]}}}],)")),
    };
    constexpr int kKinds = static_cast<int>(std::size(kRequests));
    const int kind = i % (kKinds + 3);
    if (kind < kKinds) {
        auto& client = pool[static_cast<std::size_t>(i) % pool.size()];
        client->sendAll(kRequests[kind]);
        ASSERT_FALSE(client->readHTTPResponse().empty());
        return;
    }
    LoopbackClient own(port);
    if (kind == kKinds) {
        own.sendAll(post(chatBody("Stream this short answer", R"("stream":true,)")));
        ASSERT_TRUE(endsTheStream(own.readUntilClose()));
    } else if (kind == kKinds + 1) {
        own.sendAll("GET\r\n\r\n"); // one token: closed without an answer
        ASSERT_EQ(own.readUntilClose(), "");
    } else {
        own.sendAll("POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"model\""); // and gone
    }
}

void runTheMix(int count, const StartedServer& server) {
    std::vector<std::unique_ptr<LoopbackClient>> pool;
    for (int i = 0; i < 4; ++i) pool.push_back(std::make_unique<LoopbackClient>(server.port()));
    for (int i = 0; i < count; ++i) {
        sendOneOfTheMix(i, server.port(), pool);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(Resilience, TenThousandRequestsLeaveDescriptorsAndMemoryWhereTheyWere) {
    StartedServer server;
    const long startDescriptors = openDescriptors(server.pid());
    const auto settled = [&] {
        return connectionThreads(server.pid()) == 0 && openDescriptors(server.pid()) == startDescriptors;
    };
    ASSERT_NO_FATAL_FAILURE(runTheMix(1'000, server)); // warm-up: thread stacks, allocator arenas, parsers
    ASSERT_TRUE(eventually(settled)) << "after the warm-up: descriptors " << openDescriptors(server.pid()) << " ("
                                     << startDescriptors << " at the start), connection threads "
                                     << connectionThreads(server.pid());
    const long baselineKiB = residentKiB(server.pid());

    const auto started = Clock::now();
    ASSERT_NO_FATAL_FAILURE(runTheMix(10'000, server));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_TRUE(eventually(settled)) << "descriptors " << openDescriptors(server.pid()) << " (" << startDescriptors
                                     << " at the start), connection threads " << connectionThreads(server.pid());
    const long afterKiB = residentKiB(server.pid());
    std::printf("10,000 requests in %lld ms; server VmRSS %ld KiB after warm-up, %ld KiB after\n",
                static_cast<long long>(elapsed.count()), baselineKiB, afterKiB);
#ifndef BRINDLE_SANITIZED // a sanitizer's quarantine and shadow memory make resident size meaningless
    EXPECT_LE(afterKiB, baselineKiB + std::max(4'096L, baselineKiB / 10)) << "resident memory grew";
#endif
}

TEST(Resilience, AtTheDescriptorLimitAcceptingStopsAndAcceptedClientsAreStillServed) {
    StartedServer server;
    const pid_t pid = server.pid();
    {
        // Once through the completion path before the limit: UndefinedBehaviorSanitizer opens a pipe the first
        // time it checks the type of an object, which it cannot do once no descriptor is left.
        LoopbackClient first(server.port());
        first.sendAll(post(chatBody("Hello there")));
        ASSERT_EQ(statusLine(first.readHTTPResponse()), "HTTP/1.1 200 OK");
    }
    ASSERT_TRUE(eventually([&] { return connectionThreads(pid) == 0; }));
    // Room for a few connections only, soft and hard alike: the server cannot raise it.
    const auto room = static_cast<rlim_t>(openDescriptors(pid) + 5);
    const rlimit tight{.rlim_cur = room, .rlim_max = room};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);

    std::vector<std::unique_ptr<LoopbackClient>> served;
    std::unique_ptr<LoopbackClient> unanswered;
    for (int i = 0; i < 20 && !unanswered; ++i) {
        auto client = std::make_unique<LoopbackClient>(server.port()); // the kernel completes it either way
        client->sendAll(kHealth);
        ASSERT_TRUE(eventually([&] { return hasBytesWaiting(client->fd()) || !acceptThreadRunning(pid); }));
        // The accept thread can end just after taking this client (its next accept fails at once), so a client
        // counts as unanswered only when no answer comes after that either.
        const auto answered = [&] { return hasBytesWaiting(client->fd()); };
        if (answered() || eventually(answered, std::chrono::milliseconds(500))) {
            ASSERT_EQ(statusLine(client->readHTTPResponse()), "HTTP/1.1 200 OK");
            served.push_back(std::move(client));
        } else {
            unanswered = std::move(client);
        }
    }
    ASSERT_TRUE(unanswered) << "the descriptor limit was never reached";
    EXPECT_FALSE(acceptThreadRunning(pid)) << "accepting goes on after a failure other than an interruption";
    EXPECT_GE(served.size(), 2u);
    for (auto& client : served) { // connections accepted before are served as before
        client->sendAll(post(chatBody("Hello there")));
        EXPECT_EQ(statusLine(client->readHTTPResponse()), "HTTP/1.1 200 OK");
    }
    EXPECT_FALSE(hasBytesWaiting(unanswered->fd())) << "a connection accepted after the accept loop ended";
    EXPECT_EQ(::kill(pid, 0), 0) << "the process keeps running";
}

} // namespace
} // namespace brindle

#endif // __linux__
