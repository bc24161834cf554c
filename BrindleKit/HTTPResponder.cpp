#include "BrindleKit/HTTPResponder.h"

#include <string>
#include <unordered_map>

namespace brindle {

namespace {

std::string_view reasonPhrase(int status) {
    // Never destroyed, like the other shared constants here: connection threads are detached and may still
    // be answering while the process exits.
    static const auto* const phrases = new std::unordered_map<int, std::string_view>{
        {200, "OK"},
        {400, "Bad Request"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {429, "Too Many Requests"},
        {500, "Internal Server Error"},
        {503, "Service Unavailable"},
    };
    const auto found = phrases->find(status);
    return found == phrases->end() ? "OK" : found->second;
}

} // namespace

void HTTPResponder::sendJSON(int status, std::string_view body) noexcept {
    responseStarted_ = true;
    std::string answer;
    answer.reserve(256 + body.size());
    answer.append("HTTP/1.1 ").append(std::to_string(status)).append(" ").append(reasonPhrase(status));
    answer.append("\r\nContent-Type: application/json\r\n").append(kCORSBlock);
    answer.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n");
    answer.append("Connection: keep-alive\r\n\r\n").append(body);
    try {
        connection_.send(answer);
    } catch (const FDConnection::WriteFailed&) {
        // The client went away; the connection loop ends on its next read.
    }
}

void HTTPResponder::sendPreflight() noexcept {
    static const std::string& preflight = *new std::string(std::string("HTTP/1.1 204 No Content\r\n")
                                                               .append(kCORSBlock)
                                                               .append("Access-Control-Max-Age: 600\r\n"
                                                                       "Content-Length: 0\r\n"
                                                                       "Connection: keep-alive\r\n\r\n"));
    responseStarted_ = true;
    try {
        connection_.send(preflight);
    } catch (const FDConnection::WriteFailed&) {
        // As for sendJSON.
    }
}

void HTTPResponder::beginSSE() {
    static const std::string& head = *new std::string(std::string("HTTP/1.1 200 OK\r\n"
                                                                  "Content-Type: text/event-stream\r\n")
                                                          .append(kCORSBlock)
                                                          .append("Cache-Control: no-store\r\n"
                                                                  "Connection: close\r\n\r\n"));
    // Both flags before the write, so the connection closes after the handler even when the write fails.
    responseStarted_ = true;
    wantsClose_ = true;
    connection_.send(head);
}

void HTTPResponder::sendSSEFrame(std::string_view frame) {
    connection_.send(frame);
}

} // namespace brindle
