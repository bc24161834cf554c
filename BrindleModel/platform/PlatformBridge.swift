// The Swift half of the C interface in PlatformBridge.h. It turns each C call into the platform framework's
// call and each outcome into a status, and decides nothing the server relies on: the session description,
// the errors' meaning and the transcript the engine reads are all worked out on the C++ side.
//
// Threads. The blocking entry points are called on threads the C++ host owns. Each starts a detached task
// and waits for it with a semaphore on that host thread; nothing here waits inside a task, inside a tool,
// or on the main actor, so the framework's own threads are never parked.

import BrindlePlatformBridge
import Foundation
import FoundationModels

// MARK: - Text across the boundary

/// Borrowed UTF-8 bytes from the host; they may hold U+0000, so the length is what counts.
private func borrowedString(_ bytes: UnsafePointer<CChar>?, _ length: Int) -> String {
    guard let bytes, length > 0 else { return "" }
    return String(decoding: UnsafeRawBufferPointer(start: bytes, count: length), as: UTF8.self)
}

/// A malloc'd, NUL-terminated copy that the host frees with bpm_free_text.
private func ownedText(_ string: String) -> bpm_text {
    let utf8 = Array(string.utf8)
    guard !utf8.isEmpty, let bytes = malloc(utf8.count + 1)?.assumingMemoryBound(to: CChar.self) else {
        return bpm_text(bytes: nil, length: 0)
    }
    utf8.withUnsafeBytes { source in _ = memcpy(bytes, source.baseAddress!, utf8.count) }
    bytes[utf8.count] = 0
    return bpm_text(bytes: bytes, length: utf8.count)
}

@_cdecl("bpm_free_text")
public func bridgeFreeText(_ bytes: UnsafeMutablePointer<CChar>?) {
    free(bytes)
}

// MARK: - Outcomes

/// What one call hands back: a status and, depending on it, a text and a tool name.
private struct Outcome {
    var status: bpm_status
    var text = ""
    var toolName = ""
}

private func deliver(_ outcome: Outcome, to reply: UnsafeMutablePointer<bpm_reply>?) -> bpm_status {
    reply?.pointee = bpm_reply(text: ownedText(outcome.text), tool_name: ownedText(outcome.toolName))
    return outcome.status
}

/// Thrown by a proxy once the host has captured the call.
private struct CapturedToolCall: Error {}

/// Thrown by a proxy when the host's tool failed in another way.
private struct HostToolFailed: Error, CustomStringConvertible {
    let toolName: String
    var description: String { "The tool \(toolName) failed in the host." }
}

/// A session description the bridge cannot read; the host wrote something this bridge does not know.
private struct InvalidDescription: Error, CustomStringConvertible {
    let description: String
}

/// The error's own description: the framework's errors describe themselves through LocalizedError.
private func describe(_ error: any Error) -> String {
    if let localized = error as? any LocalizedError, let description = localized.errorDescription { return description }
    return String(describing: error)
}

/// Every Swift error becomes a status here; none crosses the boundary.
private func outcome(for error: any Error) -> Outcome {
    if error is CapturedToolCall { return Outcome(status: BPM_ERROR_CAPTURED_TOOL_CALL) }
    if let toolError = error as? LanguageModelSession.ToolCallError {
        if toolError.underlyingError is CapturedToolCall {
            return Outcome(status: BPM_ERROR_CAPTURED_TOOL_CALL, toolName: toolError.tool.name)
        }
        return Outcome(status: BPM_ERROR_TOOL_CALL, text: describe(toolError), toolName: toolError.tool.name)
    }
    if let generationError = error as? LanguageModelSession.GenerationError {
        return Outcome(status: status(of: generationError), text: describe(generationError))
    }
    if error is GenerationSchema.SchemaError {
        return Outcome(status: BPM_ERROR_SCHEMA, text: describe(error))
    }
    return Outcome(status: BPM_ERROR_OTHER, text: describe(error))
}

private func status(of error: LanguageModelSession.GenerationError) -> bpm_status {
    switch error {
    case .exceededContextWindowSize: return BPM_ERROR_CONTEXT_WINDOW
    case .assetsUnavailable: return BPM_ERROR_ASSETS_UNAVAILABLE
    case .guardrailViolation: return BPM_ERROR_GUARDRAIL
    case .rateLimited: return BPM_ERROR_RATE_LIMITED
    case .unsupportedGuide: return BPM_ERROR_UNSUPPORTED_GUIDE
    case .unsupportedLanguageOrLocale: return BPM_ERROR_UNSUPPORTED_LANGUAGE
    case .decodingFailure: return BPM_ERROR_DECODING_FAILURE
    case .concurrentRequests: return BPM_ERROR_CONCURRENT_REQUESTS
    case .refusal: return BPM_ERROR_REFUSAL
    @unknown default: return BPM_ERROR_GENERATION_OTHER
    }
}

