// SPDX-License-Identifier: MIT
#include "textproc/tokeniser/tpc.h"

#include <cstdio>
#include <cstring>

#include "textproc/scanner/config.h"
#include "textproc/tokeniser/tpc_tk.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/string_ops.h"

namespace {

// The five operations of a channel type.
struct TypeOps {
    int (*init)(KVTP_tpc*);
    int (*reset)(KVTP_tpc*);
    int (*reset_tpdb)(KVTP_tpc*);
    void (*destroy)(KVTP_tpc*);
    void (*process)(KVTP_tpc*, const char*, int32_t, int32_t);
};

// The linguistic pipeline is not part of this library: its types accept text
// and produce nothing.
int stub_op(KVTP_tpc*) {
    return 1;
}
void stub_delete(KVTP_tpc*) {}
void stub_process(KVTP_tpc*, const char*, int32_t, int32_t) {}

constexpr TypeOps kStub = {stub_op, stub_op, stub_op, stub_delete, stub_process};
constexpr TypeOps kTk = {KVTP_tpc_tk_init, KVTP_tpc_tk_reset, KVTP_tpc_tk_reset_tpdb,
                         KVTP_tpc_tk_delete, KVTP_tpc_tk_process};

// Null for a type outside 0..7: such a channel runs none of them.
const TypeOps* ops_of(const KVTP_tpc* channel) {
    if (channel->type < KVTP_TPC_FULL || channel->type > KVTP_TPC_BUILD)
        return nullptr;
    return channel->type == KVTP_TPC_TK ? &kTk : &kStub;
}

// Database objects. No database exists in this library, so every lookup
// yields null; the hooks keep the channel's fields in step with its database.
void* tpdb_object(KVTP_tpdb* tpdb, const char* name) {
    (void)tpdb;
    (void)name;
    return nullptr;
}

void lookup_database_objects(KVTP_tpc* channel) {
    channel->sapi_visemes = tpdb_object(channel->tpdb, "SAPI_VISEMES");
    channel->disney_visemes = tpdb_object(channel->tpdb, "DISNEY_VISEMES");
    channel->sapi_phoneids = tpdb_object(channel->tpdb, "SAPI_PHONEIDS");
    channel->mac_phoneids = tpdb_object(channel->tpdb, "MAC_PHONEIDS");
    channel->lexmgr = tpdb_object(channel->tpdb, "TPOBJ_LEXMGR:DEFAULT");
    channel->ltsmgr = tpdb_object(channel->tpdb, "TPOBJ_LTSMGR:DEFAULT");
}

bool is_metadata_end(int32_t found, const char* tag) {
    static const char kEnd[] = "</metadata";
    const size_t n = sizeof kEnd - 1;
    if (found == 0 || tag == nullptr || strncmp(tag, kEnd, n) != 0)
        return false;
    char c = tag[n];
    return c == '>' || KVTP_is_whitespace(c);
}

}  // namespace

KVTP_configsettings* KVTP_tpc_config_settings(const char* config_path) {
    KVTP_config* override_config = nullptr;
    if (config_path != nullptr) {
        override_config = KVTP_config_new("tpconfig", -1);
        if (override_config != nullptr && !KVTP_config_loadf(override_config, config_path)) {
            KVTP_config_delete(override_config);
            override_config = nullptr;
        }
    }
    KVTP_configsettings* settings = KVTP_configsettings_new_shared(override_config);
    if (settings == nullptr)
        KVTP_config_delete(override_config);
    return settings;
}

