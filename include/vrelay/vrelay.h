// SPDX-License-Identifier: MIT
/**
 * vrelay.h - the public interface of libvrelay_shared, a client library for a
 * text-to-speech server.
 *
 * Conventions
 * -----------
 * Handles. The application never holds an object, only 32-bit handles. A
 *   connection handle (vrCreateConnection) names one connection to a speech
 *   server; an enumerator handle (vrEnumerateConnectionVoices) names one
 *   snapshot of the server's voice list. Each kind is numbered on its own from
 *   1000; a released number is reused, most recently released first, once no
 *   call still uses what it named. A connection handle and an enumerator
 *   handle may have the same value.
 *
 * Results. Functions that return vr_result return VR_SUCCESS (0) or one of the
 *   negative VR_* codes below. No function throws or aborts on bad input: an
 *   unknown handle gives VR_BAD_HANDLE (or NULL where a string is returned).
 *
 * Strings. Text arguments are NUL-terminated UTF-8 and stay owned by the
 *   caller; the library copies what it keeps. Strings returned by vrNextVoice
 *   and vrGetVoiceStringValue belong to their enumerator and stay valid until
 *   vrCloseEnumerator on it (or library unload). Never free them.
 *
 * Threads. Any thread may call any function, in any order: nothing crashes,
 *   aborts, hangs or throws. Requests on one connection are serialised by
 *   that connection's lock (a request waits behind the running one);
 *   different connections run in parallel. The packet callback runs on the
 *   thread that made the request (the caller's thread for synchronous calls,
 *   the connection's worker thread for vrRenderSpeechAsync and
 *   vrRenderSpeechXMLAsync), with the connection's lock held.
 *
 * From inside the callback. A request cannot end while its callback runs, so
 *   calls that would start, end or wait for a request on the same connection
 *   return VR_BUSY at once and change nothing; to stop the running request,
 *   return a value other than VR_SUCCESS from the callback.
 *
 *   <table>
 *   <tr><th>call from inside the callback</th><th>result</th></tr>
 *   <tr><td>vrSetCallBack, vrSetPascalCallBack, vrSetUserData</td>
 *       <td>work (effective from the next packet)</td></tr>
 *   <tr><td>vrRenderSpeech, vrRenderSpeechXML, vrPushSpeechStream, vrPushSpeechStreamXML,
 *       vrFlushSpeechStream, vrFlushSpeechStreamXML, vrRenderSpeechAsync,
 *       vrRenderSpeechXMLAsync, vrQueryServer, vrSetVoice, vrSetVoiceFast,
 *       vrOpenConnection, vrCloseConnection, vrDestroyConnection, vrCancelRequest</td>
 *       <td>VR_BUSY</td></tr>
 *   <tr><td>vrEnumerateConnectionVoices</td><td>VR_BUSY (no enumerator made)</td></tr>
 *   <tr><td>enumerator functions, sample conversion</td><td>work</td></tr>
 *   <tr><td>any call on another connection</td>
 *       <td>works (mind the order in which your threads lock connections)</td></tr>
 *   </table>
 *
 * Limits. Connecting to one address gives up after 10 seconds
 *   (VR_CONNECT_FAILED). Each packet gets 60 seconds: every packet of a reply
 *   must arrive whole within 60 seconds of the request's last send or of the
 *   reply's previous packet (the callback's time is not counted), else
 *   VR_ERROR; every packet the library sends must be taken by the server
 *   within 60 seconds, else VR_SEND_FAILED. A voice list longer than 16 MiB
 *   counts as not received (the enumerator is empty; reopen or cancel the
 *   connection, since the rest of that reply is left unread).
 *
 * Process exit. When the process exits (or the library is unloaded), every
 *   request is stopped and asynchronous renders get 2 seconds to end; a
 *   callback that has not returned by then is left running, and its
 *   connection is never freed, so that the exit does not wait for it (so do
 *   not unload the library under such a callback). Threads still calling in
 *   meanwhile or afterwards are safe: a stopped render returns VR_CANCELLED,
 *   every handle is then unknown (VR_BAD_HANDLE; vrDestroyConnection returns
 *   VR_SUCCESS) and vrCreateConnection returns VR_ERROR.
 *
 * fork(). In the child, a connection that was in use when the process forked
 *   (a request running on any thread, the forking one included; a cancel or
 *   destroy under way; an asynchronous render not yet ended) is gone: its
 *   handle is unknown (VR_BAD_HANDLE; vrDestroyConnection returns
 *   VR_SUCCESS) and its memory is never freed, since its lock belongs to a
 *   thread of the parent. Every other connection and enumerator is a working
 *   copy; an open connection's copy shares the parent's socket, so only one
 *   of the two processes should go on using it (destroying it sends
 *   PACKET_CLOSE on that shared stream). A child should make connections of
 *   its own.
 *
 * Callback data. The data pointer given to the callback, and every pointer
 *   inside it (the names of a PhonemeEvent), is valid only during that
 *   call: copy what you need before returning.
 *
 * Messages. The interface layer prints its warnings on standard output, one
 *   line each beginning "WARNING: "; the transport writes a time-stamped log on
 *   standard error (levels ERROR, WARNING, INFO). The environment variable
 *   VRELAY_MESSAGES, read once at the first message, routes both:
 *   <table>
 *   <tr><th>VRELAY_MESSAGES</th><th>where both go</th></tr>
 *   <tr><td>unset or empty</td><td>the default above</td></tr>
 *   <tr><td>stderr</td><td>both on standard error (for programs that write their own data,
 *       such as audio, to standard output)</td></tr>
 *   <tr><td>none</td><td>nowhere</td></tr>
 *   <tr><td>any other value</td><td>a file name: both are appended to that file; when it
 *       cannot be opened, both go to standard error</td></tr>
 *   </table>
 *   A message never makes a call wait for its file nor raises SIGPIPE: one the
 *   file does not take at once (a full disk; a FIFO without a reader, whose
 *   reader left or does not read) is lost, and the first loss is reported
 *   once on standard error. A FIFO gets the messages written while it has a
 *   reader.
 *
 * Wire format. Client and server exchange frames over one TCP stream; every
 *   integer is big-endian:
 *
 *   | offset | size | field |
 *   |---|---|---|
 *   | 0 | 2 bytes | packet type (PACKET_TYPE) |
 *   | 2 | 4 bytes | stream id (the client always sends 0) |
 *   | 6 | 4 bytes | payload length L, 0 to 64000 |
 *   | 10 | L bytes | payload |
 *   | 10+L | 4 bytes | L again |
 *
 *   Text and query payloads carry their terminating NUL. After every text
 *   packet and every query the server answers with any number of answer
 *   packets and then exactly one PACKET_END.
 *
 * Text the server receives. Every word of the submitted text is preceded by
 *   a mark `<mark name="kvtk_C_B_N_L"/>`: the word's character offset C and
 *   byte offset B in the text the application submitted, and its length in
 *   characters N and bytes L. The last piece of a request carries
 *   `<mark name="kvox_final"/>`.
 *
 * Answer contents of the reference server (vrelay-server). The library hands
 *   these payloads to the callback unchanged; integers are big-endian:
 *   <table>
 *   <tr><th>packet</th><th>payload</th></tr>
 *   <tr><td>PACKET_DATA_9</td><td>audio format, 8 bytes: uint32 sample rate, uint16 bits per
 *       sample (16), uint16 channels (1). Sent before the first audio of every answer that
 *       has audio.</td></tr>
 *   <tr><td>PACKET_DATA_6</td><td>audio: signed 16-bit little-endian mono PCM.</td></tr>
 *   <tr><td>PACKET_DATA_8</td><td>a mark reached: int32 sample offset from the start of the
 *       request's audio (every PACKET_TEXT ends a request and restarts the count), then the
 *       mark's name, NUL-terminated. Every word mark comes back once, in order, before the
 *       audio that holds it; "kvox_final" comes after the last audio.</td></tr>
 *   <tr><td>PACKET_PHONEME</td><td>one per phoneme: first = start sample (request clock),
 *       phone, next_phone ("" for the last of a unit), value1 = duration in samples,
 *       value2 = sample rate.</td></tr>
 *   <tr><td>PACKET_DATA_10</td><td>a server message, NUL-terminated UTF-8; errors (unknown
 *       voice, refused text, query not understood) begin with "error: ".</td></tr>
 *   <tr><td>PACKET_QUERY</td><td>reply to `<voice name="all"/>`: the voice list document,
 *       possibly split over several packets.</td></tr>
 *   </table>
 *
 * @file
 */
