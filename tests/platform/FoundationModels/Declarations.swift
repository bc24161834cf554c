// A stand-in of the platform framework, for building and running the Swift bridge on Linux. It declares the
// subset of the framework the server uses, with the shapes of the macOS 26 SDK interface: type names,
// initialiser labels, optionality, async/throws/sending and protocol requirements. It is built with library
// evolution, so its enums are non-frozen unless marked @frozen, as the SDK's are, and a switch over them needs
// @unknown default exactly where it does on a Mac.
//
// Where the SDK uses attributes newer than Swift 6.0 (nonisolated(nonsending) on respond, @concurrent on
// Tool.call), this declares the plain nonisolated async function, which is what those meant before 6.2.
//
// The behaviour behind the declarations lives in Behaviour.swift.

import Foundation

// MARK: - Generable and its parts

public protocol ConvertibleFromGeneratedContent {
    init(_ content: GeneratedContent) throws
}

public protocol ConvertibleToGeneratedContent: InstructionsRepresentable, PromptRepresentable {
    var generatedContent: GeneratedContent { get }
}

public protocol Generable: ConvertibleFromGeneratedContent, ConvertibleToGeneratedContent {
    associatedtype PartiallyGenerated: ConvertibleFromGeneratedContent = Self
    static var generationSchema: GenerationSchema { get }
}

public protocol PromptRepresentable {
    var promptRepresentation: Prompt { get }
}

public protocol InstructionsRepresentable {
    var instructionsRepresentation: Instructions { get }
}

public struct Prompt: Sendable {
    let text: String
    public init(_ content: some PromptRepresentable) { text = content.promptRepresentation.text }
    init(text: String) { self.text = text }
}

public struct Instructions: Sendable {
    let text: String
    public init(_ content: some InstructionsRepresentable) { text = content.instructionsRepresentation.text }
    init(text: String) { self.text = text }
}

extension ConvertibleToGeneratedContent {
    public var promptRepresentation: Prompt { Prompt(text: generatedContent.jsonString) }
    public var instructionsRepresentation: Instructions { Instructions(text: generatedContent.jsonString) }
}

extension String: Generable {
    public init(_ content: GeneratedContent) throws {
        guard case .string(let text) = content.kind else {
            throw DecodingError.typeMismatch(String.self, .init(codingPath: [], debugDescription: "Not a string."))
        }
        self = text
    }
    public var generatedContent: GeneratedContent { GeneratedContent(kind: .string(self)) }
    public static var generationSchema: GenerationSchema { GenerationSchema(root: DynamicGenerationSchema(type: String.self)) }
    public var promptRepresentation: Prompt { Prompt(text: self) }
    public var instructionsRepresentation: Instructions { Instructions(text: self) }
}

extension Int: Generable {
    public init(_ content: GeneratedContent) throws {
        guard case .number(let value) = content.kind, let exact = Int(exactly: value) else {
            throw DecodingError.typeMismatch(Int.self, .init(codingPath: [], debugDescription: "Not an integer."))
        }
        self = exact
    }
    public var generatedContent: GeneratedContent { GeneratedContent(kind: .number(Double(self))) }
    public static var generationSchema: GenerationSchema { GenerationSchema(root: DynamicGenerationSchema(type: Int.self)) }
}

extension Double: Generable {
    public init(_ content: GeneratedContent) throws {
        guard case .number(let value) = content.kind else {
            throw DecodingError.typeMismatch(Double.self, .init(codingPath: [], debugDescription: "Not a number."))
        }
        self = value
    }
    public var generatedContent: GeneratedContent { GeneratedContent(kind: .number(self)) }
    public static var generationSchema: GenerationSchema { GenerationSchema(root: DynamicGenerationSchema(type: Double.self)) }
}

