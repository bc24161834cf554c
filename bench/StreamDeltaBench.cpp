#include "BrindleBase/JSONValue.h"
#include "BrindleKit/CompletionEngine.h"
#include "BrindleModel/LanguageModel.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <benchmark/benchmark.h>

namespace brindle {
namespace {

// A model whose every session streams one fixed answer word by word, each snapshot the whole text so far,
// as the platform's model does. Kept here so the benchmarks do not depend on the test tree.
class GrowingAnswerModel final : public model::SystemLanguageModel {
public:
    explicit GrowingAnswerModel(std::string answer) : answer_(std::move(answer)) {
        for (std::size_t i = 0; i < answer_.size();) {
            i = std::min(answer_.find(' ', i + 1), answer_.size());
            wordEnds_.push_back(i);
        }
    }
    std::size_t snapshots() const { return wordEnds_.size(); }

    Availability availability() const override { return {}; }
    std::shared_ptr<model::LanguageModelSession> makeSession(std::vector<std::shared_ptr<model::Tool>>,
                                                             model::Transcript) const override {
        return std::make_shared<Session>(*this);
    }

private:
    class Stream final : public model::ResponseStream {
    public:
        explicit Stream(const GrowingAnswerModel& model) : model_(model) {}
        std::optional<model::Snapshot> next() override {
            if (next_ == model_.wordEnds_.size()) return std::nullopt;
            return model::Snapshot{model_.answer_.substr(0, model_.wordEnds_[next_++])};
        }
        std::vector<model::Transcript::ToolCall> toolCalls() const override { return {}; }

    private:
        const GrowingAnswerModel& model_;
        std::size_t next_ = 0;
    };
    class Session final : public model::LanguageModelSession {
    public:
        explicit Session(const GrowingAnswerModel& model) : model_(model) {}
        model::Response respond(const std::string&, const model::GenerationOptions&) override {
            return {model_.answer_, {}};
        }
        std::unique_ptr<model::ResponseStream> streamResponse(const std::string&,
                                                              const model::GenerationOptions&) override {
            return std::make_unique<Stream>(model_);
        }
        model::GeneratedResponse respond(const std::string&, const model::GenerationSchema&, bool,
                                         const model::GenerationOptions&) override {
            return {model::GeneratedContent(model_.answer_), {}};
        }
        std::unique_ptr<model::ResponseStream> streamResponse(const std::string&, const model::GenerationSchema&, bool,
                                                              const model::GenerationOptions&) override {
            return std::make_unique<Stream>(model_);
        }
        model::Transcript transcript() const override { return {}; }

    private:
        const GrowingAnswerModel& model_;
    };

    std::string answer_;
    std::vector<std::size_t> wordEnds_;
};

constexpr std::string_view kProseWords[] = {"The",      "committee", "reviewed", "the",     "quarterly",
                                            "figures,", "and",       "found",    "nothing", "amiss."};
// Precomposed and combining accents, CJK, a skin-tone emoji and a family sequence: clusters of many bytes.
constexpr std::string_view kMixedWords[] = {"Caf\u00e9",
                                            "cafe\u0301",
                                            "na\u00efve",
                                            "\u6f22\u5b57\u3067\u3059",
                                            "\U0001F44D\U0001F3FD",
                                            "\U0001F468\u200D\U0001F469\u200D\U0001F467",
                                            "\uD55C\uAD6D\uC5B4",
                                            "\u0928\u092E\u0938\u094D\u0924\u0947"};

template <std::size_t N> std::string answerOf(const std::string_view (&words)[N], std::size_t count) {
    std::string answer;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) answer += ' ';
        answer += words[i % N];
    }
    return answer;
}

// Streams the whole answer through the engine per iteration; a flat time per snapshot as the answer grows
// shows that cutting each delta costs the new text, not the whole text again.
void streamAnswer(benchmark::State& state, std::string answer) {
    const auto model = std::make_shared<GrowingAnswerModel>(std::move(answer));
    const CompletionEngine engine(model);
    const auto request = JSONCoding::decoder().decode<ChatCompletionRequest>(
        R"({"model":"brindle-core","stream":true,"messages":[{"role":"user","content":"Go on."}]})");
    std::size_t bytes = 0;
    const CompletionEngine::FrameSender send = [&bytes](const std::string& frame) { bytes += frame.size(); };
    for (auto _ : state) engine.streamCompletion(request, send);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * model->snapshots()));
    state.counters["frame_bytes"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kAvgIterations);
}

void streamProseAnswer(benchmark::State& state) {
    streamAnswer(state, answerOf(kProseWords, static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(streamProseAnswer)->Arg(50)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

void streamMixedScriptAnswer(benchmark::State& state) {
    streamAnswer(state, answerOf(kMixedWords, static_cast<std::size_t>(state.range(0))));
}
BENCHMARK(streamMixedScriptAnswer)->Arg(50)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace brindle
