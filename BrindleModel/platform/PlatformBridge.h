#pragma once
/*
 * The one C interface between the C++ backend and the platform's on-device model. On macOS the Swift
 * module (PlatformBridge.swift) implements it; the tests implement it with a scripted fake.
 *
 * Rules on both sides:
 * - Text goes in as pointer + length, UTF-8, borrowed for the call and copied on entry; it may hold U+0000.
 * - Text comes back in a bpm_text whose bytes the caller owns and hands to bpm_free_text. Returned bytes
 *   are NUL-terminated for convenience, but the length is what counts.
 * - bpm_respond, bpm_stream_next and bpm_session_create block the calling thread; call them only from
 *   threads the host owns, never from inside the tool hook.
 * - No Swift error and no C++ exception ever crosses this interface: failures are statuses.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct bpm_session bpm_session; /* a session with its tools; released with bpm_session_release */
typedef struct bpm_stream bpm_stream;   /* one streamed answer; keeps its session alive until released */

typedef enum bpm_availability {
    BPM_AVAILABLE = 0,
    BPM_UNAVAILABLE_DEVICE_NOT_ELIGIBLE = 1,
    BPM_UNAVAILABLE_NOT_ENABLED = 2, /* the user has not turned the platform's intelligence features on */
    BPM_UNAVAILABLE_MODEL_NOT_READY = 3,
    BPM_UNAVAILABLE_OTHER = 4 /* a reason this build does not know */
} bpm_availability;

/* One status per kind of outcome the host tells apart. */
typedef enum bpm_status {
    BPM_OK = 0,
    BPM_END = 1, /* bpm_stream_next only: the stream finished normally */

    /* The model's generation errors, one per case. */
    BPM_ERROR_CONTEXT_WINDOW = 10,
    BPM_ERROR_ASSETS_UNAVAILABLE = 11,
    BPM_ERROR_GUARDRAIL = 12,
    BPM_ERROR_RATE_LIMITED = 13,
    BPM_ERROR_UNSUPPORTED_GUIDE = 14,
    BPM_ERROR_UNSUPPORTED_LANGUAGE = 15,
    BPM_ERROR_DECODING_FAILURE = 16,
    BPM_ERROR_CONCURRENT_REQUESTS = 17,
    BPM_ERROR_REFUSAL = 18,
    BPM_ERROR_GENERATION_OTHER = 19, /* a generation error case this build does not know */

    /* A tool stopped the generation. tool_name is set when the platform says which tool. */
    BPM_ERROR_CAPTURED_TOOL_CALL = 20, /* the tool's hook answered BPM_ERROR_CAPTURED_TOOL_CALL */
    BPM_ERROR_TOOL_CALL = 21,          /* any other tool failure; text is the platform's description of it */

    BPM_ERROR_SCHEMA = 30, /* the platform rejected a tool's schema, or a guided generation's */
    BPM_ERROR_OTHER = 99   /* anything else, including a session description the bridge cannot read */
} bpm_status;

/* Owned text: free bytes with bpm_free_text. bytes may be NULL when length is 0. */
typedef struct bpm_text {
    char* bytes;
    size_t length;
} bpm_text;

/* What a call hands back besides its status. Both texts are empty unless the status says otherwise:
 * BPM_OK: text is the answer (bpm_respond) or the whole text generated so far (bpm_stream_next).
 * An error: text is the platform's description of it; tool_name names the tool of a tool error. */
typedef struct bpm_reply {
    bpm_text text;
    bpm_text tool_name;
} bpm_reply;

typedef struct bpm_options {
    int has_temperature;
    double temperature;
    int has_maximum_response_tokens;
    int64_t maximum_response_tokens;
} bpm_options;

/*
 * Called when the model calls a tool: the tool's name and the generated arguments as JSON text, both valid
 * only during the call. It may run on any thread and concurrently with itself. It must not block for long,
 * must not call back into this interface, and answers BPM_ERROR_CAPTURED_TOOL_CALL when the host captured
 * the call (the bridge then ends the generation with that status) or BPM_ERROR_TOOL_CALL when the host's
 * tool failed otherwise. The bridge never hands output back to the model.
 */
typedef bpm_status (*bpm_tool_hook)(void* context, const char* name, size_t name_length, const char* arguments,
                                    size_t arguments_length);

/* Frees the hook's context. Called exactly once, after the last hook call. */
typedef void (*bpm_context_release)(void* context);

/* The model's availability now; it can change while the process runs. */
bpm_availability bpm_availability_now(void);

/*
 * A session from one JSON description of its tools and transcript (the format is private to the two
 * sides and written by the C++ backend). The context is handed over in every case: the bridge calls
 * release_context once when it is done with it, also when creation fails. On failure returns NULL and sets
 * *status (BPM_ERROR_SCHEMA or BPM_ERROR_OTHER) and error->text; on success *status is BPM_OK.
 */
bpm_session* bpm_session_create(const char* description, size_t description_length, bpm_tool_hook hook, void* context,
                                bpm_context_release release_context, bpm_status* status, bpm_reply* error);
void bpm_session_release(bpm_session* session);

/* One whole answer. options may be NULL. Blocks until the model has answered or failed. */
bpm_status bpm_respond(bpm_session* session, const char* prompt, size_t prompt_length, const bpm_options* options,
                       bpm_reply* reply);

/* Starts a streamed answer; never fails here: every failure comes from bpm_stream_next. */
bpm_stream* bpm_stream_start(bpm_session* session, const char* prompt, size_t prompt_length,
                             const bpm_options* options);
/* Blocks until the next snapshot (BPM_OK), the end (BPM_END) or an error. Not to be called again after
 * anything but BPM_OK. */
bpm_status bpm_stream_next(bpm_stream* stream, bpm_reply* reply);
/* Stops reading the stream; the model stops generating for it. */
void bpm_stream_release(bpm_stream* stream);

/*
 * Guided generation: the answer is content that fits the schema, one NODE of the session description's format,
 * which include_schema_in_prompt also shows the model. Otherwise as bpm_respond and bpm_stream_start: the
 * reply's text is the JSON text of the content, each snapshot of the stream the JSON text of the content so far.
 * A schema the platform rejects fails with BPM_ERROR_SCHEMA (from bpm_stream_next for a stream).
 */
bpm_status bpm_respond_guided(bpm_session* session, const char* prompt, size_t prompt_length, const char* schema,
                              size_t schema_length, int include_schema_in_prompt, const bpm_options* options,
                              bpm_reply* reply);
bpm_stream* bpm_stream_start_guided(bpm_session* session, const char* prompt, size_t prompt_length, const char* schema,
                                    size_t schema_length, int include_schema_in_prompt, const bpm_options* options);

/*
 * The latest tool-calls entry among those the session's latest generation added to its transcript, as JSON,
 *   {"id":ENTRY_ID,"calls":[{"id":CALL_ID,"toolName":NAME,"arguments":JSON_TEXT}]}
 * where each arguments member is a string holding the platform's JSON text of the generated arguments.
 * Returns 0 and leaves *json empty when that generation added none.
 */
int bpm_latest_tool_calls(bpm_session* session, bpm_text* json);

/* Frees the bytes of a bpm_text this interface handed back; NULL is allowed. */
void bpm_free_text(char* bytes);

#ifdef __cplusplus
}
#endif