KVTP_tpc* KVTP_tpc_newtype(KVTP_tpdb* tpdb, const char* config_path, int32_t xml, const char* jobid,
                           int32_t type) {
    auto* channel = static_cast<KVTP_tpc*>(KVTP_malloc(sizeof(KVTP_tpc)));
    if (channel == nullptr)
        return nullptr;
    channel->tpdb = tpdb;
    channel->type = type;
    channel->settings = KVTP_tpc_config_settings(config_path);
    // A database configuration object would be the second layer here; there
    // is no database, so the settings stay as built.
    channel->logger = KVTP_logger_new("TPC", 3, channel->settings);
    channel->work = KVTP_dystr_newcustom(nullptr, -1, 1024, 5120);
    channel->output = KVTP_dystr_newcustom(nullptr, -1, 1024, 1024);
    channel->jobid = KVTP_strdup("");
    if (channel->settings == nullptr || channel->logger == nullptr || channel->work == nullptr ||
        channel->output == nullptr || channel->jobid == nullptr) {
        KVTP_tpc_delete(channel);
        return nullptr;
    }
    lookup_database_objects(channel);
    const TypeOps* ops = ops_of(channel);
    if (ops == nullptr) {
        KVTP_logger_set_error(channel->logger, KVTP_ERR_CRITICAL_MESSAGE, "Invalid channel type",
                              "");
    } else if (!ops->init(channel)) {
        KVTP_tpc_delete(channel);
        return nullptr;
    }
    KVTP_tpc_reset(channel, xml, jobid);
    // Reported after the first reset, which clears the logger's counts: the
    // warning is then still there for the caller to see.
    if (config_path != nullptr) {
        FILE* f = fopen(config_path, "r");
        if (f == nullptr) {
            KVTP_logger_set_error(channel->logger, KVTP_ERR_MISSING_FILE,
                                  "tpc config does not exist", config_path);
        } else {
            fclose(f);
        }
    }
    return channel;
}

KVTP_tpc* KVTP_tpc_new(KVTP_tpdb* tpdb, const char* config_path, int32_t xml, const char* jobid) {
    return KVTP_tpc_newtype(tpdb, config_path, xml, jobid, KVTP_TPC_FULL);
}

void KVTP_tpc_delete(KVTP_tpc* channel) {
    if (channel == nullptr)
        return;
    KVTP_free(channel->jobid);
    KVTP_logger_delete(channel->logger);
    channel->logger = nullptr;
    KVTP_dystr_delete(channel->work);
    KVTP_dystr_delete(channel->output);
    // Mappings and managers are database objects; without a database there
    // are none to free.
    const TypeOps* ops = ops_of(channel);
    if (ops != nullptr)
        ops->destroy(channel);
    KVTP_configsettings_delete(channel->settings);
    KVTP_free(channel);
}

int KVTP_tpc_set_jobid(KVTP_tpc* channel, const char* jobid) {
    if (channel == nullptr)
        return 0;
    if (jobid == nullptr)
        jobid = "";
    if (channel->jobid != nullptr && strcmp(channel->jobid, jobid) == 0)
        return 1;
    char* copy = KVTP_strdup(jobid);
    if (copy == nullptr)
        return 0;
    KVTP_free(channel->jobid);
    channel->jobid = copy;
    return 1;
}

int KVTP_tpc_reset(KVTP_tpc* channel, int32_t xml, const char* jobid) {
    if (channel == nullptr)
        return 0;
    channel->xml = xml != 0 ? 1 : 0;
    KVTP_tpc_set_jobid(channel, jobid);
    KVTP_logger_module_reset(channel->logger);
    const TypeOps* ops = ops_of(channel);
    if (ops != nullptr)
        ops->reset(channel);
    channel->finished = 1;
    return 1;
}

int KVTP_tpc_reset_tpdb(KVTP_tpc* channel, KVTP_tpdb* tpdb) {
    if (channel == nullptr)
        return 0;
    channel->tpdb = tpdb;
    lookup_database_objects(channel);
    const TypeOps* ops = ops_of(channel);
    if (ops != nullptr)
        ops->reset_tpdb(channel);
    return 1;
}