#ifndef VRELAY_H
#define VRELAY_H

/**@{*/
/** The version of this header and of the library built from it. The build
 * reads these numbers, so they are the one place the version is stated. */
#define VRELAY_VERSION_MAJOR 0
#define VRELAY_VERSION_MINOR 2
#define VRELAY_VERSION_PATCH 0
#define VRELAY_VERSION_STRING "0.2.0"
/**@}*/

#include <stdint.h>

/* Calling conventions: empty on Linux; on 32-bit Windows the exports use the
 * caller-cleans convention and the Pascal callback the callee-cleans one. */
#if defined(_WIN32)
#define VR_CDECL __cdecl
#define VR_PASCAL __stdcall
#if defined(VRELAY_BUILDING_LIBRARY)
#define VR_API __declspec(dllexport)
#else
#define VR_API __declspec(dllimport)
#endif
#else
#define VR_CDECL
#define VR_PASCAL
#if defined(VRELAY_BUILDING_LIBRARY)
#define VR_API __attribute__((visibility("default")))
#else
#define VR_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** A connection or enumerator handle. */
typedef int32_t vr_handle;
/** A result code: VR_SUCCESS or one of the negative codes below. */
typedef int32_t vr_result;

/** Result codes. This list only ever grows; values never change. */
enum {
    VR_SUCCESS = 0,          /**< the operation succeeded */
    VR_ERROR = -1,           /**< the reply could not be read to its end (receive error, time-out,
                                server closed the connection; for a query, also the callback
                                refusing a packet of it); a voice was not switched */
    VR_BAD_HANDLE = -2,      /**< the handle is not in its table */
    VR_SEND_FAILED = -3,     /**< sending to the server failed (also when the server took
                                nothing of a packet for 60 seconds), or the connection was not
                                open */
    VR_CONNECT_FAILED = -4,  /**< the connection to the server could not be made */
    VR_CANCELLED = -5,       /**< the request was cancelled by vrCancelRequest, or a render was
                                stopped by its own callback returning other than VR_SUCCESS */
    VR_BUSY = -6,            /**< an asynchronous render is running inside its request, or the
                                call came from inside the connection's own callback */
    VR_BAD_KEY = -7,         /**< vrGetVoiceIntegerValue: key other than 1 or 2 */
    VR_NO_CURRENT_VOICE = -8 /**< vrGetVoiceIntegerValue: vrNextVoice has not returned a voice */
};

