// brindle-server: `serve --port <n> [--model-id <id>]` runs the loopback server until the process is killed;
// `probe` prints whether the model can be used. Both take `--builtin-availability <state>`, which makes the
// built-in model report that state. Exit status 2 for every command-line or start-up failure.

#include <charconv>
#include <csignal>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#if __has_include(<malloc.h>)
#include <malloc.h>
#endif
#include <unistd.h>
// The platform's main loop, wherever libdispatch is at hand: always on macOS, with the platform model elsewhere.
#if defined(__APPLE__) || defined(BRINDLE_HAVE_PLATFORM_MODEL)
#include <dispatch/dispatch.h>
#define BRINDLE_DISPATCH_MAIN 1
#endif

#include "BrindleBase/JSONValue.h"
#include "BrindleKit/Availability.h"
#include "BrindleKit/HTTPServer.h"
#include "BrindleKit/Router.h"
#include "BrindleModel/BuiltinModel.h"
#include "BrindleModel/LanguageModel.h"
#ifdef BRINDLE_HAVE_PLATFORM_MODEL
#include "BrindleModel/platform/PlatformModel.h"
#endif

namespace {

constexpr std::string_view kUsage = "usage: brindle-server serve --port <n> [--model-id <id>] | brindle-server probe\n";
constexpr std::string_view kPortRequired = "serve requires --port <1-65535>\n";
constexpr std::string_view kBuiltinOnly = "--builtin-availability applies only to the built-in model, "
                                          "and this brindle-server serves the platform's on-device model\n";
constexpr std::string_view kDefaultModelID = "brindle-core";
constexpr int kFailureStatus = 2;

using brindle::model::SystemLanguageModel;
using ModelPointer = std::shared_ptr<const SystemLanguageModel>;

// The model this program serves: the platform's where this build has it, the built-in model everywhere else.
#ifdef BRINDLE_HAVE_PLATFORM_MODEL
constexpr bool kServesPlatformModel = true;
ModelPointer processModel() {
    return std::make_shared<const brindle::model::PlatformModel>();
}
#else
constexpr bool kServesPlatformModel = false;
ModelPointer processModel() {
    return std::make_shared<const brindle::model::BuiltinModel>();
}
#endif

// One write, so that a message never interleaves with another process's output on a shared terminal.
void writeOnce(int fd, std::string_view text) {
    if (::write(fd, text.data(), text.size()) < 0) {
        // Nobody left to tell.
    }
}

// The element after the first one equal to `flag`, searching the whole list from the program path on.
std::optional<std::string> valueFor(const std::vector<std::string>& arguments, std::string_view flag) {
    for (std::size_t i = 0; i + 1 < arguments.size(); ++i)
        if (arguments[i] == flag) return arguments[i + 1];
    return std::nullopt;
}

// An optional single + or -, then decimal digits only, 1 to 65535; leading zeros are fine ("08080").
std::optional<std::uint16_t> parsePort(std::string_view text) {
    bool negative = false;
    if (text.starts_with('+') || text.starts_with('-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt; // from_chars takes "-"
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || stop != end || value > 65'535 || value == 0 || negative) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// A state the probe prints (available, deviceNotEligible, appleIntelligenceNotEnabled, modelNotReady); any
// other word is a reason the probe does not know, which it prints as "unknown".
SystemLanguageModel::Availability availabilityNamed(std::string_view state) {
    using Reason = SystemLanguageModel::UnavailableReason;
    if (state == "available") return {};
    if (state == "deviceNotEligible") return {Reason::deviceNotEligible};
    if (state == "appleIntelligenceNotEnabled") return {Reason::appleIntelligenceNotEnabled};
    if (state == "modelNotReady") return {Reason::modelNotReady};
    return {Reason::other};
}

// The model this process serves. Without --builtin-availability, the process's own; with it, the built-in
// model in that state, or nothing (after the message) where the process's own model is the platform's.
ModelPointer chosenModel(const std::vector<std::string>& arguments) {
    const std::optional<std::string> state = valueFor(arguments, "--builtin-availability");
    if (!state) return processModel();
    if (kServesPlatformModel) {
        writeOnce(STDERR_FILENO, kBuiltinOnly);
        return nullptr;
    }
    return std::make_shared<const brindle::model::BuiltinModel>(availabilityNamed(*state));
}

int probe(const std::vector<std::string>& arguments) {
    const ModelPointer model = chosenModel(arguments);
    if (!model) return kFailureStatus;
    writeOnce(STDOUT_FILENO, brindle::JSONCoding::encodeString(brindle::AvailabilityProbe::probe(*model)) + "\n");
    return 0;
}

// The accept loop stops for good on any accept failure but an interrupted call, so running out of
// descriptors must not happen in ordinary use: like Go's runtime and nginx, take the whole hard limit
// (the soft default of 1,024 is a few hundred idle keep-alive clients away). Failure leaves the default.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// glibc raises its mmap threshold to the largest block freed so far (up to 32 MiB); from then on large
// request bodies come from the per-thread arenas, which keep the memory: 50 requests with 1 MiB bodies left
// 35 to 48 MiB resident. A fixed threshold, which also stops that raising, gives every block of 128 KiB or
// more a mapping of its own that goes back to the system when freed (a 64 KiB read buffer stays below it).
// The price: a large body's blocks are mapped and faulted in afresh each time. No padding is kept on top of an
// arena when it shrinks: a per-thread arena keeps its top however idle it is (trimming does not reach it), and with
// the default 128 KiB of padding, 20 connections idling after a 1 MiB body held 103 KiB each instead of 71 KiB,
// for no measurable gain in time.
void returnLargeBlocksToTheSystem() {
#ifdef M_MMAP_THRESHOLD
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
#ifdef M_TOP_PAD
    ::mallopt(M_TOP_PAD, 0);
#endif
}

int serve(const std::vector<std::string>& arguments) {
    const std::optional<std::string> portText = valueFor(arguments, "--port");
    const std::optional<std::uint16_t> port = portText ? parsePort(*portText) : std::nullopt;
    if (!port) {
        writeOnce(STDERR_FILENO, kPortRequired);
        return kFailureStatus;
    }
    const std::string modelID = valueFor(arguments, "--model-id").value_or(std::string(kDefaultModelID));
    const ModelPointer model = chosenModel(arguments);
    if (!model) return kFailureStatus;

    // The router is immutable, so every connection thread shares this one.
    const auto router = std::make_shared<const brindle::Router>(modelID, model);
    // Static: dispatch_main() ends the main thread with pthread_exit, which unwinds this frame.
    static brindle::HTTPServer server(*port, [router](brindle::HTTPRequest request, brindle::HTTPResponder& responder) {
        router->handle(std::move(request), responder);
    });
    raiseDescriptorLimit();
    returnLargeBlocksToTheSystem();
    try {
        server.start();
    } catch (const std::exception& error) {
        writeOnce(STDERR_FILENO,
                  "failed to start listener on 127.0.0.1:" + std::to_string(*port) + ": " + error.what() + "\n");
        return kFailureStatus;
    }
    // After start(), as the server's sockets already refuse SIGPIPE themselves; this covers everything else.
    std::signal(SIGPIPE, SIG_IGN);
    // The accept thread and the connection threads do all further work; the process ends when it is killed.
    // The main thread serves the main queue, where the platform's framework may schedule work of its own.
#ifdef BRINDLE_DISPATCH_MAIN
    // Through a pointer: the header says it never throws, but on Linux it ends the thread with pthread_exit,
    // whose unwinding stops the process at a call site the compiler took for one that cannot unwind.
    void (*volatile mainLoop)() = dispatch_main;
    mainLoop();
#endif
    for (;;) ::pause();
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::string command = arguments.size() >= 2 ? arguments[1] : std::string();
    if (command == "probe") return probe(arguments);
    if (command == "serve") return serve(arguments);
    writeOnce(STDERR_FILENO, kUsage);
    return kFailureStatus;
}
