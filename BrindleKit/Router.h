#pragma once
// Method and path to answer. The router is the server's request handler; every failure it meets it answers
// with a row of the error table (ErrorMapping).

#include "BrindleKit/CompletionEngine.h"
#include "BrindleKit/HTTPServer.h"

#include <memory>
#include <string>

namespace brindle {

class Router {
public:
    Router(std::string modelID, std::shared_ptr<const model::SystemLanguageModel> model);

    // Never throws: every request gets exactly one answer, or as much of one as the client stayed for.
    // The request is the router's: a body is let go once it is decoded.
    void handle(HTTPRequest request, HTTPResponder& responder) const noexcept;

    const std::string& modelID() const { return modelID_; }

private:
    void handleCompletion(RequestBody body, HTTPResponder& responder) const;
    std::string modelsBody() const;

    std::string modelID_;
    std::shared_ptr<const model::SystemLanguageModel> model_;
    CompletionEngine engine_;
};

} // namespace brindle