/** Packet types: 16 bits on the wire. */
typedef enum PACKET_TYPE {
    PACKET_TEXT = 1,     /**< client -> server: the text that ends a request (NUL-terminated) */
    PACKET_PHONEME = 3,  /**< server -> client: a phoneme; reaches the callback as a
                            PhonemeEvent */
    PACKET_DATA_6 = 6,   /**< server -> client: passed to the callback unchanged */
    PACKET_DATA_8 = 8,   /**< server -> client: passed to the callback unchanged */
    PACKET_DATA_9 = 9,   /**< server -> client: passed to the callback unchanged */
    PACKET_DATA_10 = 10, /**< server -> client: passed to the callback unchanged */
    PACKET_END = 11,     /**< server -> client: the answer to a request is complete */
    PACKET_CLOSE = 12,   /**< both: the stream ends (empty payload) */
    PACKET_QUERY = 13,   /**< both: a query, and the server's reply text */
    PACKET_REQUEST_DONE = 14, /**< never sent: given to the callback when an asynchronous render
                                 has ended (data NULL, length 0) */
    PACKET_TEXT_CHUNK = 15    /**< client -> server: text continuing an open stream */
} PACKET_TYPE;

/** What the callback receives for a PACKET_PHONEME packet. The two name pointers
 * point into the packet and are valid only during the callback. */
typedef struct PhonemeEvent {
    const char* phone;      /**< the phoneme's name */
    int32_t first;          /**< the phoneme record's first value */
    const char* next_phone; /**< the following phoneme's name */
    /**@{*/
    /** Values 1 to 7 of the record, in wire order; 0 for values the server did
     * not send. */
    int32_t value1;
    int32_t value2;
    int32_t value3;
    int32_t value4;
    int32_t value5;
    int32_t value6;
    int32_t value7;
    /**@}*/
    int32_t size; /**< sizeof(PhonemeEvent) on this platform */
} PhonemeEvent;