extension Bool: Generable {
    public init(_ content: GeneratedContent) throws {
        guard case .bool(let value) = content.kind else {
            throw DecodingError.typeMismatch(Bool.self, .init(codingPath: [], debugDescription: "Not a boolean."))
        }
        self = value
    }
    public var generatedContent: GeneratedContent { GeneratedContent(kind: .bool(self)) }
    public static var generationSchema: GenerationSchema { GenerationSchema(root: DynamicGenerationSchema(type: Bool.self)) }
}

// MARK: - GeneratedContent

public struct GeneratedContent: Sendable, Equatable, Generable {
    public enum Kind: Sendable, Equatable {
        case null
        case bool(Bool)
        case number(Double)
        case string(String)
        case array([GeneratedContent])
        case structure(properties: [String: GeneratedContent], orderedKeys: [String])
    }

    public let kind: Kind
    /// The text the content was made from, kept as written: jsonString gives the framework's own layout.
    private let text: String?

    public init(kind: Kind) {
        self.kind = kind
        text = nil
    }

    /// Accepts incomplete JSON as the framework does only where the stand-in needs nothing more: complete
    /// JSON values. Anything else throws.
    public init(json: String) throws {
        kind = try JSONDecoder().decode(JSONNode.self, from: Data(json.utf8)).kind
        text = json
    }

    public init(_ value: some ConvertibleToGeneratedContent) {
        self = value.generatedContent
    }

    public init(_ content: GeneratedContent) throws {
        self = content
    }

    public var generatedContent: GeneratedContent { self }
    public static var generationSchema: GenerationSchema {
        GenerationSchema(root: DynamicGenerationSchema(name: "GeneratedContent", properties: []))
    }

    public var jsonString: String {
        if let text { return text }
        switch kind {
        case .null: return "null"
        case .bool(let value): return value ? "true" : "false"
        case .number(let value):
            return value.rounded() == value && abs(value) < 1e15 ? String(Int64(value)) : String(value)
        case .string(let value): return GeneratedContent.quoted(value)
        case .array(let items): return "[" + items.map(\.jsonString).joined(separator: ", ") + "]"
        case .structure(let properties, let keys):
            return "{" + keys.map { GeneratedContent.quoted($0) + ": " + properties[$0]!.jsonString }
                .joined(separator: ", ") + "}"
        }
    }

    public static func == (lhs: GeneratedContent, rhs: GeneratedContent) -> Bool { lhs.kind == rhs.kind }

    private static func quoted(_ text: String) -> String {
        let data = (try? JSONEncoder().encode(text)) ?? Data("\"\"".utf8)
        return String(decoding: data, as: UTF8.self)
    }
}

/// A JSON value read with the standard decoder, as GeneratedContent's kind.
private struct JSONNode: Decodable {
    let kind: GeneratedContent.Kind

    init(from decoder: any Decoder) throws {
        let container = try decoder.singleValueContainer()
        if container.decodeNil() {
            kind = .null
        } else if let value = try? container.decode(Bool.self) {
            kind = .bool(value)
        } else if let value = try? container.decode(Double.self) {
            kind = .number(value)
        } else if let value = try? container.decode(String.self) {
            kind = .string(value)
        } else if let items = try? container.decode([JSONNode].self) {
            kind = .array(items.map { GeneratedContent(kind: $0.kind) })
        } else {
            let members = try container.decode([String: JSONNode].self)
            kind = .structure(properties: members.mapValues { GeneratedContent(kind: $0.kind) },
                              orderedKeys: members.keys.sorted())
        }
    }
}

// MARK: - Schemas

public struct GenerationGuide<Value>: Sendable {}

public struct DynamicGenerationSchema: Sendable {
    indirect enum Node: Sendable {
        case value(String)
        case object(name: String, description: String?, properties: [Property])
        case choices(name: String, description: String?, [String])
        case union(name: String, description: String?, [DynamicGenerationSchema])
        case array(DynamicGenerationSchema, minimumElements: Int?, maximumElements: Int?)
        case reference(String)
    }

