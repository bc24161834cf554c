// The router behind a real server on 127.0.0.1, with scripted models: every answer compared byte for byte.

#include "BrindleKit/Router.h"
#include "support/LoopbackClient.h"
#include "support/ScriptedModel.h"
#include "support/WireAnswers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace brindle {
namespace {

using testing::Script;
using testing::ScriptedModel;
using testing::LoopbackClient;
using Case = model::GenerationError::Case;
using Reason = model::SystemLanguageModel::UnavailableReason;

// Requests inside the router right now. A test waits for them to finish, so that the process does not exit
// (and destroy what they use) while a connection thread is still answering a client that left.
class InFlight {
public:
    void enter() {
        const std::lock_guard guard(lock_);
        ++count_;
    }
    void leave() {
        const std::lock_guard guard(lock_);
        if (--count_ == 0) idle_.notify_all();
    }
    bool waitUntilIdle() {
        std::unique_lock guard(lock_);
        return idle_.wait_for(guard, std::chrono::seconds(5), [this] { return count_ == 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable idle_;
    int count_ = 0;
};

// A server on an ephemeral port whose router answers from the given model. A server cannot be stopped:
// its accept thread and connection threads outlive the test, so the server and its router are never freed.
class RoutedServer {
public:
    explicit RoutedServer(std::shared_ptr<ScriptedModel> model, std::string modelID = "brindle-core")
        : model(std::move(model)), router_(new Router(std::move(modelID), this->model)),
          inFlight_(std::make_shared<InFlight>()),
          server_(new HTTPServer(0, [router = router_, inFlight = inFlight_](const HTTPRequest& request,
                                                                              HTTPResponder& responder) {
              inFlight->enter();
              router->handle(request, responder);
              inFlight->leave();
          })) {
        server_->start();
    }
    ~RoutedServer() { EXPECT_TRUE(inFlight_->waitUntilIdle()) << "a request was still being answered"; }
    RoutedServer(const RoutedServer&) = delete;
    RoutedServer& operator=(const RoutedServer&) = delete;

    std::uint16_t port() const { return server_->port(); }
    std::shared_ptr<ScriptedModel> model;

private:
    const Router* router_;
    std::shared_ptr<InFlight> inFlight_;
    HTTPServer* server_;
};

using testing::jsonAnswer;
using testing::kSSEHead;
using testing::masked;
using testing::post;

std::string exchange(std::uint16_t port, const std::string& request) {
    LoopbackClient client(port);
    client.sendAll(request);
    return client.readHTTPResponse();
}

const std::string kHi = R"({"model":"m","messages":[{"role":"user","content":"Hi"}])";

TEST(Router, AnswersTheFixedRoutesExactly) {
    RoutedServer server(std::make_shared<ScriptedModel>(), "say \"hi\"");
    const struct {
        const char* request;
        std::string answer;
    } cases[] = {
        {"GET /health HTTP/1.1\r\n\r\n", jsonAnswer(200, "OK", R"({"status":"ok"})")},
        {"GET /availability HTTP/1.1\r\n\r\n", jsonAnswer(200, "OK", R"({"available":true})")},
        {"GET /v1/models HTTP/1.1\r\n\r\n",
         jsonAnswer(200, "OK",
                    R"({"object":"list","data":[{"id":"say \"hi\"","object":"model","owned_by":"apple"}]})")},
        {"OPTIONS /anything?x=1 HTTP/1.1\r\n\r\n",
         "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
         "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
         "Access-Control-Allow-Headers: Content-Type, Authorization\r\n"
         "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\nConnection: keep-alive\r\n\r\n"},
        {"GET /health?x=1 HTTP/1.1\r\n\r\n",
         jsonAnswer(404, "Not Found", R"({"error":{"message":"no route for GET /health?x=1","type":"api_error"}})")},
        {"POST /health HTTP/1.1\r\n\r\n",
         jsonAnswer(404, "Not Found", R"({"error":{"message":"no route for POST /health","type":"api_error"}})")},
        {"get /health HTTP/1.1\r\n\r\n",
         jsonAnswer(404, "Not Found", R"({"error":{"message":"no route for get /health","type":"api_error"}})")},
        {"GET /v1/chat/completions HTTP/1.1\r\n\r\n",
         jsonAnswer(404, "Not Found",
                    R"({"error":{"message":"no route for GET /v1/chat/completions","type":"api_error"}})")},
    };
    for (const auto& c : cases) EXPECT_EQ(exchange(server.port(), c.request), c.answer) << c.request;
}

TEST(Router, RefusesWorkWhenTheModelIsUnavailable) {
    const struct {
        std::optional<Reason> reason;
        std::string text;
    } cases[] = {{Reason::deviceNotEligible, "deviceNotEligible"},
                 {Reason::appleIntelligenceNotEnabled, "appleIntelligenceNotEnabled"},
                 {Reason::modelNotReady, "modelNotReady"},
                 {Reason::other, "unknown"}};
    for (const auto& c : cases) {
        RoutedServer server(std::make_shared<ScriptedModel>(Script{.snapshots = {"never"}}));
        server.model->setAvailability({c.reason});
        EXPECT_EQ(exchange(server.port(), "GET /availability HTTP/1.1\r\n\r\n"),
                  jsonAnswer(200, "OK", R"({"available":false,"reason":")" + c.text + "\"}"));
        const std::string refusal =
            jsonAnswer(503, "Service Unavailable",
                       R"({"error":{"message":"The on-device model is unavailable ()" + c.text +
                           R"(). Check Apple Intelligence in System Settings.","type":"service_unavailable",)"
                           R"("code":"model_not_ready"}})");
        EXPECT_EQ(exchange(server.port(), post(kHi + "}")), refusal) << c.text;
        EXPECT_EQ(exchange(server.port(), post(kHi + R"(,"stream":true})")), refusal) << c.text;
        EXPECT_TRUE(server.model->sessions().empty());
    }
}