/** The packet callback.
 *   <table>
 *   <tr><th>argument</th><th>value</th></tr>
 *   <tr><td>user_data</td><td>the pointer set with vrSetUserData (NULL by default)</td></tr>
 *   <tr><td>type</td><td>the packet type</td></tr>
 *   <tr><td>data</td><td>PACKET_PHONEME: a PhonemeEvent*; PACKET_DATA_6/8/9/10 and
 *       PACKET_QUERY: the payload; PACKET_REQUEST_DONE: NULL</td></tr>
 *   <tr><td>length</td><td>PACKET_PHONEME: sizeof(PhonemeEvent); others: payload
 *       length</td></tr>
 *   </table>
 *
 * Called once per answer packet, in the order the server sent them, on the
 * thread that runs the request, with the connection's lock held. Return
 * VR_SUCCESS to go on; any other value stops the request: its remaining
 * packets are not read and nothing more of its text is sent. How each
 * request ends:
 *
 * <table>
 * <tr><th>the request ends by</th>
 *     <th>vrRenderSpeech(XML), vrPushSpeechStream*, vrFlushSpeechStream*</th>
 *     <th>vrQueryServer, vrSetVoiceFast</th></tr>
 * <tr><td>the callback refusing</td><td>VR_CANCELLED</td><td>VR_ERROR</td></tr>
 * <tr><td>the server failing</td><td>VR_ERROR</td><td>VR_ERROR</td></tr>
 * <tr><td>vrCancelRequest</td><td>VR_CANCELLED</td><td>VR_CANCELLED</td></tr>
 * </table>
 *
 * vrSetVoice returns VR_ERROR in all three cases; an asynchronous render
 * (vrRenderSpeech*Async) delivers one PACKET_REQUEST_DONE, whichever way it
 * ends. A render stopped by its own callback is cancelled, as the application
 * asked; a query whose reply was refused was not read to its end. A server
 * that fails is VR_ERROR, never VR_CANCELLED (one that does not take what is
 * sent: VR_SEND_FAILED). After a refusal the stream holds unread packets, so
 * the connection must be rebuilt before the next request: vrCancelRequest
 * does that (or close and open it again). After a cancel, packets not yet
 * delivered are dropped; PACKET_REQUEST_DONE is always delivered, exactly once
 * per asynchronous render, after every other packet of it. */
typedef int32_t(VR_CDECL* vrCallBack)(void* user_data, PACKET_TYPE type, void* data,
                                      int32_t length);
/** The same callback with the callee-cleans convention; used only while no
 * vrCallBack is set. */
typedef int32_t(VR_PASCAL* vrPascalCallBack)(void* user_data, PACKET_TYPE type, void* data,
                                             int32_t length);

/* ---- Connection lifecycle -------------------------------------------------- */

/** Makes a new, unopened connection. Returns its handle (1000, 1001, ...).
 * Takes no descriptor (the socket is made by vrOpenConnection), so it fails
 * only when memory runs out: then it returns VR_ERROR, never a handle. */
VR_API vr_handle VR_CDECL vrCreateConnection(void);

/** Connects to the server at host (name or address) and TCP port. Waits behind
 * a request running on the connection. On an open connection, a successful
 * open replaces the old stream; a failed one leaves it as it was.
 * VR_SUCCESS, VR_BAD_HANDLE, VR_CONNECT_FAILED (also when no descriptor is
 * free or the server does not accept within 10 seconds; the handle stays
 * usable and may be opened again), VR_BUSY (from inside the callback). */
VR_API vr_result VR_CDECL vrOpenConnection(vr_handle connection, const char* host, int32_t port);

/** Tells the server the stream ends and closes the socket; waits behind a
 * request running on the connection (vrCancelRequest stops one).
 * VR_SUCCESS, VR_BAD_HANDLE, VR_SEND_FAILED (not open, or the close packet
 * could not be sent: the socket is closed all the same, so the handle can be
 * opened again), VR_BUSY (from inside the callback). */
VR_API vr_result VR_CDECL vrCloseConnection(vr_handle connection);

/** Stops a running request (also one waiting for the server to read what it
 * sends), closes the connection if open, releases the handle and frees
 * everything; waits for the asynchronous worker to end first. Requests
 * waiting behind on other threads get VR_BAD_HANDLE; an asynchronous render
 * that had not yet started gets no PACKET_REQUEST_DONE. VR_SUCCESS (also for
 * an unknown handle), VR_BUSY (from inside the callback). */
VR_API vr_result VR_CDECL vrDestroyConnection(vr_handle connection);

/* ---- Rendering ---------------------------------------------------------------- */

