#include "BrindleKit/Router.h"

#include "BrindleKit/Availability.h"
#include "BrindleKit/ErrorMapping.h"

namespace brindle {

namespace {

constexpr std::string_view kHealthBody = "{\"status\":\"ok\"}";

void sendError(HTTPResponder& responder, int status, ErrorBody body) {
    responder.sendJSON(status, JSONCoding::encodeString(body));
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

void Router::handle(const HTTPRequest& request, HTTPResponder& responder) const noexcept {
    try {
        const std::string& method = request.method;
        const std::string& path = request.path;
        if (method == "OPTIONS") return responder.sendPreflight();
        if (method == "GET" && path == "/health") return responder.sendJSON(200, kHealthBody);
        if (method == "GET" && path == "/availability")
            return responder.sendJSON(200, JSONCoding::encodeString(AvailabilityProbe::probe(*model_)));
        if (method == "GET" && path == "/v1/models") return responder.sendJSON(200, modelsBody());
        if (method == "POST" && path == "/v1/chat/completions") return handleCompletion(request, responder);
        // Not found keeps its 404 whatever status the mapping would choose; there is no 405.
        const MappedError mapped = ErrorMapper::map(std::make_exception_ptr(RouteError::notFound(method, path)));
        sendError(responder, 404, ErrorBody(mapped.message, mapped.type, mapped.code));
    } catch (...) {
        // Only resource exhaustion gets here; the client still gets an answer if none has begun.
        if (!responder.responseStarted()) responder.sendJSON(500, ErrorMapper::map(std::current_exception()).bodyJSON());
    }
}

void Router::handleCompletion(const HTTPRequest& request, HTTPResponder& responder) const {
    std::optional<ChatCompletionRequest> decoded;
    try {
        decoded.emplace(JSONCoding::decoder().decode<ChatCompletionRequest>(request.body));
    } catch (const JSONCoding::DecodingError& error) {
        return sendError(responder, 400,
                         ErrorBody("invalid request body: " + std::string(error.what()), "invalid_request_error"));
    }
    const AvailabilityStatus availability = AvailabilityProbe::probe(*model_);
    if (!availability.available)
        return sendError(responder, 503,
                         ErrorBody("The on-device model is unavailable (" + availability.reason.value_or("unknown") +
                                       "). Check Apple Intelligence in System Settings.",
                                   "service_unavailable", "model_not_ready"));
    // The event-stream head goes out with the first frame, so a failure before any output still gets an
    // ordinary JSON error answer with its own status.
    const CompletionEngine::FrameSender send = [&responder](const std::string& frame) {
        if (!responder.responseStarted()) responder.beginSSE();
        responder.sendSSEFrame(frame);
    };
    try {
        if (decoded->stream.value_or(false))
            engine_.streamCompletion(*decoded, send);
        else
            responder.sendJSON(200, engine_.complete(*decoded));
    } catch (...) {
        if (!responder.responseStarted()) {
            const MappedError mapped = ErrorMapper::map(std::current_exception());
            return responder.sendJSON(static_cast<int>(mapped.status), mapped.bodyJSON());
        }
        try {
            ErrorMapper::sendErrorFrame(send, std::current_exception());
        } catch (...) {
            // The client is gone; there is no one left to tell.
        }
    }
}

} // namespace brindle
