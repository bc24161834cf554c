// brindle_probe: the load figures a generic HTTP load tool cannot take, measured against a brindle-server
// already running on 127.0.0.1 (bench/load.sh starts one). Every scenario runs a fixed number of rounds,
// every socket and wait gives up after a few seconds, and the program always ends by itself.
//
//   brindle_probe streams --port P [--streams 16] [--words 50] [--rounds 20]
//   brindle_probe idle    --port P --pid PID [--connections 1000] [--samples 200]
//   brindle_probe body    --port P [--pid PID] [--mib 8] [--rounds 5]
//   brindle_probe memory  --port P --pid PID [--requests 50] [--mib 1] [--parallel 5]
//   brindle_probe burst   --port P [--clients 64] [--rounds 5]
//
// Each figure is printed on one line: its name, value and unit, and, where there is one, the goal and
// whether it was met.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/LoopbackClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSocketTimeoutSeconds = 5;

class ProbeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double millisecondsSince(Clock::time_point from) {
    return millisecondsBetween(from, Clock::now());
}

// ---- Figures ----

// Nearest rank; 0 for no values.
double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.5);
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

struct Goal {
    enum class Kind { none, below, atLeast };
    Kind kind = Kind::none;
    double limit = 0;
    static Goal below(double limit) { return {Kind::below, limit}; }
    static Goal atLeast(double limit) { return {Kind::atLeast, limit}; }
};

void figure(const std::string& name, double value, std::string_view unit, Goal goal = {}) {
    // Counts have no unit and no fraction.
    std::printf(unit.empty() ? "  %-40s %10.0f %-6.*s" : "  %-40s %10.3f %-6.*s", name.c_str(), value,
                static_cast<int>(unit.size()), unit.data());
    if (goal.kind == Goal::Kind::below)
        std::printf("  goal < %g: %s", goal.limit, value < goal.limit ? "met" : "MISSED");
    if (goal.kind == Goal::Kind::atLeast)
        std::printf("  goal >= %g: %s", goal.limit, value >= goal.limit ? "met" : "MISSED");
    std::printf("\n");
    std::fflush(stdout);
}

// ---- /proc ----

// A "Name: value ..." line of /proc/<pid>/status, e.g. VmRSS (in KiB) or Threads.
long processStatus(int pid, std::string_view field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':')
            return std::stol(line.substr(field.size() + 1));
    throw ProbeError("no " + std::string(field) + " for process " + std::to_string(pid));
}

// User and system time of the whole process so far, threads that have ended included, in milliseconds.
double processCPUMilliseconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2)); // the command name may hold blanks
    std::string field;
    for (int skipped = 0; skipped < 11; ++skipped) fields >> field; // state .. cmajflt: fields 3 to 13
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A TcpExt counter of /proc/net/netstat (a line of names followed by a line of values).
long tcpExtCounter(std::string_view name) {
    std::ifstream netstat("/proc/net/netstat");
    for (std::string names, values; std::getline(netstat, names) && std::getline(netstat, values);) {
        if (!names.starts_with("TcpExt:")) continue;
        std::istringstream nameWords(names), valueWords(values);
        for (std::string word, value; nameWords >> word && valueWords >> value;)
            if (word == name) return std::stol(value);
    }
    return 0;
}

// VmRSS once it has stopped changing (three equal readings 20 ms apart, two seconds at most): a connection's
// thread frees a request's memory after the client has its answer.
long settledResidentKiB(int pid) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    long last = processStatus(pid, "VmRSS");
    for (int same = 0; same < 2 && Clock::now() < deadline;) {
        ::usleep(20'000);
        const long now = processStatus(pid, "VmRSS");
        same = now == last ? same + 1 : 0;
        last = now;
    }
    return last;
}

// Waits, up to two seconds, until the server is back to at most `threads` threads: connection threads end
// a little after their client closes.
void awaitThreads(int pid, long threads) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (processStatus(pid, "Threads") > threads && Clock::now() < deadline) ::usleep(10'000);
}

