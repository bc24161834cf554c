#include "BrindleKit/Router.h"

#include "BrindleKit/Availability.h"
#include "BrindleKit/ErrorMapping.h"

namespace brindle {

namespace {

constexpr std::string_view kHealthBody = "{\"status\":\"ok\"}";

// Every error answer that is not an event: the row's status and body.
void sendError(HTTPResponder& responder, const MappedError& error) {
    responder.sendJSON(static_cast<int>(error.status), error.bodyJSON());
}

// The id goes in as JSON string content, so a quotation mark in it cannot break the body.
std::string jsonStringContent(const std::string& text) {
    JSONWriter writer;
    writer.string(text);
    const std::string quoted = writer.take();
    return quoted.substr(1, quoted.size() - 2);
}

} // namespace

Router::Router(std::string modelID, std::shared_ptr<const model::SystemLanguageModel> model)
    : modelID_(std::move(modelID)), model_(std::move(model)), engine_(model_) {}

std::string Router::modelsBody() const {
    return "{\"object\":\"list\",\"data\":[{\"id\":\"" + jsonStringContent(modelID_) +
           "\",\"object\":\"model\",\"owned_by\":\"apple\"}]}";
}

void Router::handle(HTTPRequest request, HTTPResponder& responder) const noexcept {
    try {
        const std::string& method = request.method;
        const std::string& path = request.path;
        if (method == "OPTIONS") return responder.sendPreflight();
        if (method == "GET" && path == "/health") return responder.sendJSON(200, kHealthBody);
        if (method == "GET" && path == "/availability")
            return responder.sendJSON(200, JSONCoding::encodeString(AvailabilityProbe::probe(*model_)));
        if (method == "GET" && path == "/v1/models") return responder.sendJSON(200, modelsBody());
        if (method == "POST" && path == "/v1/chat/completions")
            return handleCompletion(std::move(request.body), responder);
        sendError(responder, ErrorMapper::notFound(method, path));
    } catch (...) {
        // Only resource exhaustion gets here; the client still gets an answer if none has begun.
        if (!responder.responseStarted()) sendError(responder, ErrorMapper::map(std::current_exception()));
    }
}

// The body goes once decoded: the decoded request owns what it holds, and the model's work on a large one (the
// schemas of its tools, the transcript) would otherwise have the body beside it.
void Router::handleCompletion(RequestBody body, HTTPResponder& responder) const {
    std::optional<ChatCompletionRequest> decoded;
    try {
        decoded.emplace(JSONCoding::decoder().decodePadded<ChatCompletionRequest>(body.view()));
    } catch (const JSONCoding::DecodingError& error) {
        return sendError(responder, ErrorMapper::undecodableBody(error.what()));
    }
    body = {};
    const AvailabilityStatus availability = AvailabilityProbe::probe(*model_);
    if (!availability.available) return sendError(responder, ErrorMapper::modelUnavailable(availability.reason));
    // The event-stream head goes out with the first frame, so a failure before any output still gets an
    // ordinary JSON error answer with its own status.
    const CompletionEngine::FrameSender send = [&responder](const std::string& frame) {
        if (!responder.responseStarted()) responder.beginSSE();
        responder.sendSSEFrame(frame);
    };
    try {
        if (decoded->stream.value_or(false))
            engine_.streamCompletion(std::move(*decoded), send);
        else
            responder.sendJSON(200, engine_.complete(std::move(*decoded)));
    } catch (...) {
        if (!responder.responseStarted()) return sendError(responder, ErrorMapper::map(std::current_exception()));
        try {
            ErrorMapper::sendErrorFrame(send, std::current_exception());
        } catch (...) {
            // The client is gone; there is no one left to tell.
        }
    }
}

} // namespace brindle
