// SPDX-License-Identifier: MIT
// The text-processing channel: the object through which text enters the
// library and tokenised text comes out. It owns its configuration settings,
// its logger "TPC", its buffers and the processing object of its type, and it
// hands results to its callbacks.
//
// Types 0 to 7 exist; type 3 (`tk`, tokenise only) is the one implemented in
// full. The linguistic pipeline types (0, 1, 2, 4, 5, 6, 7) are present as
// stubs that accept text and produce nothing. A type outside 0..7 is recorded
// as error 17 "Invalid channel type" and processes nothing.
//
// A channel is used by one thread at a time; callbacks run on the calling
// thread inside KVTP_tpc_process and must not call back into the channel's
// process, reset or delete.
#ifndef VRELAY_TEXTPROC_TPC_H
#define VRELAY_TEXTPROC_TPC_H

#include <cstdint>

#include "textproc/scanner/configsettings.h"
#include "textproc/scanner/logger.h"
#include "textproc/toolkit/dystr.h"

// The text-processing database. No database is built here: every channel
// runs without one, and the lookups that would use it yield null.
struct KVTP_tpdb;

// Text and application-tag callbacks: user data, text, length in bytes.
typedef void (*KVTP_tpc_callback)(void* userdata, const char* text, int length);
// Text callback that is also told where the text stands: final is 1 for the
// text that ends a final call (the tokeniser has appended the final mark and
// closed what was open), 0 for any other.
typedef void (*KVTP_tpc_final_text_callback)(void* userdata, const char* text, int length,
                                             int final);
// Phrase callback of the pipeline types.
typedef void (*KVTP_tpc_phrase_callback)(void* userdata, const char* text, int length);
// Observer of each piece handed to the type's process (diagnostics, tests).
typedef void (*KVTP_tpc_piece_hook)(void* userdata, int32_t length, int32_t final);

enum KVTP_tpc_type : int32_t {
    KVTP_TPC_FULL = 0,
    KVTP_TPC_SENTENCE = 1,
    KVTP_TPC_SERVER = 2,
    KVTP_TPC_TK = 3,
    KVTP_TPC_NORM = 4,
    KVTP_TPC_SPURT = 5,
    KVTP_TPC_ABOOK = 6,
    KVTP_TPC_BUILD = 7,
};

// Bytes handed to the type's process at a time.
constexpr int32_t KVTP_TPC_PIECE = 4096;

struct KVTP_tpc {
    int32_t type;                   // 0..7
    char* jobid;                    // owned; "" when none was given
    int32_t xml;                    // 1: input is XML
    KVTP_configsettings* settings;  // built-in configuration (+ optional override)
    KVTP_logger* logger;            // "TPC"
    KVTP_tpdb* tpdb;                // borrowed; null without a database
    int32_t finished;               // 1 after a final call and after a reset
    KVTP_dystr* work;               // work buffer
    KVTP_dystr* output;             // text of the built-in text handling
    void* processor;                // for `tk`: the tokeniser
    void* userdata;                 // first argument of every callback
    KVTP_tpc_phrase_callback phrase_callback;
    int32_t phrase_a;
    int32_t phrase_b;
    KVTP_tpc_callback text_callback;         // null: built-in handling
    KVTP_tpc_callback application_callback;  // null: built-in metadata filter
    void* sapi_visemes;                      // phone-set mappings (database objects)
    void* disney_visemes;
    void* sapi_phoneids;
    void* mac_phoneids;
    void* lexmgr;  // lexicon and letter-to-sound managers (database objects)
    void* ltsmgr;
    // Set: takes the text in place of text_callback.
    KVTP_tpc_final_text_callback final_text_callback;
#ifdef VRELAY_TEST_HOOKS
    KVTP_tpc_piece_hook piece_hook;
    void* piece_hook_data;
#endif
};

// Builds a channel of the given type: settings from the built-in
// configuration plus the file at config_path when given (error 12 "tpc config
// does not exist" when it cannot be read), logger, buffers and the type's
// processing object, then resets it with xml and jobid. Null only when memory
// runs out.
KVTP_tpc* KVTP_tpc_newtype(KVTP_tpdb* tpdb, const char* config_path, int32_t xml, const char* jobid,
                           int32_t type);
// KVTP_tpc_newtype with type 0.
KVTP_tpc* KVTP_tpc_new(KVTP_tpdb* tpdb, const char* config_path, int32_t xml, const char* jobid);
// Frees everything the channel owns; null is accepted.
void KVTP_tpc_delete(KVTP_tpc* channel);

// Starts a new document. Returns 1, 0 for a null channel.
int KVTP_tpc_reset(KVTP_tpc* channel, int32_t xml, const char* jobid);
// Switches to another database.
int KVTP_tpc_reset_tpdb(KVTP_tpc* channel, KVTP_tpdb* tpdb);
// A null job id means "".
int KVTP_tpc_set_jobid(KVTP_tpc* channel, const char* jobid);

// Feeds `len` bytes of text (len < 0: up to the NUL) in pieces of at most
// KVTP_TPC_PIECE bytes; a final call ends the document and resets the
// channel. Returns the text collected by the built-in text handling (the empty
// string when a text callback takes the text).
const char* KVTP_tpc_process(KVTP_tpc* channel, const char* text, int32_t len, int32_t final);

// Store a callback and the (shared) user data; a null callback selects the
// built-in handling. Return 1, 0 for a null channel.
int KVTP_tpc_set_text_callback(KVTP_tpc* channel, KVTP_tpc_callback callback, void* userdata);
int KVTP_tpc_set_application_callback(KVTP_tpc* channel, KVTP_tpc_callback callback,
                                      void* userdata);
// While a final-text callback is set, it takes the text in place of the text
// callback. Returns 1, 0 for a null channel.
int KVTP_tpc_set_final_text_callback(KVTP_tpc* channel, KVTP_tpc_final_text_callback callback,
                                     void* userdata);
int KVTP_tpc_set_phrase_callback(KVTP_tpc* channel, KVTP_tpc_phrase_callback callback,
                                 void* userdata, int32_t a, int32_t b);
#ifdef VRELAY_TEST_HOOKS
// Test builds only: hook(userdata, piece length, final) before each piece.
int KVTP_tpc_set_piece_hook(KVTP_tpc* channel, KVTP_tpc_piece_hook hook, void* userdata);
#endif

// Phone-set mappings; 0 for a null channel or without a database.
void* KVTP_tpc_sapi_visemes(const KVTP_tpc* channel);
void* KVTP_tpc_disney_visemes(const KVTP_tpc* channel);
void* KVTP_tpc_sapi_phoneids(const KVTP_tpc* channel);
void* KVTP_tpc_mac_phoneids(const KVTP_tpc* channel);

// The settings a channel builds: the built-in configuration plus the file at
// config_path when it loads. Null on failure.
KVTP_configsettings* KVTP_tpc_config_settings(const char* config_path);

// Built-in text handling: appends text to the channel's output buffer, except
// text released with a metadata end tag.
void KVTP_tpc_builtin_cb_app(KVTP_tpc* channel, int32_t found, const char* tag, KVTP_dystr* text);
// Built-in application filter: null (drop the text) when an application tag
// was found and it is a metadata end tag; otherwise text.
KVTP_dystr* KVTP_tpc_builtin_cb_app_filter(KVTP_tpc* channel, int32_t found, const char* tag,
                                           KVTP_dystr* text);

#endif  // VRELAY_TEXTPROC_TPC_H
