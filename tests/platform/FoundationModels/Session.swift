// LanguageModelSession as the SDK declares it, over the scripted generation of Behaviour.swift.

import Foundation

public final class LanguageModelSession: @unchecked Sendable {
    let tools: [any Tool]
    private let lock = NSLock()
    private var entries: Transcript
    private var responding = false

    init(tools: [any Tool], entries: Transcript) {
        self.tools = tools
        self.entries = entries
    }

    public convenience init(model: SystemLanguageModel = .default, tools: [any Tool] = [], transcript: Transcript) {
        self.init(tools: tools, entries: transcript)
    }

    public convenience init(model: SystemLanguageModel = .default, tools: [any Tool] = [],
                            instructions: Instructions? = nil) {
        let entry = instructions.map { instructions in
            Transcript.Entry.instructions(Transcript.Instructions(
                segments: [.text(Transcript.TextSegment(content: instructions.text))],
                toolDefinitions: tools.map { Transcript.ToolDefinition(tool: $0) }))
        }
        self.init(tools: tools, entries: Transcript(entries: entry.map { [$0] } ?? []))
    }

    @_disfavoredOverload
    public convenience init(model: SystemLanguageModel = .default, tools: [any Tool] = [], instructions: String? = nil) {
        self.init(model: model, tools: tools, instructions: instructions.map { Instructions($0) })
    }

    public final var transcript: Transcript { lock.withLock { entries } }
    public final var isResponding: Bool { lock.withLock { responding } }

    // MARK: Whole answers

    @discardableResult
    public final func respond(to prompt: Prompt, options: GenerationOptions = GenerationOptions()) async throws
        -> LanguageModelSession.Response<String> {
        try await response(Generation(prompt: prompt.text, options: options, format: nil))
    }

    @discardableResult @_disfavoredOverload
    public final func respond(to prompt: String, options: GenerationOptions = GenerationOptions()) async throws
        -> LanguageModelSession.Response<String> {
        try await respond(to: Prompt(prompt), options: options)
    }

    @discardableResult
    public final func respond(to prompt: Prompt, schema: GenerationSchema, includeSchemaInPrompt: Bool = true,
                              options: GenerationOptions = GenerationOptions()) async throws
        -> LanguageModelSession.Response<GeneratedContent> {
        try await response(Generation(prompt: prompt.text, options: options, format: schema))
    }

    @discardableResult @_disfavoredOverload
    public final func respond(to prompt: String, schema: GenerationSchema, includeSchemaInPrompt: Bool = true,
                              options: GenerationOptions = GenerationOptions()) async throws
        -> LanguageModelSession.Response<GeneratedContent> {
        try await respond(to: Prompt(prompt), schema: schema, includeSchemaInPrompt: includeSchemaInPrompt,
                          options: options)
    }

    // MARK: Streams

    public final func streamResponse(to prompt: Prompt, options: GenerationOptions = GenerationOptions())
        -> sending LanguageModelSession.ResponseStream<String> {
        ResponseStream(session: self, generation: Generation(prompt: prompt.text, options: options, format: nil))
    }

    @_disfavoredOverload
    public final func streamResponse(to prompt: String, options: GenerationOptions = GenerationOptions())
        -> sending LanguageModelSession.ResponseStream<String> {
        streamResponse(to: Prompt(prompt), options: options)
    }

    public final func streamResponse(to prompt: Prompt, schema: GenerationSchema, includeSchemaInPrompt: Bool = true,
                                     options: GenerationOptions = GenerationOptions())
        -> sending LanguageModelSession.ResponseStream<GeneratedContent> {
        ResponseStream(session: self, generation: Generation(prompt: prompt.text, options: options, format: schema))
    }

    @_disfavoredOverload
    public final func streamResponse(to prompt: String, schema: GenerationSchema, includeSchemaInPrompt: Bool = true,
                                     options: GenerationOptions = GenerationOptions())
        -> sending LanguageModelSession.ResponseStream<GeneratedContent> {
        streamResponse(to: Prompt(prompt), schema: schema, includeSchemaInPrompt: includeSchemaInPrompt,
                       options: options)
    }

    // MARK: Plumbing for Behaviour.swift

    private func response<Content: Generable>(_ generation: Generation) async throws -> Response<Content> {
        let before = transcript.count
        let raw = try await generation.run(in: self, emit: { _ in })
        let after = transcript
        return Response(content: try Content(raw), rawContent: raw, transcriptEntries: ArraySlice(after.entries[before...]))
    }