// MARK: - Waiting on a host thread

private final class ResultSlot<Value>: @unchecked Sendable {
    var value: Value?
}

/// Runs the work in a detached task and blocks the calling host thread until it has finished. Never call
/// this from a task or from a tool: only host threads may wait.
private func waitOnHostThread<Value>(_ work: @escaping @Sendable () async -> Value) -> Value {
    let slot = ResultSlot<Value>()
    let done = DispatchSemaphore(value: 0)
    Task.detached(priority: .userInitiated) {
        slot.value = await work()
        done.signal()
    }
    done.wait()
    return slot.value!
}

// MARK: - Tools

/// The host's tool hook with its context. The context belongs to the host, which frees it when the last
/// proxy lets go of this object (in deinit), so a late tool call never reaches freed memory.
private final class HostTools: @unchecked Sendable {
    private let context: UnsafeMutableRawPointer?
    private let hook: bpm_tool_hook?
    private let release: bpm_context_release?

    init(context: UnsafeMutableRawPointer?, hook: bpm_tool_hook?, release: bpm_context_release?) {
        self.context = context
        self.hook = hook
        self.release = release
    }

    deinit { release?(context) }

    /// Runs on the framework's thread and returns at once: the host records the call and never waits.
    func call(name: String, arguments: String) -> bpm_status {
        guard let hook else { return BPM_ERROR_TOOL_CALL }
        let nameBytes = name.utf8CString, argumentBytes = arguments.utf8CString
        return nameBytes.withUnsafeBufferPointer { namePointer in
            argumentBytes.withUnsafeBufferPointer { argumentPointer in
                hook(context, namePointer.baseAddress, namePointer.count - 1, argumentPointer.baseAddress,
                     argumentPointer.count - 1)
            }
        }
    }
}

/// A client's tool as the model sees it: calling it hands the call to the host and ends the generation.
private struct ProxyTool: Tool {
    typealias Arguments = GeneratedContent
    typealias Output = String

    let name: String
    let description: String
    let parameters: GenerationSchema
    let host: HostTools

    func call(arguments: GeneratedContent) async throws -> String {
        if host.call(name: name, arguments: arguments.jsonString) == BPM_ERROR_CAPTURED_TOOL_CALL {
            throw CapturedToolCall()
        }
        throw HostToolFailed(toolName: name)
    }
}

// MARK: - The session description (written by the C++ side; see PlatformModel.cpp)

private struct SessionDescription: Decodable {
    let tools: [ToolNode]
    let entries: [EntryNode]
}

private struct ToolNode: Decodable {
    let name: String
    let description: String
    let parameters: SchemaNode
}

/// A class, because the tree is recursive.
private final class SchemaNode: Decodable {
    let type: String
    let name: String?
    let description: String?
    let properties: [PropertyNode]?
    let choices: [String]?
    let items: SchemaNode?
    let minimumElements: Int?
    let maximumElements: Int?
}

private struct PropertyNode: Decodable {
    let name: String
    let description: String?
    let isOptional: Bool
    let schema: SchemaNode
}

private struct SegmentNode: Decodable {
    let id: String
    let content: String
}

private struct OptionsNode: Decodable {
    let temperature: Double?
    let maximumResponseTokens: Int?
}

private struct CallNode: Decodable {
    let id: String
    let toolName: String
    let arguments: String
}

private struct EntryNode: Decodable {
    let kind: String
    let id: String
    let segments: [SegmentNode]?
    let toolDefinitions: [ToolNode]?
    let options: OptionsNode?
    let assetIDs: [String]?
    let calls: [CallNode]?
    let toolName: String?
}

private func dynamicSchema(_ node: SchemaNode) throws -> DynamicGenerationSchema {
    switch node.type {
    case "string": return DynamicGenerationSchema(type: String.self)
    case "integer": return DynamicGenerationSchema(type: Int.self)
    case "number": return DynamicGenerationSchema(type: Double.self)
    case "boolean": return DynamicGenerationSchema(type: Bool.self)
    case "object":
        let properties = try (node.properties ?? []).map { property in
            DynamicGenerationSchema.Property(name: property.name, description: property.description,
                                             schema: try dynamicSchema(property.schema),
                                             isOptional: property.isOptional)
        }
        return DynamicGenerationSchema(name: node.name ?? "", description: node.description, properties: properties)
    case "anyOf":
        return DynamicGenerationSchema(name: node.name ?? "", description: node.description,
                                       anyOf: node.choices ?? [String]())
    case "array":
        guard let items = node.items else { throw InvalidDescription(description: "An array schema has no items.") }
        return DynamicGenerationSchema(arrayOf: try dynamicSchema(items), minimumElements: node.minimumElements,
                                       maximumElements: node.maximumElements)
    default:
        throw InvalidDescription(description: "Unknown schema type \(node.type).")
    }
}