TEST(Router, MapsEveryFailureBeforeTheFirstByte) {
    const std::string context = "This model's maximum context length has been exceeded by the request.";
    const struct {
        const char* name;
        Script script;
        std::string body;
        int status;
        std::string phrase, errorBody;
    } cases[] = {
        {"empty body", {}, "", 400, "Bad Request", ""},
        {"not JSON", {}, "{oops", 400, "Bad Request", ""},
        {"null messages", {}, R"({"model":"m","messages":null})", 400, "Bad Request",
         R"({"error":{"message":"invalid request body: expected an array at messages but found null",)"
         R"("type":"invalid_request_error"}})"},
        {"a number beyond a double", {}, kHi + R"(,"seed":1e999,"temperature":-2e308})", 400, "Bad Request",
         R"({"error":{"message":"invalid request body: Unsupported JSON value at temperature",)"
         R"("type":"invalid_request_error"}})"},
        {"empty messages", {}, R"({"model":"m","messages":[]})", 400, "Bad Request",
         R"({"error":{"message":"messages array is empty","type":"invalid_request_error"}})"},
        {"image only", {}, R"({"model":"m","messages":[{"role":"user","content":[{"type":"image_url"}]}]})", 400,
         "Bad Request",
         R"x({"error":{"message":"user message contains unsupported content parts (images are not supported by the )x"
         R"x(on-device model)","type":"invalid_request_error"}})x"},
        {"context window", {.error = testing::generationError(Case::exceededContextWindowSize)}, kHi + "}", 400,
         "Bad Request",
         R"({"error":{"message":")" + context + R"(","type":"invalid_request_error","code":"context_length_exceeded"}})"},
        {"assets", {.error = testing::generationError(Case::assetsUnavailable)}, kHi + "}", 503, "Service Unavailable",
         R"({"error":{"message":"The on-device model is not ready. Check Apple Intelligence in System Settings.",)"
         R"("type":"service_unavailable","code":"model_not_ready"}})"},
        {"guardrail", {.error = testing::generationError(Case::guardrailViolation)}, kHi + "}", 400, "Bad Request",
         R"({"error":{"message":"The on-device model declined this request (Apple Intelligence safety guardrails).",)"
         R"("type":"invalid_request_error","code":"content_filter"}})"},
        {"rate limited", {.error = testing::generationError(Case::rateLimited)}, kHi + "}", 429, "Too Many Requests",
         R"({"error":{"message":"The on-device model is rate limited. Retry shortly.","type":"rate_limit_error"}})"},
        {"other generation error", {.error = testing::generationError(Case::decodingFailure)}, kHi + "}", 500,
         "Internal Server Error", R"({"error":{"message":"GenerationError.decodingFailure","type":"api_error"}})"},
        {"failed tool", {.error = std::make_exception_ptr(model::ToolCallError("f", std::make_exception_ptr(
                             std::runtime_error("boom"))))}, kHi + "}", 500, "Internal Server Error",
         R"x({"error":{"message":"Tool call failed: ToolCallError(tool: f, underlyingError: boom)",)x"
         R"x("type":"api_error"}})x"},
        {"any other error", {.error = std::make_exception_ptr(std::runtime_error("boom"))}, kHi + "}", 500,
         "Internal Server Error", R"({"error":{"message":"boom","type":"api_error"}})"},
    };
    for (const bool streamed : {false, true}) {
        for (const auto& c : cases) {
            RoutedServer server(std::make_shared<ScriptedModel>(c.script));
            std::string body = c.body;
            if (streamed && body.size() > 1 && body.back() == '}') body.insert(body.size() - 1, R"(,"stream":true)");
            LoopbackClient client(server.port());
            client.sendAll(post(body));
            const std::string answer = client.readHTTPResponse();
            EXPECT_EQ(answer.substr(0, answer.find("\r\n")),
                      "HTTP/1.1 " + std::to_string(c.status) + " " + c.phrase)
                << c.name << (streamed ? " (streamed)" : "");
            if (c.errorBody.empty())
                EXPECT_NE(answer.find(R"({"error":{"message":"invalid request body: )"), std::string::npos) << c.name;
            else EXPECT_EQ(answer, jsonAnswer(c.status, c.phrase, c.errorBody)) << c.name;
            // No stream began, so the connection stays open for the next request.
            client.sendAll("GET /health HTTP/1.1\r\n\r\n");
            EXPECT_EQ(client.readHTTPResponse(), jsonAnswer(200, "OK", R"({"status":"ok"})")) << c.name;
        }
    }
}