/** Stops the running request on the connection (also one waiting for the
 * server to read what it sends; the request returns VR_CANCELLED), and
 * reconnects it under the same handle with the same callback and user data.
 * Returns once the request has ended; requests that were waiting behind it on
 * other threads return VR_CANCELLED too, later ones run on the new
 * connection. VR_SUCCESS, VR_BAD_HANDLE, VR_SEND_FAILED (the connection was
 * not open; nothing changes; a stream the server reset counts as open and is
 * rebuilt), VR_CONNECT_FAILED (the reconnection failed: the connection is
 * left unopened and may be opened again), VR_BUSY (from inside the
 * callback). */
VR_API vr_result VR_CDECL vrCancelRequest(vr_handle connection);

/**@{*/
/** Store the packet callback, the Pascal-convention callback, or the user data
 * given to them. Effective from the next packet; callable at any time.
 * VR_SUCCESS or VR_BAD_HANDLE. */
VR_API vr_result VR_CDECL vrSetCallBack(vr_handle connection, vrCallBack callback);
VR_API vr_result VR_CDECL vrSetPascalCallBack(vr_handle connection, vrPascalCallBack callback);
VR_API vr_result VR_CDECL vrSetUserData(vr_handle connection, void* user_data);
/**@}*/

/**@{*/
/** Render a whole text (plain or marked up: both forms accept XML) and return
 * when the server has answered it; the answer's packets reach the callback
 * first. A NULL text is the empty text. Waits for a launched asynchronous
 * render to end first. VR_SUCCESS, VR_BAD_HANDLE, VR_SEND_FAILED, VR_ERROR
 * (the server failed: no full answer), VR_CANCELLED (vrCancelRequest, or the
 * callback refused a packet), VR_BUSY (from inside the callback). */
VR_API vr_result VR_CDECL vrRenderSpeech(vr_handle connection, const char* text);
VR_API vr_result VR_CDECL vrRenderSpeechXML(vr_handle connection, const char* text);
/**@}*/

/**@{*/
/** Streaming: push pieces of one text, then flush. A push hands its text to
 * the connection's tokeniser, which holds back the last 4096 bytes received
 * (the context it needs, since a word, tag or entity may go on in the next
 * push; a word that runs past that point is released whole) and any start
 * tags or white space with nothing to speak after them; what it releases is
 * sent, and the push returns after the server's answer to it. So pushes that
 * add up to less than 4096 bytes send nothing and produce no audio yet. Of
 * what it receives, the server speaks the words up to the last sentence end
 * and keeps the rest for what follows. An empty push sends nothing. The flush
 * sends everything held back and ends the request: to have text spoken as it
 * comes (a line a user typed), end a request there, with the flush or with
 * vrRenderSpeech. Results as for vrRenderSpeech. */
VR_API vr_result VR_CDECL vrPushSpeechStream(vr_handle connection, const char* text);
VR_API vr_result VR_CDECL vrPushSpeechStreamXML(vr_handle connection, const char* text);
VR_API vr_result VR_CDECL vrFlushSpeechStream(vr_handle connection);
VR_API vr_result VR_CDECL vrFlushSpeechStreamXML(vr_handle connection);
/**@}*/

/**@{*/
/** Asynchronous render on the connection's worker thread: returns once the worker
 * has taken the request over. The outcome reaches the callback: the answer's
 * packets, then exactly one PACKET_REQUEST_DONE (also when cancelled, failed or
 * stopped by the callback).
 * vrRenderSpeechAsync submits plain text, vrRenderSpeechXMLAsync marked-up text.
 * VR_SUCCESS, VR_BAD_HANDLE, VR_BUSY (the previous asynchronous render is
 * still inside its request, its PACKET_REQUEST_DONE callback included, or the
 * call comes from inside the callback), VR_ERROR (the worker thread could not
 * be started). Once the PACKET_REQUEST_DONE callback has returned, a new
 * launch is accepted (it first waits for the old worker thread to end). */
VR_API vr_result VR_CDECL vrRenderSpeechAsync(vr_handle connection, const char* text);
VR_API vr_result VR_CDECL vrRenderSpeechXMLAsync(vr_handle connection, const char* text);
/**@}*/

/* ---- Queries and voices ---------------------------------------------------- */

/** Sends a query text and reads the reply to its end; the reply's packets reach
 * the callback (PACKET_QUERY with the reply text). VR_SUCCESS, VR_BAD_HANDLE,
 * VR_SEND_FAILED, VR_ERROR (the server failed, or the callback refused a
 * packet of the reply), VR_CANCELLED (vrCancelRequest), VR_BUSY (from inside
 * the callback). */
VR_API vr_result VR_CDECL vrQueryServer(vr_handle connection, const char* query);