private func generationSchema(_ node: SchemaNode) throws -> GenerationSchema {
    try GenerationSchema(root: dynamicSchema(node), dependencies: [])
}

private func segments(_ nodes: [SegmentNode]?) -> [Transcript.Segment] {
    (nodes ?? []).map { .text(Transcript.TextSegment(id: $0.id, content: $0.content)) }
}

/// The host writes strict JSON; text that is not JSON still reaches the model, as a string.
private func generatedContent(_ json: String) -> GeneratedContent {
    (try? GeneratedContent(json: json)) ?? GeneratedContent(json)
}

private func generationOptions(_ node: OptionsNode?) -> GenerationOptions {
    GenerationOptions(sampling: nil, temperature: node?.temperature,
                      maximumResponseTokens: node?.maximumResponseTokens)
}

private func transcriptEntry(_ node: EntryNode) throws -> Transcript.Entry {
    switch node.kind {
    case "instructions":
        let definitions = try (node.toolDefinitions ?? []).map { tool in
            Transcript.ToolDefinition(name: tool.name, description: tool.description,
                                      parameters: try generationSchema(tool.parameters))
        }
        return .instructions(Transcript.Instructions(id: node.id, segments: segments(node.segments),
                                                     toolDefinitions: definitions))
    case "prompt":
        return .prompt(Transcript.Prompt(id: node.id, segments: segments(node.segments),
                                         options: generationOptions(node.options)))
    case "response":
        return .response(Transcript.Response(id: node.id, assetIDs: node.assetIDs ?? [],
                                             segments: segments(node.segments)))
    case "toolCalls":
        let calls = (node.calls ?? []).map { call in
            Transcript.ToolCall(id: call.id, toolName: call.toolName, arguments: generatedContent(call.arguments))
        }
        return .toolCalls(Transcript.ToolCalls(id: node.id, calls))
    case "toolOutput":
        return .toolOutput(Transcript.ToolOutput(id: node.id, toolName: node.toolName ?? "",
                                                 segments: segments(node.segments)))
    default:
        throw InvalidDescription(description: "Unknown transcript entry kind \(node.kind).")
    }
}

private func makeSession(from text: String, host: HostTools) throws -> LanguageModelSession {
    let description = try JSONDecoder().decode(SessionDescription.self, from: Data(text.utf8))
    let tools: [any Tool] = try description.tools.map { tool -> any Tool in
        ProxyTool(name: tool.name, description: tool.description,
                  parameters: try generationSchema(tool.parameters), host: host)
    }
    let transcript = Transcript(entries: try description.entries.map(transcriptEntry))
    return LanguageModelSession(model: .default, tools: tools, transcript: transcript)
}

// MARK: - Handles

/// The session, and where its transcript stood when the latest generation began: the tool calls the host
/// asks for are those that generation added, never an entry of the history it was made with.
private final class SessionBox: @unchecked Sendable {
    let session: LanguageModelSession
    private let lock = NSLock()
    private var entriesBefore = 0

    init(_ session: LanguageModelSession) { self.session = session }

    func beginGeneration() {
        let count = session.transcript.count
        lock.withLock { entriesBefore = count }
    }

    var addedEntries: [Transcript.Entry] {
        let start = lock.withLock { entriesBefore }
        return Array(session.transcript.dropFirst(start))
    }
}

/// What a stream reads: text, the content of a guided generation, or a failure found before it began.
private enum StreamIterator {
    case text(LanguageModelSession.ResponseStream<String>.AsyncIterator)
    case content(LanguageModelSession.ResponseStream<GeneratedContent>.AsyncIterator)
    case failed(Outcome)
}

/// The stream's iterator, which is not Sendable: only one task at a time touches it, because the host
/// waits for each next() before it asks again.
private final class StreamBox: @unchecked Sendable {
    let owner: SessionBox
    var iterator: StreamIterator
    init(owner: SessionBox, iterator: StreamIterator) {
        self.owner = owner
        self.iterator = iterator
    }
}