TEST(Router, StreamsThenClosesTheConnection) {
    RoutedServer server(std::make_shared<ScriptedModel>(Script{.snapshots = {"Hel", "Hello"}}));
    LoopbackClient client(server.port());
    // The request pipelined behind the stream is never answered: a stream ends with the connection.
    client.sendAll(post(kHi + R"(,"stream":true})") + "GET /health HTTP/1.1\r\n\r\n");
    const std::string chunk = R"(data: {"id":"chatcmpl-X","object":"chat.completion.chunk","created":0,"model":"m",)";
    EXPECT_EQ(masked(client.readUntilClose()),
              kSSEHead + chunk + R"("choices":[{"index":0,"delta":{"role":"assistant","content":"Hel"}}]})" + "\n\n" +
                  chunk + R"("choices":[{"index":0,"delta":{"content":"lo"}}]})" + "\n\n" + chunk +
                  R"("choices":[{"index":0,"delta":{},"finish_reason":"stop"}]})" + "\n\ndata: [DONE]\n\n");
}

TEST(Router, EndsAStreamThatFailsMidwayWithOneErrorEvent) {
    RoutedServer server(std::make_shared<ScriptedModel>(
        Script{.snapshots = {"Hel"}, .error = std::make_exception_ptr(std::runtime_error("boom"))}));
    LoopbackClient client(server.port());
    client.sendAll(post(kHi + R"(,"stream":true})"));
    const std::string all = client.readUntilClose();
    EXPECT_EQ(all.substr(0, kSSEHead.size()), kSSEHead);
    const std::string tail = "data: {\"error\":{\"message\":\"boom\",\"type\":\"api_error\"}}\n\n";
    ASSERT_GE(all.size(), tail.size());
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail);
    EXPECT_EQ(all.find("[DONE]"), std::string::npos);
}

TEST(Router, StopsGeneratingWhenTheClientVanishes) {
    std::vector<std::string> snapshots;
    std::string text;
    for (int i = 0; i < 2000; ++i) snapshots.push_back(text += "w ");
    // The second pull waits until the client has gone, so the frames cannot all fit in the socket buffers first.
    auto gone = std::make_shared<std::atomic<bool>>(false);
    Script script{.snapshots = snapshots, .onNext = [gone](std::size_t pulled) {
                      for (int waited = 0; pulled == 2 && !*gone && waited < 5000; ++waited)
                          std::this_thread::sleep_for(std::chrono::milliseconds(1));
                  }};
    RoutedServer server(std::make_shared<ScriptedModel>(script));
    {
        LoopbackClient client(server.port());
        client.sendAll(post(kHi + R"(,"stream":true})"));
        client.readExactly(kSSEHead.size());
    } // the client closes with the answer unread
    *gone = true;
    ASSERT_TRUE(server.model->waitForLiveSessions(0)) << "the session is released";
    EXPECT_LT(server.model->sessions().at(0).snapshotsPulled, 10u);
    EXPECT_EQ(exchange(server.port(), "GET /health HTTP/1.1\r\n\r\n"), jsonAnswer(200, "OK", R"({"status":"ok"})"));
}

} // namespace
} // namespace brindle