// ---- Requests ----

using brindle::testing::LoopbackClient;

// Sends one request and reads its answer (throws when the server closes first or stays silent); its status.
int exchange(LoopbackClient& client, std::string_view request) {
    client.sendAll(request);
    const std::string answer = client.readHTTPResponse();
    return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

// The status of one GET /health on a fresh connection.
constexpr std::string_view kHealthRequest = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

std::string postCompletion(const std::string& body) {
    return "POST /v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// ---- Request bodies ----

constexpr std::string_view kWords[] = {"planning", "meeting", "moves", "from",      "Monday", "to",
                                       "Tuesday",  "at",      "ten,",  "caf\u00e9", "notes",  "follow."};

std::string words(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ' ';
        text += kWords[i % std::size(kWords)];
    }
    return text;
}

// A conversation of alternating turns of prose, at least `size` bytes long.
std::string largeBody(std::size_t size) {
    std::string body = R"({"model":"brindle-core","messages":[{"role":"system","content":"Be brief."})";
    for (std::size_t turn = 0; body.size() < size; ++turn)
        body += std::string(R"(,{"role":")") + (turn % 2 == 0 ? "user" : "assistant") + R"(","content":")" +
                words(8'000) + "\"}";
    return body + "]}";
}

// Short turns in many scripts, about 800 bytes each (tens of thousands in 32 MiB): Latin with accents,
// Devanagari and Bengali conjuncts, Chinese, Arabic, Cyrillic, emoji sequences and JSON escapes.
constexpr std::string_view kMixedPhrases[] = {
    "Please move the weekly planning meeting to Tuesday at ten, caf\u00e9 afterwards. ",
    "क्षेत्र स्त्री कार्यक्रम अगले सप्ताह। ",
    "ক্ষমা করুন, আজ সভা নেই। ",
    "会议改到星期二上午十点，请准时参加。 ",
    "سينتقل الاجتماع إلى يوم الثلاثاء. ",
    "Встреча перенесена на вторник. ",
    "Thanks \U0001F44D\U0001F3FD \U0001F468\u200D\U0001F469\u200D\U0001F467 \U0001F1EB\U0001F1F7 \\\"quoted\\\"\\n",
};

std::string mixedTurn(std::size_t turn) {
    std::string text;
    for (std::size_t i = turn; text.size() < 800; i = i * 7 + 3) text += kMixedPhrases[i % std::size(kMixedPhrases)];
    return text;
}

// A conversation of many short turns in mixed scripts, at least `size` bytes long.
std::string mixedBody(std::size_t size) {
    std::string body = R"({"model":"brindle-core","messages":[{"role":"system","content":"Be brief."})";
    for (std::size_t turn = 0; body.size() < size; ++turn)
        body += std::string(R"(,{"role":")") + (turn % 2 == 0 ? "user" : "assistant") + R"(","content":")" +
                mixedTurn(turn) + "\"}";
    return body + "]}";
}

// ---- Command line ----

struct Options {
    std::string scenario;
    std::map<std::string, long> values;
    long get(const std::string& name, long fallback) const {
        const auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
    long required(const std::string& name) const {
        const auto found = values.find(name);
        if (found == values.end()) throw ProbeError("--" + name + " is required");
        return found->second;
    }
    std::uint16_t port() const { return static_cast<std::uint16_t>(required("port")); }
};

Options parseOptions(int argc, char** argv) {
    if (argc < 2) throw ProbeError("usage: brindle_probe streams|idle|body|memory|burst --port P [--name value]...");
    Options options{argv[1], {}};
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string_view flag = argv[i];
        if (!flag.starts_with("--")) throw ProbeError("expected --name value, got " + std::string(flag));
        options.values[std::string(flag.substr(2))] = std::stol(argv[i + 1]);
    }
    return options;
}

// ---- streams: concurrent event streams ----

struct StreamState {
    LoopbackClient client;
    Clock::time_point sent, firstByte, end;
    std::string bytes;
    std::size_t scanned = 0;               // where the search for the next event's end resumes
    std::vector<Clock::time_point> events; // when each complete event arrived
    bool open = true;
};

// Reads what is there; records the arrival of every event completed by it, and the close.
void drainStream(StreamState& stream) {
    for (;;) {
        char chunk[16'384];
        const ssize_t count = ::recv(stream.client.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
        const auto now = Clock::now();
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (count <= 0) {
            stream.end = now;
            stream.open = false;
            return;
        }
        if (stream.bytes.empty()) stream.firstByte = now;
        stream.bytes.append(chunk, static_cast<std::size_t>(count));
        const std::size_t body = stream.bytes.find("\r\n\r\n");
        if (body == std::string::npos) continue;
        stream.scanned = std::max(stream.scanned, body + 4);
        for (std::size_t end; (end = stream.bytes.find("\n\n", stream.scanned)) != std::string::npos;) {
            stream.events.push_back(now);
            stream.scanned = end + 2;
        }
    }
}

// Polls every open stream until all have closed; false when the deadline passed first.
bool pollStreams(std::vector<StreamState>& streams, Clock::time_point deadline) {
    for (;;) {
        std::vector<pollfd> entries;
        std::vector<StreamState*> owners;
        for (auto& stream : streams)
            if (stream.open) {
                entries.push_back({stream.client.fd(), POLLIN, 0});
                owners.push_back(&stream);
            }
        if (entries.empty()) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        if (::poll(entries.data(), entries.size(), static_cast<int>(left)) < 0 && errno != EINTR)
            throw ProbeError("poll failed");
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].revents != 0) drainStream(*owners[i]);
    }
}

bool isCompleteStream(const StreamState& stream, std::size_t words) {
    // One content frame per word, the finish frame and the done marker.
    return stream.bytes.starts_with("HTTP/1.1 200 OK\r\n") && stream.bytes.ends_with("data: [DONE]\n\n") &&
           stream.events.size() == words + 2;
}

struct StreamFigures {
    std::vector<double> batch, spread, firstFrameWait, gaps;
    int incomplete = 0;
};

void streamRound(std::uint16_t port, std::size_t count, std::size_t wordCount, StreamFigures& figures) {
    // "You said: " and the prompt: the answer has wordCount words.
    const std::string request = postCompletion(R"({"model":"brindle-core","stream":true,"messages":[)"
                                               R"({"role":"user","content":")" +
                                               words(wordCount - 2) + "\"}]}");
    const auto start = Clock::now();
    std::vector<StreamState> streams;
    streams.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        streams.push_back({LoopbackClient(port), {}, {}, {}, {}, 0, {}, true});
        streams.back().client.sendAll(request);
        streams.back().sent = Clock::now();
    }
    if (!pollStreams(streams, start + std::chrono::seconds(kSocketTimeoutSeconds))) ++figures.incomplete;
    Clock::time_point firstEnd = Clock::time_point::max(), lastEnd = start;
    for (const auto& stream : streams) {
        if (!isCompleteStream(stream, wordCount)) {
            ++figures.incomplete;
            continue;
        }
        firstEnd = std::min(firstEnd, stream.end);
        lastEnd = std::max(lastEnd, stream.end);
        figures.firstFrameWait.push_back(millisecondsBetween(stream.sent, stream.firstByte));
        for (std::size_t i = 1; i < stream.events.size(); ++i)
            figures.gaps.push_back(millisecondsBetween(stream.events[i - 1], stream.events[i]));
    }
    figures.batch.push_back(millisecondsBetween(start, lastEnd));
    figures.spread.push_back(millisecondsBetween(firstEnd == Clock::time_point::max() ? lastEnd : firstEnd, lastEnd));
}

