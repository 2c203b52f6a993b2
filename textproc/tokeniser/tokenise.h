// SPDX-License-Identifier: MIT
// The tokeniser: the processing object of the tokenising channel type.
//
// It takes text in arbitrary pieces, buffers it, repairs its encoding, splits
// it into tokens with a fixed set of regular expressions and writes cleaned
// XML in which every word is preceded by a numbered mark
// <mark name="kvtk_C_B_N_L"/> (character offset, byte offset, characters and
// bytes of the word in the submitted text). In XML mode it keeps a stack of
// open elements, repairs bad nesting (lax modes) and stops at application
// tags (voice, metadata, audio) so that the channel can hand the text before a
// tag and the tag itself to separate callbacks. A final call appends
// <mark name="kvox_final"/> and closes what is still open.
#ifndef VRELAY_TEXTPROC_TOKENISE_H
#define VRELAY_TEXTPROC_TOKENISE_H

#include <cstdint>

#include "textproc/toolkit/dystr.h"

struct KVTP_tpc;
struct KVTP_tokenise;

// Reads `processing_mode` and `context_size` of group `tokenise` from the
// channel's settings and compiles the patterns (a pattern that does not
// compile is reported on the channel's logger as error 17 "Missing XML
// regex"). A null channel gives the defaults and no logging. Null on
// allocation failure.
KVTP_tokenise* KVTP_tokenise_new(KVTP_tpc* channel);
// Null is accepted.
void KVTP_tokenise_delete(KVTP_tokenise* tk);
// Starts a new document; copies the channel's XML-input flag. Reports error 2
// "Tokenise context lost" when a document was still open.
void KVTP_tokenise_reset(KVTP_tokenise* tk, KVTP_tpc* channel);
// Re-reads the database objects (there are none without a database).
void KVTP_tokenise_reset_tpdb(KVTP_tokenise* tk, KVTP_tpc* channel);
// Server mode: no markup repair, no marks, application tags "lexicon" and
// "audio".
void KVTP_tokenise_set_server_mode(KVTP_tokenise* tk);

// Appends `len` bytes of text (len < 0: up to the NUL; null text: nothing) and
// tokenises. Returns the output buffer holding the text released by this call;
// null only for a null tokeniser.
//
// mode non-zero: final (the channel passes 2 when resuming after an
// application tag). Everything received is tokenised, the final mark is
// appended and open elements are closed, unless an application tag stops the
// call first.
//
// mode 0: more text follows. The call tokenises the input received so far up
// to its limit, which keeps the last context-size bytes (4096 by default) back
// for the next call; below that nothing is tokenised. Two rules decide where
// the call really ends and what it releases, so that the output never depends
// on where the caller cut its pieces:
//  - A word is never cut at the limit. The limit is only checked between
//    tokens, and a word (a run of text, character and entity tokens) open
//    there is read past it to its end. Only a word that runs to the end of the
//    input received so far, which needs one longer than the context, ends
//    there and goes on as a new word in the next call.
//  - Output without content is held back. Content is a word, CDATA, or any
//    tag other than a start tag (an end tag or an empty element). When a call
//    stops at no application tag and no content was written since the call
//    after the last application tag (or since the start of the document), the
//    call releases nothing: what it wrote (start tags, white space, the
//    elements reopened after the application tag) is kept and released at the
//    front of the next call's output, once content, an application tag or the
//    final call comes. So a piece of bare start tags is never sent alone.
// Tests: TokeniseFlow.NonFinalCallsReleaseWholeWordsAndNoBareMarkup pins both
// rules; TokeniseProperty.OutputDoesNotDependOnHowTheTextIsSplit and
// EveryBlankSeparatedWordIsMarkedOnceWhateverTheSplit check their purpose.
KVTP_dystr* KVTP_tokenise_process(KVTP_tokenise* tk, const char* text, int32_t len, int32_t mode);

// The application tag that stopped the last call (or the one stored from
// before), its length, whether the last call stopped at it, and whether
// content (a word, CDATA, an empty element) was written since the previous
// application tag. Any out-parameter may be null.
const char* KVTP_tokenise_application_tag(KVTP_tokenise* tk, int32_t* len, int32_t* found,
                                          int32_t* pending);

// Escapes one token for XML and puts it in normalisation form C: "<" and ">"
// become entities, "&" stays only before an entity reference, invalid UTF-8
// and forbidden characters become "_". Returns the tokeniser's work buffer
// (valid until the next tokeniser call) and its length in *out_len.
const char* KVTP_tokenise_escaped_xml(KVTP_tokenise* tk, const char* text, int32_t len,
                                      int32_t* out_len);

// Just after the "<" of a start tag: the name runs to the first white space,
// without a closing ">" (len < 0: up to the NUL).
const char* KVTP_tokenise_opentagname(const char* tag, int32_t len, int32_t* name_len);
// The attribute text after the name and its leading white space, without the
// final ">"; an empty string and 0 when the tag has none.
const char* KVTP_tokenise_opentagattr(const char* tag, int32_t len, int32_t* attr_len);

// Close-tag check for an end tag met in XML mode: fills the repair text,
// updates the open-element stack and returns 1 when the end tag is to be
// copied, 0 when it is dropped (repaired away, or an application end tag,
// which sets the found flag and re-inserts the enclosing start tags into the
// input at offset insert_at, just after the end tag). The repair text is in
// *repair (valid until the next call).
int KVTP_tokenise_check_closetags(KVTP_tokenise* tk, const char* tag, int32_t len,
                                  int32_t insert_at, const char** repair, int32_t* repair_len);
// End of document: closes an open CDATA section, comment and the open
// elements, each with its marker, into the output buffer.
int KVTP_tokenise_close_off_tags(KVTP_tokenise* tk);

#ifdef VRELAY_TEST_HOOKS
// Test builds only (VRELAY_TEST_HOOKS), as the state readers below.
// Reference mode (non-zero) sends every token through the general path and
// matches every candidate pattern with the compiled expressions, bypassing the
// hand-written scanners and fast paths; the output must be the same. Slow:
// meant for tests, on valid UTF-8 text.
void KVTP_tokenise_set_reference_mode(KVTP_tokenise* tk, int32_t on);

// State read by tests.
int32_t KVTP_tokenise_context_size(const KVTP_tokenise* tk);
int32_t KVTP_tokenise_processing_mode(const KVTP_tokenise* tk);
int32_t KVTP_tokenise_marks_enabled(const KVTP_tokenise* tk);
// Number of patterns that failed to compile (0 when all are there).
int32_t KVTP_tokenise_missing_patterns(const KVTP_tokenise* tk);
// 0 UTF-8, 1 UTF-16 big-endian, 2 UTF-8 with stray bytes, 3 UTF-16
// little-endian.
int32_t KVTP_tokenise_detected_encoding(const KVTP_tokenise* tk);
// Elements open in the output.
int32_t KVTP_tokenise_open_elements(const KVTP_tokenise* tk);
// Bytes received and not yet tokenised.
int32_t KVTP_tokenise_pending_input(const KVTP_tokenise* tk);
#endif  // VRELAY_TEST_HOOKS

#endif  // VRELAY_TEXTPROC_TOKENISE_H