const char* KVTP_tpc_process(KVTP_tpc* channel, const char* text, int32_t len, int32_t final) {
    if (channel == nullptr)
        return KVTP_empty_string;
    channel->finished = 0;
    KVTP_dystr_clear(channel->output);
    if (text == nullptr)
        len = 0;
    if (len < 0)
        len = static_cast<int32_t>(strlen(text));
    const TypeOps* ops = ops_of(channel);
    while (len > 0 || final != 0) {
        int32_t piece = len < KVTP_TPC_PIECE ? len : KVTP_TPC_PIECE;
        int32_t piece_final = (final != 0 && piece == len) ? final : 0;
#ifdef VRELAY_TEST_HOOKS
        if (channel->piece_hook != nullptr) {
            channel->piece_hook(channel->piece_hook_data, piece, piece_final);
        }
#endif
        if (ops != nullptr)
            ops->process(channel, text, piece, piece_final);
        text += piece;
        len -= piece;
        if (len == 0)
            break;
    }
    if (final != 0) {
        channel->finished = 1;
        KVTP_tpc_reset(channel, channel->xml, channel->jobid);
    }
    return channel->output != nullptr ? KVTP_dystr_cstr(channel->output) : KVTP_empty_string;
}

int KVTP_tpc_set_text_callback(KVTP_tpc* channel, KVTP_tpc_callback callback, void* userdata) {
    if (channel == nullptr)
        return 0;
    channel->text_callback = callback;
    channel->userdata = userdata;
    return 1;
}

int KVTP_tpc_set_application_callback(KVTP_tpc* channel, KVTP_tpc_callback callback,
                                      void* userdata) {
    if (channel == nullptr)
        return 0;
    channel->application_callback = callback;
    channel->userdata = userdata;
    return 1;
}

int KVTP_tpc_set_final_text_callback(KVTP_tpc* channel, KVTP_tpc_final_text_callback callback,
                                     void* userdata) {
    if (channel == nullptr)
        return 0;
    channel->final_text_callback = callback;
    channel->userdata = userdata;
    return 1;
}

int KVTP_tpc_set_phrase_callback(KVTP_tpc* channel, KVTP_tpc_phrase_callback callback,
                                 void* userdata, int32_t a, int32_t b) {
    if (channel == nullptr)
        return 0;
    channel->phrase_callback = callback;
    channel->userdata = userdata;
    channel->phrase_a = a;
    channel->phrase_b = b;
    return 1;
}

#ifdef VRELAY_TEST_HOOKS
int KVTP_tpc_set_piece_hook(KVTP_tpc* channel, KVTP_tpc_piece_hook hook, void* userdata) {
    if (channel == nullptr)
        return 0;
    channel->piece_hook = hook;
    channel->piece_hook_data = userdata;
    return 1;
}
#endif

void* KVTP_tpc_sapi_visemes(const KVTP_tpc* channel) {
    return channel != nullptr ? channel->sapi_visemes : nullptr;
}

void* KVTP_tpc_disney_visemes(const KVTP_tpc* channel) {
    return channel != nullptr ? channel->disney_visemes : nullptr;
}

void* KVTP_tpc_sapi_phoneids(const KVTP_tpc* channel) {
    return channel != nullptr ? channel->sapi_phoneids : nullptr;
}

void* KVTP_tpc_mac_phoneids(const KVTP_tpc* channel) {
    return channel != nullptr ? channel->mac_phoneids : nullptr;
}

KVTP_dystr* KVTP_tpc_builtin_cb_app_filter(KVTP_tpc* channel, int32_t found, const char* tag,
                                           KVTP_dystr* text) {
    (void)channel;
    return is_metadata_end(found, tag) ? nullptr : text;
}

void KVTP_tpc_builtin_cb_app(KVTP_tpc* channel, int32_t found, const char* tag, KVTP_dystr* text) {
    if (channel == nullptr || text == nullptr || is_metadata_end(found, tag))
        return;
    KVTP_dystr_append(channel->output, KVTP_dystr_cstr(text), KVTP_dystr_sz(text));
}