void streamsScenario(const Options& options) {
    const auto count = static_cast<std::size_t>(options.get("streams", 16));
    const auto wordCount = static_cast<std::size_t>(std::max(3L, options.get("words", 50)));
    const long rounds = options.get("rounds", 20);
    StreamFigures figures;
    for (long round = 0; round < rounds; ++round) streamRound(options.port(), count, wordCount, figures);
    std::printf("streams: %zu concurrent streams of a %zu-word answer, %ld batches (connect to last close)\n", count,
                wordCount, rounds);
    figure("batch time, median", percentile(figures.batch, 50), "ms", Goal::below(10));
    figure("batch time, worst", percentile(figures.batch, 100), "ms");
    figure("finish spread in a batch, median", percentile(figures.spread, 50), "ms");
    figure("request to first frame, median", percentile(figures.firstFrameWait, 50), "ms");
    figure("request to first frame, worst", percentile(figures.firstFrameWait, 100), "ms");
    figure("gap between frames, p99", percentile(figures.gaps, 99), "ms");
    figure("gap between frames, worst", percentile(figures.gaps, 100), "ms");
    figure("incomplete streams", figures.incomplete, "", Goal::below(1));
}

// ---- idle: many idle keep-alive connections ----

// Connect, one GET /health, the whole answer: milliseconds, or nothing when it failed.
std::optional<double> freshHealthCheck(std::uint16_t port) {
    const auto start = Clock::now();
    try {
        LoopbackClient client(port);
        if (exchange(client, kHealthRequest) != 200) return std::nullopt;
        return millisecondsSince(start);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

// Every connection asks once more; the number that answered 200.
int askEach(std::vector<LoopbackClient>& clients) {
    int answered = 0;
    for (auto& client : clients) {
        try {
            if (exchange(client, kHealthRequest) == 200) ++answered;
        } catch (const std::runtime_error&) {
        }
    }
    return answered;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void idleScenario(const Options& options) {
    const auto count = static_cast<std::size_t>(options.get("connections", 1000));
    const int pid = static_cast<int>(options.required("pid"));
    raiseDescriptorLimit();
    const long rssBefore = settledResidentKiB(pid);
    const long threadsBefore = processStatus(pid, "Threads");
    // Each connection is served once, so it is accepted and its thread has done real work, then left idle.
    std::vector<LoopbackClient> idle;
    for (std::size_t i = 0; i < count; ++i)
        if (exchange(idle.emplace_back(options.port()), kHealthRequest) != 200)
            throw ProbeError("a health check failed");
    const long rssHeld = settledResidentKiB(pid);
    const long threadsHeld = processStatus(pid, "Threads");
    std::vector<double> latencies;
    int failed = 0;
    for (long i = 0; i < options.get("samples", 200); ++i) {
        if (auto latency = freshHealthCheck(options.port()))
            latencies.push_back(*latency);
        else
            ++failed;
    }
    const int held = askEach(idle);
    std::printf("idle: %zu idle keep-alive connections, each served once and then left waiting\n", count);
    figure("server threads while held", static_cast<double>(threadsHeld - threadsBefore), "");
    figure("server VmRSS growth", static_cast<double>(rssHeld - rssBefore) / 1024.0, "MiB");
    figure("VmRSS per idle connection", static_cast<double>(rssHeld - rssBefore) / static_cast<double>(count), "KiB",
           Goal::below(16));
    figure("new client: connect to answer, median", percentile(latencies, 50), "ms");
    figure("new client: connect to answer, p99", percentile(latencies, 99), "ms");
    figure("new client: connect to answer, worst", percentile(latencies, 100), "ms", Goal::below(5));
    figure("new clients that failed", failed, "", Goal::below(1));
    figure("idle connections still served", held, "", Goal::atLeast(static_cast<double>(count)));
    idle.clear();
    awaitThreads(pid, threadsBefore);
    figure("VmRSS growth after they closed", static_cast<double>(settledResidentKiB(pid) - rssBefore) / 1024.0, "MiB");
}

// ---- body: a large request body ----

// --mixed 1: many short turns in mixed scripts instead of long English ones.
void bodyScenario(const Options& options) {
    const std::size_t size = static_cast<std::size_t>(options.get("mib", 8)) << 20;
    const bool mixed = options.get("mixed", 0) != 0;
    const std::string request = postCompletion(mixed ? mixedBody(size) : largeBody(size));
    const long rounds = options.get("rounds", 5);
    const int pid = static_cast<int>(options.get("pid", 0));
    const double cpuBefore = pid > 0 ? processCPUMilliseconds(pid) : 0;
    std::vector<double> times;
    int status = 0;
    for (long round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        LoopbackClient client(options.port());
        status = exchange(client, request);
        times.push_back(millisecondsSince(start));
    }
    const double mebibytes = static_cast<double>(request.size()) / (1 << 20);
    std::printf("body: a %.1f MiB chat request (%s; answered %d, over the context window)\n", mebibytes,
                mixed ? "many short turns in mixed scripts" : "a long conversation", status);
    figure("connect to answer, median", percentile(times, 50), "ms", Goal::below(40));
    figure("connect to answer, best", percentile(times, 0), "ms");
    figure("request bytes per second, median", mebibytes / percentile(times, 50) * 1000.0, "MiB/s");
    // Less exposed to a busy machine than the time from connect, though counted in whole clock ticks.
    if (pid > 0)
        figure("server CPU time per request", (processCPUMilliseconds(pid) - cpuBefore) / static_cast<double>(rounds),
               "ms");
}

// ---- memory: what large bodies leave behind ----

void memoryScenario(const Options& options) {
    const int pid = static_cast<int>(options.required("pid"));
    const long requests = options.get("requests", 50);
    const long parallel = std::max(1L, options.get("parallel", 5));
    const std::string request = postCompletion(largeBody(static_cast<std::size_t>(options.get("mib", 1)) << 20));
    const long threadsBefore = processStatus(pid, "Threads");
    const long rssBefore = settledResidentKiB(pid);
    long peak = rssBefore;
    for (long done = 0; done < requests; done += parallel) {
        std::vector<LoopbackClient> clients;
        for (long i = 0; i < parallel && done + i < requests; ++i) clients.emplace_back(options.port());
        for (auto& client : clients) client.sendAll(request);
        for (auto& client : clients) client.readHTTPResponse();
        peak = std::max(peak, processStatus(pid, "VmRSS"));
    }
    awaitThreads(pid, threadsBefore);
    const long rssAfter = settledResidentKiB(pid);
    std::printf("memory: %ld requests with %ld MiB bodies, %ld connections at a time, all closed again\n", requests,
                options.get("mib", 1), parallel);
    figure("VmRSS growth at the peak", static_cast<double>(peak - rssBefore) / 1024.0, "MiB");
    figure("VmRSS growth kept afterwards", static_cast<double>(rssAfter - rssBefore) / 1024.0, "MiB");

    // A keep-alive client that sent one large request and then waits: what its idle thread holds on to.
    LoopbackClient held(options.port());
    exchange(held, postCompletion(largeBody(8u << 20)));
    figure("held by an idle client after 8 MiB", static_cast<double>(settledResidentKiB(pid) - rssAfter) / 1024.0,
           "MiB");
}

// ---- burst: many clients connecting at once ----

struct BurstClient {
    LoopbackClient connection;
    Clock::time_point start;
    double connected = -1, answered = -1; // milliseconds from start
    std::string pending;
    bool failed = false;
};

// One step of a client that poll found ready: the connect completing, or (part of) the answer.
void advanceBurstClient(BurstClient& client, short revents) {
    if (client.connected < 0) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(client.connection.fd(), SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0 || (revents & (POLLERR | POLLHUP)) != 0) {
            client.failed = true;
            return;
        }
        client.connected = millisecondsSince(client.start);
        client.connection.sendAll(kHealthRequest);
        return;
    }
    char chunk[4096];
    const ssize_t count = ::recv(client.connection.fd(), chunk, sizeof chunk, MSG_DONTWAIT);
    if (count <= 0) {
        client.failed = count == 0 || (errno != EAGAIN && errno != EINTR);
        return;
    }
    client.pending.append(chunk, static_cast<std::size_t>(count));
    if (brindle::testing::httpResponseSize(client.pending) <= client.pending.size())
        client.answered = millisecondsSince(client.start);
}

bool isPending(const BurstClient& client) {
    return !client.failed && client.answered < 0;
}

void runBurst(std::vector<BurstClient>& clients, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        std::vector<pollfd> entries;
        std::vector<BurstClient*> owners;
        for (auto& client : clients)
            if (isPending(client)) {
                entries.push_back(
                    {client.connection.fd(), static_cast<short>(client.connected < 0 ? POLLOUT : POLLIN), 0});
                owners.push_back(&client);
            }
        if (entries.empty()) return;
        if (::poll(entries.data(), entries.size(), 100) < 0 && errno != EINTR) throw ProbeError("poll failed");
        for (std::size_t i = 0; i < entries.size(); ++i)
            if (entries[i].revents != 0) advanceBurstClient(*owners[i], entries[i].revents);
    }
}

struct BurstFigures {
    std::vector<double> answered;
    int slowConnects = 0, slowAnswers = 0, failed = 0;
};

void burstRound(std::uint16_t port, std::size_t count, BurstFigures& figures) {
    std::vector<BurstClient> clients;
    clients.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto start = Clock::now();
        clients.push_back({LoopbackClient(port, LoopbackClient::Connect::started), start, -1, -1, {}, false});
    }
    // Long enough for two SYN retransmissions (after 1 s and 3 s).
    runBurst(clients, Clock::now() + std::chrono::seconds(kSocketTimeoutSeconds));
    for (const auto& client : clients) {
        if (client.failed || client.answered < 0) {
            ++figures.failed;
            continue;
        }
        figures.answered.push_back(client.answered);
        if (client.connected > 1000) ++figures.slowConnects;
        if (client.answered > 1000) ++figures.slowAnswers;
    }
}