    public struct Property: Sendable {
        let name: String
        let description: String?
        let schema: DynamicGenerationSchema
        let isOptional: Bool
        public init(name: String, description: String? = nil, schema: DynamicGenerationSchema,
                    isOptional: Bool = false) {
            self.name = name
            self.description = description
            self.schema = schema
            self.isOptional = isOptional
        }
    }

    let node: Node

    public init<Value>(type: Value.Type, guides: [GenerationGuide<Value>] = []) where Value: Generable {
        node = .value(String(describing: type))
    }
    public init(name: String, description: String? = nil, properties: [DynamicGenerationSchema.Property]) {
        node = .object(name: name, description: description, properties: properties)
    }
    public init(name: String, description: String? = nil, anyOf choices: [String]) {
        node = .choices(name: name, description: description, choices)
    }
    public init(name: String, description: String? = nil, anyOf choices: [DynamicGenerationSchema]) {
        node = .union(name: name, description: description, choices)
    }
    public init(arrayOf itemSchema: DynamicGenerationSchema, minimumElements: Int? = nil,
                maximumElements: Int? = nil) {
        node = .array(itemSchema, minimumElements: minimumElements, maximumElements: maximumElements)
    }
    public init(referenceTo name: String) {
        node = .reference(name)
    }
}

public struct GenerationSchema: Sendable {
    public enum SchemaError: Error, LocalizedError {
        public struct Context: Sendable {
            public let debugDescription: String
            public init(debugDescription: String) { self.debugDescription = debugDescription }
        }
        case duplicateProperty(schema: String, property: String, context: Context)
        case duplicateType(schema: String?, type: String, context: Context)
        case emptyTypeChoices(schema: String, context: Context)
        case undefinedReferences(schema: String?, references: [String], context: Context)

        public var errorDescription: String? {
            switch self {
            case .duplicateProperty(let schema, let property, _):
                return "The schema \(schema) has more than one property named \(property)."
            case .duplicateType(_, let type, _): return "More than one type is named \(type)."
            case .emptyTypeChoices(let schema, _): return "The schema \(schema) offers no choices."
            case .undefinedReferences(_, let references, _):
                return "Undefined references: \(references.joined(separator: ", "))."
            }
        }
    }

    let root: DynamicGenerationSchema

    init(root: DynamicGenerationSchema) { self.root = root }

    /// Checks what the framework checks: property names unique in each object, type names unique in the
    /// whole schema, no empty choice lists, no reference to an undefined type.
    public init(root: DynamicGenerationSchema, dependencies: [DynamicGenerationSchema]) throws {
        var types = Set<String>()
        var references = [String]()
        for schema in [root] + dependencies { try GenerationSchema.check(schema, &types, &references) }
        let undefined = references.filter { !types.contains($0) }
        if !undefined.isEmpty {
            throw SchemaError.undefinedReferences(schema: nil, references: undefined,
                                                  context: .init(debugDescription: "undefined references"))
        }
        self.root = root
    }

    private static func check(_ schema: DynamicGenerationSchema, _ types: inout Set<String>,
                              _ references: inout [String]) throws {
        func claim(_ name: String) throws {
            guard types.insert(name).inserted else {
                throw SchemaError.duplicateType(schema: nil, type: name, context: .init(debugDescription: name))
            }
        }
        switch schema.node {
        case .value: break
        case .object(let name, _, let properties):
            try claim(name)
            var seen = Set<String>()
            for property in properties {
                guard seen.insert(property.name).inserted else {
                    throw SchemaError.duplicateProperty(schema: name, property: property.name,
                                                        context: .init(debugDescription: property.name))
                }
                try check(property.schema, &types, &references)
            }
        case .choices(let name, _, let choices):
            try claim(name)
            if choices.isEmpty { throw SchemaError.emptyTypeChoices(schema: name, context: .init(debugDescription: name)) }
        case .union(let name, _, let choices):
            try claim(name)
            if choices.isEmpty { throw SchemaError.emptyTypeChoices(schema: name, context: .init(debugDescription: name)) }
            for choice in choices { try check(choice, &types, &references) }
        case .array(let items, _, _): try check(items, &types, &references)
        case .reference(let name): references.append(name)
        }
    }
}

