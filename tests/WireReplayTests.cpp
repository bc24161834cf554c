// Whole exchanges with the real binary on 127.0.0.1, replayed from the files in tests/wire: raw request
// bytes in, the exact answer bytes expected. One server a file; one connection a case.
//
//   serve: --builtin-availability modelNotReady   (optional: more arguments for this file's server)
//   ### the name of a case                        ([bytewise] in it sends every byte as a segment of its own)
//   > bytes to send                               (>| sends what came before as a segment of its own)
//   < bytes expected                              (one answer read per status line; <. : until the close)
//   >.                                            (the client shuts its writing side)
// A line's end adds nothing unless the line ends in \r\n or \n, written out; \xHH anywhere is that byte.
// "Content-Length: *" in a request counts the line after its head; in answers, the length itself is not
// compared (ids and times differ run to run): the reader took exactly that many bytes, so a wrong length
// shows as a cut or stalled answer. Ids read chatcmpl-X, brtc_X and fm-X, times "created":0.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/LoopbackClient.h"
#include "support/ServerProcess.h"

namespace brindle {
namespace {

namespace fs = std::filesystem;

std::string unescaped(std::string_view line) {
    std::string ending;
    for (;;) {
        if (line.ends_with("\\r\\n"))
            ending.insert(0, "\r\n"), line.remove_suffix(4);
        else if (line.ends_with("\\n"))
            ending.insert(0, "\n"), line.remove_suffix(2);
        else
            break;
    }
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line.substr(i, 2) == "\\x" && i + 4 <= line.size()) {
            bytes += static_cast<char>(std::stoi(std::string(line.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            bytes += line[i];
        }
    }
    return bytes + ending;
}

// An answer as a file would spell it, for a failure message that can be pasted.
std::string spelled(const std::string& answer) {
    std::string text = "< ";
    for (std::size_t i = 0; i < answer.size(); ++i) {
        const unsigned char byte = answer[i];
        if (answer.compare(i, 10, "}HTTP/1.1 ") == 0)
            text += "}\n< ";
        else if (byte == '\r' && i + 1 < answer.size() && answer[i + 1] == '\n')
            text += "\\r\\n\n< ", ++i;
        else if (byte == '\n')
            text += i + 1 < answer.size() && answer[i + 1] == '\n' ? "\\n" : "\\n\n< ";
        else if (byte < 0x20)
            text += "\\x" + std::string(1, "0123456789abcdef"[byte >> 4]) + "0123456789abcdef"[byte & 15];
        else
            text += static_cast<char>(byte);
    }
    return text;
}

std::string masked(std::string text) {
    static const std::regex id("(chatcmpl-|brtc_)[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    text = std::regex_replace(text, id, "$1X");                              // fresh version 4 UUIDs
    text = std::regex_replace(text, std::regex("fm-[0-9A-F-]{36}"), "fm-X"); // the platform stand-in's call ids
    text = std::regex_replace(text, std::regex("\"created\":[0-9]+"), "\"created\":0");
    return std::regex_replace(text, std::regex("\r\nContent-Length: [0-9]+\r\n"), "\r\nContent-Length: *\r\n");
}

// "Content-Length: *" becomes the length of the line after the head's blank line.
std::string withLengths(std::vector<std::string> lines) {
    std::string bytes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "Content-Length: *\r\n")
            for (std::size_t blank = i; blank + 1 < lines.size(); ++blank)
                if (lines[blank] == "\r\n") {
                    lines[i] = "Content-Length: " + std::to_string(lines[blank + 1].size()) + "\r\n";
                    break;
                }
        bytes += lines[i];
    }
    return bytes;
}

struct Exchange {
    std::string caseName;
    std::unique_ptr<testing::LoopbackClient> client;
    std::vector<std::string> sending, expected;
    bool bytewise = false;

    void send() {
        if (sending.empty()) return;
        const std::string bytes = withLengths(std::exchange(sending, {}));
        if (!bytewise) return client->sendAll(bytes);
        for (const char byte : bytes) client->sendAll(std::string(1, byte));
    }
    void check(bool untilClose) {
        send();
        std::string want, got;
        int answers = 0; // each begins on a line of its own
        for (const std::string& line : std::exchange(expected, {}))
            want += line, answers += line.starts_with("HTTP/1.1 ");
        try {
            if (untilClose) got = client->readUntilClose();
            for (; !untilClose && answers > 0; --answers) got += client->readHTTPResponse();
        } catch (const std::exception& error) {
            got += std::string("(") + error.what() + ")";
        }
        EXPECT_EQ(masked(got), want) << caseName << "\n" << spelled(masked(got));
    }
};

void replay(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> serveArguments;
    std::unique_ptr<testing::ServerProcess> server;
    std::optional<Exchange> exchange;
    const auto endCase = [&] {
        if (exchange && !exchange->expected.empty()) exchange->check(false);
        if (exchange) exchange->send();
        exchange.reset();
    };
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("serve: ")) {
            for (std::istringstream words(line.substr(7)); words >> line;) serveArguments.push_back(line);
            continue;
        }
        if (line.starts_with("### ")) {
            endCase();
            if (!server)
                server = std::make_unique<testing::ServerProcess>(BRINDLE_SERVER_BINARY,
                                                                  testing::serveOnFreePort(serveArguments));
            exchange.emplace();
            exchange->caseName = line.substr(4);
            exchange->client = std::make_unique<testing::LoopbackClient>(server->port());
            exchange->bytewise = line.find("[bytewise]") != std::string::npos;
            continue;
        }
        if (!exchange || line.empty() || line[0] == '#') continue;
        if (line[0] == '>' && !exchange->expected.empty()) exchange->check(false);
        if (line == ">|")
            exchange->send();
        else if (line == ">.")
            exchange->send(), exchange->client->shutdownWrite();
        else if (line == "<.")
            exchange->check(true);
        else if (line.starts_with("> "))
            exchange->sending.push_back(unescaped(line.substr(2)));
        else if (line.starts_with("< "))
            exchange->send(), exchange->expected.push_back(unescaped(line.substr(2)));
        else
            ADD_FAILURE() << file << ": a line of no kind: " << line;
    }
    endCase();
}

std::vector<std::string> wireFiles() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(BRINDLE_WIRE_DATA))
        if (entry.path().extension() == ".http") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

class WireReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(WireReplay, AnswersEveryCaseByteForByte) {
    replay(fs::path(BRINDLE_WIRE_DATA) / (GetParam() + ".http"));
}

INSTANTIATE_TEST_SUITE_P(, WireReplay, ::testing::ValuesIn(wireFiles()), [](const auto& info) { return info.param; });

} // namespace
} // namespace brindle
