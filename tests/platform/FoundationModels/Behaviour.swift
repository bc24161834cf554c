// What the stand-in does behind the declarations: a scripted model that takes the roads a real one takes.
//
// The script is the prompt itself, so a test drives the model through the server exactly as a client would.
// A prompt may hold, anywhere in it:
//   "call NAME with JSON"        calls the session's tool NAME with the JSON text (to the end of the prompt) as
//                                its arguments, on a task of its own; a tool that throws ends the generation
//                                with ToolCallError, and the turn (prompt and tool calls) stays in the transcript
//   "secretly call NAME with JSON"  the same, but a turn the tool ended leaves no trace in the transcript
//   "fail with CASE"             throws that GenerationError case before any output
//   "after N words fail with CASE"  streams N words first
//   "answer with TEXT"           answers TEXT (to the end of the prompt)
//   "count slowly to N"          answers "1 2 ... N", one word every 20 ms, and stops when cancelled
//   "how many generations are running"  answers how many other generations run in this process right now
//   "which options"              answers the temperature and the maximum response tokens it was given
// Otherwise it answers from the transcript: after a tool's output "NAME said: OUTPUT", else "You said: PROMPT".
// Each snapshot adds one word; maximumResponseTokens keeps that many words.
//
// Availability comes from FOUNDATIONMODELS_STANDIN_AVAILABILITY (available when unset), read on every call.

import Foundation

enum Behaviour {
    static func availability() -> SystemLanguageModel.Availability {
        switch ProcessInfo.processInfo.environment["FOUNDATIONMODELS_STANDIN_AVAILABILITY"] ?? "available" {
        case "deviceNotEligible": return .unavailable(.deviceNotEligible)
        case "appleIntelligenceNotEnabled": return .unavailable(.appleIntelligenceNotEnabled)
        case "modelNotReady": return .unavailable(.modelNotReady)
        default: return .available
        }
    }

    static let running = RunningCount()
}

final class RunningCount: @unchecked Sendable {
    private let lock = NSLock()
    private var count = 0
    func enter() -> Int { lock.withLock { count += 1; return count } }
    func leave() { lock.withLock { count -= 1 } }
    var now: Int { lock.withLock { count } }
}

private struct StandInToolOutput: Error {}

/// One generation: its prompt, options and, for guided generation, the schema of the answer.
struct Generation: Sendable {
    let prompt: String
    let options: GenerationOptions
    let format: GenerationSchema?

    /// Runs the turn, handing each snapshot to emit, and returns the whole answer.
    func run(in session: LanguageModelSession, emit: @Sendable (GeneratedContent) -> Void) async throws
        -> GeneratedContent {
        try session.begin()
        defer { session.end() }
        _ = Behaviour.running.enter()
        defer { Behaviour.running.leave() }

        let promptEntry = Transcript.Entry.prompt(Transcript.Prompt(
            segments: [.text(Transcript.TextSegment(content: prompt))], options: options,
            responseFormat: format.map { Transcript.ResponseFormat(schema: $0) }))
        var turn = [promptEntry]

        if let call = directive("call ", until: " with "), let tool = session.tools.first(where: { $0.name == call }) {
            let json = directive(" with ") ?? "{}"
            let arguments = (try? GeneratedContent(json: json)) ?? GeneratedContent(kind: .string(json))
            let toolCall = Transcript.ToolCall(id: "fm-" + UUID().uuidString, toolName: tool.name, arguments: arguments)
            turn.append(.toolCalls(Transcript.ToolCalls([toolCall])))
            // Whether the framework keeps a turn that a tool ended is not documented: "secretly call" leaves it out.
            if !prompt.contains("secretly call ") { session.append(turn) }
            let output: String
            do {
                output = try await Task.detached { try await invoke(tool, with: arguments) }.value
            } catch {
                throw LanguageModelSession.ToolCallError(tool: tool, underlyingError: error)
            }
            turn = [.toolOutput(Transcript.ToolOutput(id: "fm-" + UUID().uuidString, toolName: tool.name,
                                                      segments: [.text(Transcript.TextSegment(content: output))]))]
            return try await answer("\(tool.name) said: \(output)", session: session, turn: turn, emit: emit)
        }
        return try await answer(scriptedAnswer(session.transcript), session: session, turn: turn, emit: emit)
    }