/** Reads the server's voice list into a new enumerator. Returns its handle, or
 * VR_BAD_HANDLE, VR_BUSY (from inside the callback), VR_ERROR (no memory). A
 * failed query, a list over 16 MiB, or one that is not well-formed XML, has a
 * document type declaration (no entities beyond the five predefined ones are
 * read) or a tag with more than 64 attributes, gives an enumerator with no
 * voices.
 * The list never reaches the application's callback; requests on other
 * threads wait behind it. Close it with vrCloseEnumerator. */
VR_API vr_handle VR_CDECL vrEnumerateConnectionVoices(vr_handle connection);

/** Number of voices, or VR_BAD_HANDLE. */
VR_API int32_t VR_CDECL vrNumVoices(vr_handle enumerator);

/** The next voice's name (owned by the enumerator), which becomes the current
 * voice; NULL at the end (the last voice stays current) or for a bad handle. */
VR_API const char* VR_CDECL vrNextVoice(vr_handle enumerator);

/** Back to before the first voice. VR_SUCCESS or VR_BAD_HANDLE. */
VR_API vr_result VR_CDECL vrRewindEnumerator(vr_handle enumerator);

/** Releases the enumerator and its strings. VR_SUCCESS (also for an unknown
 * handle). */
VR_API vr_result VR_CDECL vrCloseEnumerator(vr_handle enumerator);

/** String keys of vrGetVoiceStringValue: each names the voice attribute of the
 * same name. A voice element without the attribute reads as "". The reference
 * server's LANGUAGE_ID is the language with its region ("en-gb-scotland"),
 * and its LANGUAGES every language the voice speaks with a priority, lower
 * is better ("en-gb-scotland:5 en:4"). */
enum {
    VR_VOICE_ID = 3,
    VR_SEX = 4,
    VR_LANGUAGE = 5,
    VR_LANGUAGE_ID = 6,
    VR_COUNTRY = 7,
    VR_COUNTRY_ID = 8,
    VR_REGION = 9,
    VR_ACCENT = 10,
    VR_ACCENT_ID = 11,
    VR_VOICE_UUID = 12,
    VR_ENCODING = 13,
    VR_LANGUAGE_CODE_ISO = 14,
    VR_LANGUAGE_CODE_MICROSOFT = 15,
    VR_COUNTRY_CODE_ISO = 16,
    VR_LANGUAGES = 17
};
/** Integer keys of vrGetVoiceIntegerValue: the attribute's leading decimal
 * digits (after white space and a '+'). A missing attribute, or one whose
 * value has no digits, is negative or is over 2147483647, reads as 0, so that
 * no value reads as a result code. */
enum { VR_SAMPLE_RATE = 1, VR_SAMPLE_BITS = 2 };

/** The current voice's string for keys 3 to 17 (owned by the enumerator); NULL
 * for another key, with no current voice, or for a bad handle. */
VR_API const char* VR_CDECL vrGetVoiceStringValue(vr_handle enumerator, int32_t key);

/** The current voice's SAMPLE_RATE (key 1) or SAMPLE_BITS (key 2), or
 * VR_BAD_HANDLE, VR_NO_CURRENT_VOICE (checked first), VR_BAD_KEY. */
VR_API int32_t VR_CDECL vrGetVoiceIntegerValue(vr_handle enumerator, int32_t key);

/** Selects a voice by exact (case-sensitive) name after checking the server's
 * list. VR_SUCCESS or VR_ERROR (not found, or not switched; a WARNING line says
 * which), VR_BUSY (from inside the callback; nothing printed). */
VR_API vr_result VR_CDECL vrSetVoice(vr_handle connection, const char* name);

/** Selects a voice without checking the list; returns the query's result.
 * VR_SUCCESS means the server answered, not that the voice changed: a server
 * that does not know the name answers with a PACKET_DATA_10 "error: ..."
 * message. The name may hold any characters: ' " & and < travel as XML
 * character references inside the attribute value. */
VR_API vr_result VR_CDECL vrSetVoiceFast(vr_handle connection, const char* name);

/* ---- Sample conversion --------------------------------------------------------- */

/**@{*/
/** One 16-bit linear sample to an 8-bit G.711 mu-law or A-law code. Stateless. */
VR_API uint8_t VR_CDECL vrSampleToUlaw(int16_t sample);
VR_API uint8_t VR_CDECL vrSampleToAlaw(int16_t sample);
/**@}*/

#ifdef __cplusplus
}
#endif

#endif /* VRELAY_H */
