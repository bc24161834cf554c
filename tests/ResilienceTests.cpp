// The real binary under load and faults, on 127.0.0.1: clients that vanish or stop reading, a thousand idle
// connections, bodies at and past the limits, ten thousand requests, the descriptor and address-space limits
// reached, and requests whose work once grew far faster than their size.
// The server is looked at from outside through /proc: its threads, descriptors and resident memory.

#ifdef __linux__

#include <algorithm>
#include <chrono>
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
#include <cstdlib>
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

// One thread serves each connection at work; a connection idle for long has none. A connection thread bears the
// accept thread's name for a moment after it starts, until it names itself.
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
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < kIdle; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(server->port()));
        idle.back()->sendAll(kHealth);
        ASSERT_EQ(statusLine(idle.back()->readHTTPResponse()), "HTTP/1.1 200 OK") << "connection " << i;
    }
    LoopbackClient newcomer(server->port());
    newcomer.sendAll(post(chatBody("Hello there")));
    EXPECT_EQ(statusLine(newcomer.readHTTPResponse()), "HTTP/1.1 200 OK");

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
        std::string statusLine;
        std::string inBody;
    } cases[] = {
        {"the largest body, read whole", post(largest), "HTTP/1.1 400 Bad Request", "context_length_exceeded"},
        {"arrays nested a million deep", post(nestedArrays), "HTTP/1.1 400 Bad Request", "invalid_request_error"},
        {"objects nested a million deep", post(nestedObjects), "HTTP/1.1 400 Bad Request", "invalid_request_error"},
    };
    for (const auto& c : cases) {
        LoopbackClient client(server.port());
        const timeval patient{.tv_sec = 120, .tv_usec = 0}; // 64 MiB through a sanitized server takes a while
        ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &patient, sizeof patient);
        client.sendAll(c.request);
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

    ASSERT_NO_FATAL_FAILURE(runTheMix(10'000, server));
    EXPECT_TRUE(eventually(settled)) << "descriptors " << openDescriptors(server.pid()) << " (" << startDescriptors
                                     << " at the start), connection threads " << connectionThreads(server.pid());
#ifndef BRINDLE_SANITIZED // a sanitizer's quarantine and shadow memory make resident size meaningless
    EXPECT_LE(residentKiB(server.pid()), baselineKiB + std::max(4'096L, baselineKiB / 10)) << "resident memory grew";
#else
    (void)baselineKiB;
#endif
}

// An answer to a health check, or false when the server closed instead or said nothing for a second.
bool answersHealth(LoopbackClient& client) {
    client.sendAll(kHealth);
    if (!eventually([&] { return hasBytesWaiting(client.fd()); }, std::chrono::seconds(1))) return false;
    try {
        return statusLine(client.readHTTPResponse()) == "HTTP/1.1 200 OK";
    } catch (const std::runtime_error&) {
        return false; // refused: closed without an answer
    }
}

TEST(Resilience, AtTheDescriptorLimitTheServerWasDeafForGood) {
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
    bool limitReached = false;
    for (int i = 0; i < 20 && !limitReached; ++i) {
        auto client = std::make_unique<LoopbackClient>(server.port()); // the kernel completes it either way
        if (answersHealth(*client))
            served.push_back(std::move(client));
        else
            limitReached = true;
    }
    ASSERT_TRUE(limitReached) << "the descriptor limit was never reached";
    EXPECT_GE(served.size(), 2u);
    for (auto& client : served) { // connections accepted before are served as before
        client->sendAll(post(chatBody("Hello there")));
        EXPECT_EQ(statusLine(client->readHTTPResponse()), "HTTP/1.1 200 OK");
    }
    EXPECT_TRUE(acceptThreadRunning(pid)) << "accepting ended at the descriptor limit";

    served.clear(); // descriptors come back as their threads close them
    bool answeredAgain = false;
    for (int attempt = 0; attempt < 50 && !answeredAgain; ++attempt) {
        LoopbackClient newcomer(server.port());
        answeredAgain = answersHealth(newcomer);
    }
    EXPECT_TRUE(answeredAgain) << "no new client is answered once descriptors are back";
}

// The server with this much more address space than it maps now: a container's memory limit, or a system
// that does not overcommit.
void limitAddressSpace(pid_t pid, long moreMiB) {
    const auto limit = static_cast<rlim_t>((statusField(pid, "VmSize") + moreMiB * 1024) * 1024);
    const rlimit tight{.rlim_cur = limit, .rlim_max = limit};
    ASSERT_EQ(::prlimit(pid, RLIMIT_AS, &tight, nullptr), 0);
}

TEST(Resilience, AFailedAllocationEndedTheProcess) {
#ifdef BRINDLE_SANITIZED
    GTEST_SKIP() << "a sanitizer's shadow memory does not fit an address-space limit";
#endif
    // Two allocator arenas at most: each connection thread could otherwise map one of 64 MiB, and the limit
    // would be reached by arenas and thread stacks instead of by bodies.
    ::setenv("MALLOC_ARENA_MAX", "2", 1);
    StartedServer server;
    ::unsetenv("MALLOC_ARENA_MAX");
    ASSERT_NO_FATAL_FAILURE(limitAddressSpace(server.pid(), 512));
    // Heads alone: each announced 64 MiB, which was reserved at once and, fifteen times over, not there.
    std::vector<std::unique_ptr<LoopbackClient>> announcing;
    for (int i = 0; i < 15; ++i) {
        announcing.push_back(std::make_unique<LoopbackClient>(server.port()));
        announcing.back()->sendAll("POST /v1/chat/completions HTTP/1.1\r\nContent-Length: 67108863\r\n\r\n{");
    }
    LoopbackClient probe(server.port());
    EXPECT_TRUE(answersHealth(probe)) << "heads alone used up the memory";
    // Bodies whose copies do not all fit: each client gets an answer or a close, and the server goes on.
    const std::string large = post(chatBody(std::string(60u << 20, 'a')));
    std::vector<std::unique_ptr<LoopbackClient>> sending;
    for (int i = 0; i < 4; ++i) {
        sending.push_back(std::make_unique<LoopbackClient>(server.port()));
        const timeval patient{.tv_sec = 60, .tv_usec = 0};
        ::setsockopt(sending.back()->fd(), SOL_SOCKET, SO_RCVTIMEO, &patient, sizeof patient);
        ::setsockopt(sending.back()->fd(), SOL_SOCKET, SO_SNDTIMEO, &patient, sizeof patient);
    }
    std::vector<std::thread> senders;
    for (auto& client : sending)
        senders.emplace_back([&client, &large] {
            try {
                client->sendAll(large);
            } catch (const std::runtime_error&) {
                // closed by the server while sending: its memory ran out for this connection
            }
            client->shutdownWrite();
        });
    for (auto& sender : senders) sender.join();
    for (auto& client : sending) {
        const std::string answer = client->readUntilClose(); // after the answer the server sees our end
        EXPECT_TRUE(answer.empty() || statusLine(answer) == "HTTP/1.1 400 Bad Request") << answer.substr(0, 300);
    }
    EXPECT_EQ(::kill(server.pid(), 0), 0) << "the process ended";
    EXPECT_TRUE(answersHealth(probe)) << "the server stopped serving after an allocation failed";
}

// Bodies of tiny messages, the shape whose parser and records are largest for its size: one under the size from
// which memory goes back as soon as the answer is out (an idle connection kept its thread's parser and the freed
// records, 280 KiB each at 200 connections), and one over it (12 MiB each before it went back).
// An idle keep-alive connection held a thread, with its stack and allocator cache, and the buffers of its last
// body: 24 KiB each after a small body, 283 KiB after a 60 KiB one.
TEST(Resilience, AnIdleConnectionKeptItsThreadAndTheBuffersOfItsBody) {
    const auto requestOf = [](std::size_t size) {
        std::string messages;
        while (messages.size() < size) messages += R"({"role":"user","content":"x"},)";
        return post(R"({"model":"m","messages":[)" + messages + R"({"role":"user","content":"x"}]})");
    };
    for (const std::size_t size : {std::size_t{100}, std::size_t{60} << 10, std::size_t{1} << 20}) {
        const std::string request = requestOf(size);
        StartedServer server;
        { // the code and the arena this body touches are resident from now on
            LoopbackClient client(server.port());
            client.sendAll(request);
            client.readHTTPResponse();
        }
        constexpr int kIdle = 20;
        [[maybe_unused]] const long before = residentKiB(server.pid());
        std::vector<std::unique_ptr<LoopbackClient>> idle;
        for (int i = 0; i < kIdle; ++i) {
            idle.push_back(std::make_unique<LoopbackClient>(server.port()));
            idle.back()->sendAll(request);
            ASSERT_TRUE(statusLine(idle.back()->readHTTPResponse()).starts_with("HTTP/1.1 "));
        }
        EXPECT_TRUE(eventually([&] { return connectionThreads(server.pid()) == 0; }, std::chrono::seconds(5)))
            << size << "-byte bodies: idle connections hold " << connectionThreads(server.pid()) << " threads";
#ifndef BRINDLE_SANITIZED // a sanitizer's quarantine keeps freed memory resident
        const auto perConnection = [&] { return (residentKiB(server.pid()) - before) / kIdle; };
        // After a body of a megabyte the allocator's own state moves the figure by tens of KiB either way (from -48
        // to +16 KiB each measured); a body kept would be its size at least.
        const long limitKiB = size < (std::size_t{1} << 20) ? 16 : 48;
        EXPECT_TRUE(eventually([&] { return perConnection() < limitKiB; }, std::chrono::seconds(5)))
            << size << "-byte bodies: an idle connection holds " << perConnection() << " KiB";
#endif
        for (auto& client : idle) { // each is served again, on a thread of its own
            client->sendAll(request);
            ASSERT_TRUE(statusLine(client->readHTTPResponse()).starts_with("HTTP/1.1 "));
        }
    }
}

std::string toolRequest(const std::string& parameters, const std::string& prompt, const std::string& extra = "") {
    return post(chatBody(prompt, extra + R"("tools":[{"type":"function","function":{"name":"tool","parameters":)" +
                                     parameters + "}}],"));
}

// Work that grew exponentially or with the square of the request: each is answered in seconds now (a few
// under the sanitizers), and took minutes or never ended before, past the minute this allows.
TEST(Resilience, WorkThatGrewFasterThanTheRequest) {
    std::string nested = R"({"type":"object","properties":{"x":{"type":"integer"}}})";
    for (int level = 0; level < 100; ++level)
        nested = R"({"type":"object","properties":{"a)" + std::to_string(level) + R"(":)" + nested + "}}";
    std::string properties, required;
    for (int i = 0; i < 200'000; ++i) {
        const std::string name = "\"p" + std::to_string(i) + "\"";
        properties += (i ? "," : "") + name + R"(:{"type":"string"})";
        required += (i ? "," : "") + name;
    }
    // Words of a letter and 3,000 combining marks: few characters for the context window, 42 MB of answer.
    std::string marked = "a";
    for (int i = 0; i < 3'000; ++i) marked += "\xcc\x81";
    std::string longWords;
    for (int i = 0; i < 7'000; ++i) longWords += marked + " ";

    const struct {
        const char* label;
        std::string request;
        std::string statusLine;
        std::string inAnswer;
    } cases[] = {
        {"arguments for optional objects nested 100 deep, the innermost given",
         toolRequest(nested, "call the tool x=1"), "HTTP/1.1 200 OK", R"(\"x\":1}}}}}}}}}}}}}}}}}}}}}}}}}}})"},
        {"200,000 properties, every one required",
         toolRequest(R"({"type":"object","properties":{)" + properties + R"(},"required":[)" + required + "]}",
                     "hello"),
         "HTTP/1.1 400 Bad Request", "context_length_exceeded"},
        {"a streamed answer of 7,000 long words", post(chatBody(longWords, R"("stream":true,"max_tokens":100000,)")),
         "HTTP/1.1 200 OK", "data: [DONE]"},
    };
    for (const auto& c : cases) {
        StartedServer server; // a fresh one each: a request still at work would hold a core
        LoopbackClient client(server.port());
        const timeval patient{.tv_sec = 60, .tv_usec = 0};
        ::setsockopt(client.fd(), SOL_SOCKET, SO_RCVTIMEO, &patient, sizeof patient);
        const auto started = Clock::now();
        client.sendAll(c.request);
        std::string answer;
        try {
            answer = c.request.find("\"stream\":true") != std::string::npos ? client.readUntilClose()
                                                                            : client.readHTTPResponse();
        } catch (const std::runtime_error& error) {
            ADD_FAILURE() << c.label << ": " << error.what();
            continue;
        }
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(60)) << c.label;
        EXPECT_EQ(statusLine(answer), c.statusLine) << c.label;
        EXPECT_NE(answer.find(c.inAnswer), std::string::npos) << c.label << ": " << answer.substr(0, 600);
    }
}

} // namespace
} // namespace brindle

#endif // __linux__