    private func scriptedAnswer(_ transcript: Transcript) -> String {
        if let text = directive("answer with ") { return text }
        if let limit = directive("count slowly to ").flatMap({ Int(String($0.prefix(while: \.isNumber))) }) {
            return (1...max(limit, 1)).map(String.init).joined(separator: " ")
        }
        if prompt.contains("how many generations are running") {
            return "\(Behaviour.running.now - 1) other generations are running."
        }
        if prompt.contains("which options") {
            let temperature = options.temperature.map { "\($0)" } ?? "default"
            let tokens = options.maximumResponseTokens.map { "\($0)" } ?? "default"
            return "temperature \(temperature), maximum response tokens \(tokens)"
        }
        if case .toolOutput(let output)? = transcript.last {
            return "\(output.toolName) said: " + output.segments.map(text).joined()
        }
        return "You said: \(prompt)"
    }

    /// Streams the answer word by word, failing where the script says, and records the turn when it ends.
    private func answer(_ text: String, session: LanguageModelSession, turn: [Transcript.Entry],
                        emit: @Sendable (GeneratedContent) -> Void) async throws -> GeneratedContent {
        var words = text.split(separator: " ", omittingEmptySubsequences: false).map(String.init)
        if let limit = options.maximumResponseTokens { words = Array(words.prefix(max(limit, 0))) }
        let failure = scriptedFailure()
        let slow = prompt.contains("count slowly")
        var sofar = ""
        for (index, word) in words.enumerated() {
            if let failure, failure.afterWords == index { throw failure.error }
            if slow { try await Task.sleep(nanoseconds: 20_000_000) }
            try Task.checkCancellation()
            sofar += (index == 0 ? "" : " ") + word
            emit(content(sofar))
        }
        if let failure { throw failure.error }
        let whole = content(sofar)
        session.append(turn + [.response(Transcript.Response(
            assetIDs: [], segments: [.text(Transcript.TextSegment(content: sofar))]))])
        return whole
    }

    private func content(_ text: String) -> GeneratedContent {
        guard format != nil, let structured = try? GeneratedContent(json: text) else {
            return GeneratedContent(kind: .string(text))
        }
        return structured
    }

    private func scriptedFailure() -> (afterWords: Int, error: LanguageModelSession.GenerationError)? {
        guard let name = directive("fail with ", until: " ") ?? directive("fail with ") else { return nil }
        let context = LanguageModelSession.GenerationError.Context(debugDescription: "The stand-in failed with \(name).")
        let error: LanguageModelSession.GenerationError
        switch name {
        case "exceededContextWindowSize": error = .exceededContextWindowSize(context)
        case "assetsUnavailable": error = .assetsUnavailable(context)
        case "guardrailViolation": error = .guardrailViolation(context)
        case "unsupportedGuide": error = .unsupportedGuide(context)
        case "unsupportedLanguageOrLocale": error = .unsupportedLanguageOrLocale(context)
        case "rateLimited": error = .rateLimited(context)
        case "concurrentRequests": error = .concurrentRequests(context)
        case "refusal": error = .refusal(.init(transcriptEntries: []), context)
        default: error = .decodingFailure(context)
        }
        let words = directive("after ", until: " words").flatMap { Int($0) } ?? 0
        return (words, error)
    }

    /// The text after the marker, up to the terminator or else the end of the prompt.
    private func directive(_ marker: String, until terminator: String? = nil) -> String? {
        guard let start = prompt.range(of: marker)?.upperBound else { return nil }
        guard let terminator else { return String(prompt[start...]) }
        guard let end = prompt[start...].range(of: terminator)?.lowerBound else { return nil }
        return String(prompt[start..<end])
    }
}

private func text(_ segment: Transcript.Segment) -> String {
    switch segment {
    case .text(let text): return text.content
    case .structure(let structure): return structure.content.jsonString
    }
}

/// The tool's own types, opened from the existential.
private func invoke<T: Tool>(_ tool: T, with arguments: GeneratedContent) async throws -> String {
    let output = try await tool.call(arguments: try T.Arguments(arguments))
    return output.promptRepresentation.text
}