    /// Marks the session busy for one generation; a second one at the same time is refused, as the
    /// framework refuses it.
    func begin() throws {
        try lock.withLock {
            if responding {
                throw GenerationError.concurrentRequests(.init(debugDescription: "The session is already responding."))
            }
            responding = true
        }
    }

    func end() { lock.withLock { responding = false } }

    func append(_ added: [Transcript.Entry]) { lock.withLock { entries.entries += added } }
}

extension LanguageModelSession {
    public struct Response<Content> where Content: Generable {
        public let content: Content
        public let rawContent: GeneratedContent
        public let transcriptEntries: ArraySlice<Transcript.Entry>
    }

    public struct ResponseStream<Content>: AsyncSequence where Content: Generable {
        public typealias Element = LanguageModelSession.ResponseStream<Content>.Snapshot

        public struct Snapshot {
            public var content: Content.PartiallyGenerated
            public var rawContent: GeneratedContent
        }

        public struct AsyncIterator: AsyncIteratorProtocol {
            var base: AsyncThrowingStream<GeneratedContent, any Error>.Iterator

            /// Swift 6.0's AsyncIteratorProtocol requires it; the SDK's iterator gets it from the standard library.
            public mutating func next() async throws -> Snapshot? { try await next(isolation: nil) }

            public mutating func next(isolation actor: isolated (any Actor)? = #isolation) async throws -> Snapshot? {
                guard let raw = try await base.next(isolation: actor) else { return nil }
                return Snapshot(content: try Content.PartiallyGenerated(raw), rawContent: raw)
            }
        }

        private let snapshots: AsyncThrowingStream<GeneratedContent, any Error>

        /// The generation starts at once and runs on its own task; it is cancelled when the stream is let go.
        init(session: LanguageModelSession, generation: Generation) {
            let (snapshots, continuation) = AsyncThrowingStream<GeneratedContent, any Error>.makeStream()
            let task = Task.detached {
                do {
                    _ = try await generation.run(in: session, emit: { continuation.yield($0) })
                    continuation.finish()
                } catch {
                    continuation.finish(throwing: error)
                }
            }
            continuation.onTermination = { _ in task.cancel() }
            self.snapshots = snapshots
        }

        public func makeAsyncIterator() -> AsyncIterator { AsyncIterator(base: snapshots.makeAsyncIterator()) }

        public func collect() async throws -> sending LanguageModelSession.Response<Content> {
            var last: GeneratedContent?
            for try await snapshot in self { last = snapshot.rawContent }
            let raw = last ?? GeneratedContent(kind: .string(""))
            return Response(content: try Content(raw), rawContent: raw, transcriptEntries: [])
        }
    }

    public enum GenerationError: Error, LocalizedError {
        public struct Context: Sendable {
            public let debugDescription: String
            public init(debugDescription: String) { self.debugDescription = debugDescription }
        }

        public struct Refusal: Sendable {
            public init(transcriptEntries: [Transcript.Entry]) {}
        }

        case exceededContextWindowSize(LanguageModelSession.GenerationError.Context)
        case assetsUnavailable(LanguageModelSession.GenerationError.Context)
        case guardrailViolation(LanguageModelSession.GenerationError.Context)
        case unsupportedGuide(LanguageModelSession.GenerationError.Context)
        case unsupportedLanguageOrLocale(LanguageModelSession.GenerationError.Context)
        case decodingFailure(LanguageModelSession.GenerationError.Context)
        case rateLimited(LanguageModelSession.GenerationError.Context)
        case concurrentRequests(LanguageModelSession.GenerationError.Context)
        case refusal(LanguageModelSession.GenerationError.Refusal, LanguageModelSession.GenerationError.Context)

        public var errorDescription: String? {
            switch self {
            case .exceededContextWindowSize(let context), .assetsUnavailable(let context),
                 .guardrailViolation(let context), .unsupportedGuide(let context),
                 .unsupportedLanguageOrLocale(let context), .decodingFailure(let context), .rateLimited(let context),
                 .concurrentRequests(let context), .refusal(_, let context):
                return context.debugDescription
            }
        }
        public var failureReason: String? { nil }
        public var recoverySuggestion: String? { nil }
    }

    public struct ToolCallError: Error, LocalizedError {
        public var tool: any Tool
        public var underlyingError: any Error

        public init(tool: any Tool, underlyingError: any Error) {
            self.tool = tool
            self.underlyingError = underlyingError
        }

        public var errorDescription: String? {
            "The tool \(tool.name) failed: \(underlyingError.localizedDescription)"
        }
    }
}