private func sessionBox(_ handle: OpaquePointer) -> SessionBox {
    Unmanaged<SessionBox>.fromOpaque(UnsafeRawPointer(handle)).takeUnretainedValue()
}

private func streamBox(_ handle: OpaquePointer) -> StreamBox {
    Unmanaged<StreamBox>.fromOpaque(UnsafeRawPointer(handle)).takeUnretainedValue()
}

private func generationOptions(_ options: UnsafePointer<bpm_options>?) -> GenerationOptions {
    guard let options = options?.pointee else { return GenerationOptions() }
    return GenerationOptions(
        sampling: nil, temperature: options.has_temperature != 0 ? options.temperature : nil,
        maximumResponseTokens: options.has_maximum_response_tokens != 0 ? Int(options.maximum_response_tokens) : nil)
}

// MARK: - Entry points

@_cdecl("bpm_availability_now")
public func bridgeAvailabilityNow() -> bpm_availability {
    switch SystemLanguageModel.default.availability {
    case .available:
        return BPM_AVAILABLE
    case .unavailable(let reason):
        switch reason {
        case .deviceNotEligible: return BPM_UNAVAILABLE_DEVICE_NOT_ELIGIBLE
        case .appleIntelligenceNotEnabled: return BPM_UNAVAILABLE_NOT_ENABLED
        case .modelNotReady: return BPM_UNAVAILABLE_MODEL_NOT_READY
        @unknown default: return BPM_UNAVAILABLE_OTHER
        }
    }
}

@_cdecl("bpm_session_create")
public func bridgeSessionCreate(_ description: UnsafePointer<CChar>?, _ length: Int, _ hook: bpm_tool_hook?,
                                _ context: UnsafeMutableRawPointer?, _ release: bpm_context_release?,
                                _ status: UnsafeMutablePointer<bpm_status>?,
                                _ failureReply: UnsafeMutablePointer<bpm_reply>?) -> OpaquePointer? {
    // Made first, so the host's context is released however creation ends.
    let host = HostTools(context: context, hook: hook, release: release)
    do {
        let session = try makeSession(from: borrowedString(description, length), host: host)
        status?.pointee = BPM_OK
        return OpaquePointer(Unmanaged.passRetained(SessionBox(session)).toOpaque())
    } catch let failure {
        status?.pointee = deliver(outcome(for: failure), to: failureReply)
        return nil
    }
}

@_cdecl("bpm_session_release")
public func bridgeSessionRelease(_ session: OpaquePointer?) {
    guard let session else { return }
    Unmanaged<SessionBox>.fromOpaque(UnsafeRawPointer(session)).release()
}

/// One whole answer: the generation runs in a task while the host thread waits, and its text or its error is
/// delivered.
private func answer(_ session: OpaquePointer?, to reply: UnsafeMutablePointer<bpm_reply>?,
                    _ generate: @escaping @Sendable (LanguageModelSession) async throws -> String) -> bpm_status {
    guard let session else { return deliver(Outcome(status: BPM_ERROR_OTHER, text: "No session."), to: reply) }
    let box = sessionBox(session)
    box.beginGeneration()
    let result = waitOnHostThread { () async -> Outcome in
        do {
            let text = try await generate(box.session)
            return Outcome(status: BPM_OK, text: text)
        } catch {
            return outcome(for: error)
        }
    }
    return deliver(result, to: reply)
}

@_cdecl("bpm_respond")
public func bridgeRespond(_ session: OpaquePointer?, _ prompt: UnsafePointer<CChar>?, _ length: Int,
                          _ options: UnsafePointer<bpm_options>?, _ reply: UnsafeMutablePointer<bpm_reply>?)
    -> bpm_status {
    let text = borrowedString(prompt, length)
    let generation = generationOptions(options)
    return answer(session, to: reply) { session in
        try await session.respond(to: text, options: generation).content
    }
}

@_cdecl("bpm_stream_start")
public func bridgeStreamStart(_ session: OpaquePointer?, _ prompt: UnsafePointer<CChar>?, _ length: Int,
                              _ options: UnsafePointer<bpm_options>?) -> OpaquePointer? {
    guard let session else { return nil }
    let box = sessionBox(session)
    box.beginGeneration()
    let stream = box.session.streamResponse(to: borrowedString(prompt, length), options: generationOptions(options))
    let streamBox = StreamBox(owner: box, iterator: .text(stream.makeAsyncIterator()))
    return OpaquePointer(Unmanaged.passRetained(streamBox).toOpaque())
}