// MARK: - Options

public struct GenerationOptions: Sendable, Equatable {
    public struct SamplingMode: Sendable, Equatable {
        let name: String
        public static var greedy: SamplingMode { SamplingMode(name: "greedy") }
    }
    public var sampling: SamplingMode?
    public var temperature: Double?
    public var maximumResponseTokens: Int?

    public init(sampling: GenerationOptions.SamplingMode? = nil, temperature: Double? = nil,
                maximumResponseTokens: Int? = nil) {
        self.sampling = sampling
        self.temperature = temperature
        self.maximumResponseTokens = maximumResponseTokens
    }
}

// MARK: - Transcript

public struct Transcript: Sendable, Equatable, RandomAccessCollection {
    public enum Entry: Sendable, Equatable, Identifiable {
        case instructions(Transcript.Instructions)
        case prompt(Transcript.Prompt)
        case toolCalls(Transcript.ToolCalls)
        case toolOutput(Transcript.ToolOutput)
        case response(Transcript.Response)

        public var id: String {
            switch self {
            case .instructions(let entry): return entry.id
            case .prompt(let entry): return entry.id
            case .toolCalls(let entry): return entry.id
            case .toolOutput(let entry): return entry.id
            case .response(let entry): return entry.id
            }
        }
    }

    public enum Segment: Sendable, Equatable, Identifiable {
        case text(Transcript.TextSegment)
        case structure(Transcript.StructuredSegment)
        public var id: String {
            switch self {
            case .text(let segment): return segment.id
            case .structure(let segment): return segment.id
            }
        }
    }

    public struct TextSegment: Sendable, Equatable, Identifiable {
        public var id: String
        public var content: String
        public init(id: String = UUID().uuidString, content: String) {
            self.id = id
            self.content = content
        }
    }

    public struct StructuredSegment: Sendable, Equatable, Identifiable {
        public var id: String
        public var source: String
        public var content: GeneratedContent
        public init(id: String = UUID().uuidString, source: String, content: GeneratedContent) {
            self.id = id
            self.source = source
            self.content = content
        }
    }

    public struct ToolDefinition: Sendable, Equatable {
        public var name: String
        public var description: String
        let parameters: GenerationSchema
        public init(name: String, description: String, parameters: GenerationSchema) {
            self.name = name
            self.description = description
            self.parameters = parameters
        }
        public init(tool: some Tool) {
            self.init(name: tool.name, description: tool.description, parameters: tool.parameters)
        }
        public static func == (lhs: ToolDefinition, rhs: ToolDefinition) -> Bool {
            lhs.name == rhs.name && lhs.description == rhs.description
        }
    }

    public struct Instructions: Sendable, Equatable, Identifiable {
        public var id: String
        public var segments: [Transcript.Segment]
        public var toolDefinitions: [Transcript.ToolDefinition]
        public init(id: String = UUID().uuidString, segments: [Transcript.Segment],
                    toolDefinitions: [Transcript.ToolDefinition]) {
            self.id = id
            self.segments = segments
            self.toolDefinitions = toolDefinitions
        }
    }

    public struct ResponseFormat: Sendable, Equatable {
        public var name: String
        public init(schema: GenerationSchema) { name = GenerationSchema.name(of: schema) }
        public init<Content>(type: Content.Type) where Content: Generable {
            name = GenerationSchema.name(of: Content.generationSchema)
        }
    }

