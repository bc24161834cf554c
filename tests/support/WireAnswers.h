#pragma once
// The exact bytes of the server's answers, and of the requests that ask for them, for tests on a real socket.

#include <regex>
#include <string>

namespace brindle::testing {

inline std::string jsonAnswer(int status, const std::string& phrase, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " " + phrase +
           "\r\nContent-Type: application/json\r\n"
           "Access-Control-Allow-Origin: *\r\n"
           "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
           "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

inline const std::string kSSEHead = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                                    "Access-Control-Allow-Origin: *\r\n"
                                    "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
                                    "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
                                    "Cache-Control: no-store\r\nConnection: close\r\n\r\n";

// The request that posts this body to the chat route.
inline std::string post(const std::string& body) {
    return "POST /v1/chat/completions HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Every answer has an id and a time of its own: they read chatcmpl-X and "created":0 here.
inline std::string masked(std::string text) {
    text = std::regex_replace(text, std::regex("chatcmpl-[0-9a-f-]{36}"), "chatcmpl-X");
    return std::regex_replace(text, std::regex("\"created\":[0-9]+"), "\"created\":0");
}

} // namespace brindle::testing