@_cdecl("bpm_stream_next")
public func bridgeStreamNext(_ stream: OpaquePointer?, _ reply: UnsafeMutablePointer<bpm_reply>?) -> bpm_status {
    guard let stream else { return deliver(Outcome(status: BPM_ERROR_OTHER, text: "No stream."), to: reply) }
    let box = streamBox(stream)
    let result = waitOnHostThread { () async -> Outcome in
        do {
            switch box.iterator {
            case .text(var iterator):
                defer { box.iterator = .text(iterator) }
                guard let snapshot = try await iterator.next() else { return Outcome(status: BPM_END) }
                return Outcome(status: BPM_OK, text: snapshot.content)
            case .content(var iterator):
                defer { box.iterator = .content(iterator) }
                guard let snapshot = try await iterator.next() else { return Outcome(status: BPM_END) }
                return Outcome(status: BPM_OK, text: snapshot.rawContent.jsonString)
            case .failed(let failure):
                return failure
            }
        } catch {
            return outcome(for: error)
        }
    }
    return deliver(result, to: reply)
}

// MARK: - Guided generation

/// The schema of a guided generation, one node of the session description's format.
private func responseSchema(_ bytes: UnsafePointer<CChar>?, _ length: Int) throws -> GenerationSchema {
    try generationSchema(JSONDecoder().decode(SchemaNode.self, from: Data(borrowedString(bytes, length).utf8)))
}

@_cdecl("bpm_respond_guided")
public func bridgeRespondGuided(_ session: OpaquePointer?, _ prompt: UnsafePointer<CChar>?, _ length: Int,
                                _ schema: UnsafePointer<CChar>?, _ schemaLength: Int, _ includeSchema: CInt,
                                _ options: UnsafePointer<bpm_options>?, _ reply: UnsafeMutablePointer<bpm_reply>?)
    -> bpm_status {
    let text = borrowedString(prompt, length)
    let generation = generationOptions(options)
    let guide: GenerationSchema
    do { guide = try responseSchema(schema, schemaLength) } catch { return deliver(outcome(for: error), to: reply) }
    return answer(session, to: reply) { session in
        try await session.respond(to: text, schema: guide, includeSchemaInPrompt: includeSchema != 0,
                                  options: generation).content.jsonString
    }
}

@_cdecl("bpm_stream_start_guided")
public func bridgeStreamStartGuided(_ session: OpaquePointer?, _ prompt: UnsafePointer<CChar>?, _ length: Int,
                                    _ schema: UnsafePointer<CChar>?, _ schemaLength: Int, _ includeSchema: CInt,
                                    _ options: UnsafePointer<bpm_options>?) -> OpaquePointer? {
    guard let session else { return nil }
    let box = sessionBox(session)
    box.beginGeneration()
    let iterator: StreamIterator
    do {
        let guide = try responseSchema(schema, schemaLength)
        let stream = box.session.streamResponse(to: borrowedString(prompt, length), schema: guide,
                                                includeSchemaInPrompt: includeSchema != 0,
                                                options: generationOptions(options))
        iterator = .content(stream.makeAsyncIterator())
    } catch {
        iterator = .failed(outcome(for: error))
    }
    return OpaquePointer(Unmanaged.passRetained(StreamBox(owner: box, iterator: iterator)).toOpaque())
}

@_cdecl("bpm_stream_release")
public func bridgeStreamRelease(_ stream: OpaquePointer?) {
    guard let stream else { return }
    Unmanaged<StreamBox>.fromOpaque(UnsafeRawPointer(stream)).release()
}

private struct ToolCallsJSON: Encodable {
    struct Call: Encodable {
        let id: String
        let toolName: String
        let arguments: String
    }
    let id: String
    let calls: [Call]
}

@_cdecl("bpm_latest_tool_calls")
public func bridgeLatestToolCalls(_ session: OpaquePointer?, _ json: UnsafeMutablePointer<bpm_text>?) -> CInt {
    json?.pointee = bpm_text(bytes: nil, length: 0)
    guard let session else { return 0 }
    for entry in sessionBox(session).addedEntries.reversed() {
        guard case .toolCalls(let toolCalls) = entry else { continue }
        let value = ToolCallsJSON(id: toolCalls.id, calls: toolCalls.map { call in
            ToolCallsJSON.Call(id: call.id, toolName: call.toolName, arguments: call.arguments.jsonString)
        })
        guard let data = try? JSONEncoder().encode(value) else { return 0 }
        json?.pointee = ownedText(String(decoding: data, as: UTF8.self))
        return 1
    }
    return 0
}
