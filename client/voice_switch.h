// The channel callbacks a connection gets when it is opened: text_callback
// sends each tokenised piece and reads its answer; application_callback acts
// on voice elements inside the text (ends what was sent so far, then selects
// the named voice).
#ifndef VRELAY_CLIENT_VOICE_SWITCH_H
#define VRELAY_CLIENT_VOICE_SWITCH_H

#include <cstdint>
#include <string>

namespace vrelay {

// What both callbacks receive as user data: the connection's handle, looked
// up afresh on every call. Allocated with malloc; the connection frees it.
struct TokeniserCallbackContext {
    int32_t handle;
};

// Installs both callbacks on the connection behind handle, replacing (and
// freeing) an earlier context. Does nothing if the handle is gone.
void InstallVoiceSwitch(int32_t handle);

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