    public struct Prompt: Sendable, Equatable, Identifiable {
        public var id: String
        public var segments: [Transcript.Segment]
        public var options: GenerationOptions
        public var responseFormat: Transcript.ResponseFormat?
        public init(id: String = UUID().uuidString, segments: [Transcript.Segment],
                    options: GenerationOptions = GenerationOptions(),
                    responseFormat: Transcript.ResponseFormat? = nil) {
            self.id = id
            self.segments = segments
            self.options = options
            self.responseFormat = responseFormat
        }
    }

    public struct Response: Sendable, Equatable, Identifiable {
        public var id: String
        public var assetIDs: [String]
        public var segments: [Transcript.Segment]
        public init(id: String = UUID().uuidString, assetIDs: [String], segments: [Transcript.Segment]) {
            self.id = id
            self.assetIDs = assetIDs
            self.segments = segments
        }
    }

    public struct ToolCall: Sendable, Equatable, Identifiable {
        public var id: String
        public var toolName: String
        public var arguments: GeneratedContent
        public init(id: String, toolName: String, arguments: GeneratedContent) {
            self.id = id
            self.toolName = toolName
            self.arguments = arguments
        }
    }

    public struct ToolCalls: Sendable, Equatable, Identifiable, RandomAccessCollection {
        public var id: String
        var calls: [Transcript.ToolCall]
        public init<S>(id: String = UUID().uuidString, _ calls: S) where S: Sequence, S.Element == Transcript.ToolCall {
            self.id = id
            self.calls = Array(calls)
        }
        public var startIndex: Int { calls.startIndex }
        public var endIndex: Int { calls.endIndex }
        public subscript(position: Int) -> Transcript.ToolCall { calls[position] }
    }

    public struct ToolOutput: Sendable, Equatable, Identifiable {
        public var id: String
        public var toolName: String
        public var segments: [Transcript.Segment]
        public init(id: String, toolName: String, segments: [Transcript.Segment]) {
            self.id = id
            self.toolName = toolName
            self.segments = segments
        }
    }

    var entries: [Entry]

    public init(entries: some Sequence<Transcript.Entry> = []) {
        self.entries = Array(entries)
    }

    public var startIndex: Int { entries.startIndex }
    public var endIndex: Int { entries.endIndex }
    public subscript(position: Int) -> Transcript.Entry { entries[position] }
}

extension GenerationSchema: Equatable {
    public static func == (lhs: GenerationSchema, rhs: GenerationSchema) -> Bool { name(of: lhs) == name(of: rhs) }

    static func name(of schema: GenerationSchema) -> String {
        switch schema.root.node {
        case .value(let name), .reference(let name): return name
        case .object(let name, _, _), .choices(let name, _, _), .union(let name, _, _): return name
        case .array: return "array"
        }
    }
}

// MARK: - Tools

public protocol Tool<Arguments, Output>: Sendable {
    associatedtype Output: PromptRepresentable
    associatedtype Arguments: ConvertibleFromGeneratedContent
    var name: String { get }
    var description: String { get }
    var parameters: GenerationSchema { get }
    var includesSchemaInInstructions: Bool { get }
    func call(arguments: Self.Arguments) async throws -> Self.Output
}

extension Tool {
    public var name: String { String(describing: Self.self) }
    public var includesSchemaInInstructions: Bool { true }
}

extension Tool where Arguments: Generable {
    public var parameters: GenerationSchema { Arguments.generationSchema }
}

// MARK: - The model

public final class SystemLanguageModel: Sendable {
    @frozen public enum Availability: Sendable, Equatable {
        public enum UnavailableReason: Sendable, Equatable {
            case deviceNotEligible
            case appleIntelligenceNotEnabled
            case modelNotReady
        }
        case available
        case unavailable(SystemLanguageModel.Availability.UnavailableReason)
    }

    public static let `default` = SystemLanguageModel()

    private init() {}

    public final var availability: SystemLanguageModel.Availability { Behaviour.availability() }
    public final var isAvailable: Bool { availability == .available }
}
