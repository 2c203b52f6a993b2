// SPDX-License-Identifier: MIT
// The built-in configuration document and the two-layer lookup.
#include "textproc/scanner/configsettings.h"

#include <new>

#include "textproc/toolkit/oswrappers.h"

// Fed to the scanner with nothing between the lines; every line after the
// first starts with spaces so that attributes stay apart.
const char* const KVTP_tpconfig_default_lines[] = {
    "<tpconfig>",
    "  <log log='True' logdir='.' logname='tpc' loglevel='info'",
    "       logmoduleoutput='False' logstore='False' logmoduleclear='True'",
    "       logtofile='False' logstderr='False' logstdout='False'/>",
    "  <tokenise processing_mode='lax' context_size='4096'/>",
    "  <toxparse hzone='True' context_size='4096' max_token_length='128'",
    "       hzone_start='45' hzone_end='100'/>",
    "  <toxparselite max_token_length='30'/>",
    "  <phrasing max_phrase_length='30' by_utterance='True'",
    "       max_utterance_length='10' phrase_length_window='10'/>",
    "  <normalise trace='0' active='True'/>",
    "  <postagger iterations='6'/>",
    "  <pronounce novowel_spell='True'/>",
    "  <syllabify slang=''/>",
    "  <archiphone match_all_phones='False'/>",
    "  <lgout max_phone_word='120' max_chars_word='30' max_pos_word='1'",
    "       max_phrase_sentence='50' max_word_sentence='50'",
    "       max_syllable_sentence='6000'/>",
    "</tpconfig>",
    "",
};

KVTP_config* KVTP_config_new_default() {
    KVTP_config* c = KVTP_config_new("tpconfig", -1);
    if (c != nullptr && !KVTP_config_loads(c, KVTP_tpconfig_default_lines)) {
        KVTP_config_delete(c);
        return nullptr;
    }
    return c;
}

const KVTP_config* KVTP_config_shared_default() {
    // Lookups write nothing, so threads may share it; it is never freed, so
    // a channel still open at exit keeps a valid pointer.
    static const KVTP_config* shared = KVTP_config_new_default();
    return shared;
}

namespace {

KVTP_configsettings* make_settings(const KVTP_config* default_config, KVTP_config* override_config,
                                   int32_t owns_default) {
    void* mem = KVTP_malloc(sizeof(KVTP_configsettings));
    if (mem == nullptr) {
        return nullptr;
    }
    return new (mem) KVTP_configsettings{default_config, override_config, owns_default};
}

}  // namespace

KVTP_configsettings* KVTP_configsettings_new(KVTP_config* default_config,
                                             KVTP_config* override_config) {
    return make_settings(default_config, override_config, 1);
}

KVTP_configsettings* KVTP_configsettings_new_shared(KVTP_config* override_config) {
    const KVTP_config* defaults = KVTP_config_shared_default();
    return defaults == nullptr ? nullptr : make_settings(defaults, override_config, 0);
}

void KVTP_configsettings_delete(KVTP_configsettings* s) {
    if (s == nullptr) {
        return;
    }
    KVTP_config_delete(s->override_config);
    if (s->owns_default) {
        KVTP_config_delete(const_cast<KVTP_config*>(s->default_config));
    }
    KVTP_free(s);
}

const char* KVTP_configsettings_lookup(const KVTP_configsettings* s, const char* group,
                                       int32_t glen, const char* attr, int32_t alen) {
    if (s == nullptr || attr == nullptr) {
        return nullptr;
    }
    const char* v = KVTP_config_lookup(s->override_config, group, glen, attr, alen);
    return v != nullptr ? v : KVTP_config_lookup(s->default_config, group, glen, attr, alen);
}