void burstScenario(const Options& options) {
    const auto count = static_cast<std::size_t>(options.get("clients", 64));
    const long rounds = options.get("rounds", 5);
    raiseDescriptorLimit();
    const long overflowsBefore = tcpExtCounter("ListenOverflows");
    BurstFigures figures;
    for (long round = 0; round < rounds; ++round) burstRound(options.port(), count, figures);
    const long overflows = tcpExtCounter("ListenOverflows") - overflowsBefore;
    std::printf("burst: %zu clients connecting at once, %ld rounds (listen backlog 16)\n", count, rounds);
    figure("connects over 1 s (SYN retransmitted)", figures.slowConnects, "", Goal::below(1));
    figure("answers over 1 s (handshake retried)", figures.slowAnswers, "", Goal::below(1));
    figure("listen queue overflows (all of TCP)", static_cast<double>(overflows), "");
    figure("connect to answer, median", percentile(figures.answered, 50), "ms");
    figure("connect to answer, worst", percentile(figures.answered, 100), "ms");
    figure("clients never answered", figures.failed, "", Goal::below(1));
}

} // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        if (options.scenario == "streams")
            streamsScenario(options);
        else if (options.scenario == "idle")
            idleScenario(options);
        else if (options.scenario == "body")
            bodyScenario(options);
        else if (options.scenario == "memory")
            memoryScenario(options);
        else if (options.scenario == "burst")
            burstScenario(options);
        else
            throw ProbeError("unknown scenario " + options.scenario);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "brindle_probe: %s\n", error.what());
        return 1;
    }
    return 0;
}
