#pragma once
// Whether the client of the request being served is still there, for waits deep inside a generation.
//
// A Swift task carries its cancellation implicitly into everything it awaits; here the thread that serves
// a request carries its client's socket the same way, so a model that waits needs no parameter threaded
// through the router, the engine and the model interface. The connection marks its thread for the time of
// each request; everything else only asks.

#include <chrono>

namespace brindle::ClientPresence {

// For its lifetime, requests served on this thread come from the client on `socket`.
class Scope {
public:
    explicit Scope(int socket);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    int previous_;
};

// Sleeps for `duration`, or until the client of the request this thread serves hangs up (closes its side
// or resets the connection), whichever comes first; once it has, it returns at once. True when the whole
// duration passed with the client there. Outside a scope, a plain sleep.
bool sleepWhileClientStays(std::chrono::milliseconds duration);

} // namespace brindle::ClientPresence
