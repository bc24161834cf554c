#pragma once
// Method and path to answer. The router is the server's request handler and the one place where errors
// become answers.

#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/HTTPServer.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace brindle {

class Router {
public:
    class RouteError : public std::runtime_error {
    public:
        // notFound: "no route for " + method + " " + path
        static RouteError notFound(const std::string& method, const std::string& path) {
            return RouteError("no route for " + method + " " + path);
        }

    private:
        using std::runtime_error::runtime_error;
    };

    Router(std::string modelID, std::shared_ptr<const model::SystemLanguageModel> model);

    // Never throws: every request gets exactly one answer, or as much of one as the client stayed for.
    void handle(const HTTPRequest& request, HTTPResponder& responder) const noexcept;

    const std::string& modelID() const { return modelID_; }

private:
    void handleCompletion(const HTTPRequest& request, HTTPResponder& responder) const;
    std::string modelsBody() const;

    std::string modelID_;
    std::shared_ptr<const model::SystemLanguageModel> model_;
    CompletionEngine engine_;
};

} // namespace brindle
