// SPDX-License-Identifier: MIT
// The channel callbacks a connection gets when it is opened: text_callback
// sends each tokenised piece and reads its answer; application_callback acts
// on voice elements inside the text (ends what was sent so far, then selects
// the named voice).
#ifndef VRELAY_CLIENT_VOICE_SWITCH_H
#define VRELAY_CLIENT_VOICE_SWITCH_H

#include <cstdint>
#include <string>

namespace vrelay {

class ThreadedConnection;

// What both callbacks receive as user data: the connection whose channel
// calls them. The connection owns the context (malloc'd; freed with the
// connection), so the pointer is valid whenever its channel runs, and the
// callbacks act on exactly the connection whose request is running, whose
// lock that request holds.
struct TokeniserCallbackContext {
    ThreadedConnection* connection;
};

// Installs both callbacks on connection, replacing (and freeing) an earlier
// context. The caller holds the connection's lock.
void InstallVoiceSwitch(ThreadedConnection& connection);

// The channel's callbacks. Only text up to its first NUL is used. A failed
// answer ends the request as failed: nothing more of it is sent.
void text_callback(void* userData, const char* text, int length) noexcept;
void application_callback(void* userData, const char* tag, int length) noexcept;

// The value of the name attribute of an opening voice tag ("<voice ...>"),
// read as the in-text switch reads it: attributes name="value" or
// name='value' in turn up to the first ">", white space between them. False
// when there is none or the tag is malformed.
bool VoiceTagName(const char* tag, std::string* name);

}  // namespace vrelay

#endif
