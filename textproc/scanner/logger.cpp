// SPDX-License-Identifier: MIT
// Logger: counting, filtering by threshold, and writing to the configured
// destinations.
#include "textproc/scanner/logger.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "textproc/toolkit/intarray.h"
#include "textproc/toolkit/oswrappers.h"
#include "textproc/toolkit/strarray.h"
#include "textproc/toolkit/string_ops.h"

struct KVTP_logger {
    char* name = nullptr;
    const char* module = nullptr;  // borrowed from the last module-logging call
    int32_t errors = 0;
    int32_t warnings = 0;
    int32_t messages = 0;
    KVTP_intarray* stored_levels = nullptr;
    KVTP_strarray* stored_lines = nullptr;
    int32_t level = KVTP_LOG_DEBUG;
    int32_t on = 0;
    int32_t store = 0;
    int32_t to_file = 0;
    int32_t to_stdout = 0;
    int32_t to_stderr = 0;
    int32_t module_output = 0;
    int32_t module_clear = 0;
    char* dir = nullptr;
    char* path = nullptr;
    KVTP_dystr* line = nullptr;
};

namespace {

const char* const kLevelNames[] = {"DEBUG", "INFO", "WARN", "ERROR", "CRITICAL", "NONE"};

struct ErrorCode {
    int32_t level;
    const char* name;
};

const ErrorCode kErrors[KVTP_ERR_COUNT] = {
    {KVTP_LOG_WARN, "Attempted set of unknown error type"},
    {KVTP_LOG_CRITICAL, "Expat parse error"},
    {KVTP_LOG_WARN, "Channel reset caused data loss"},
    {KVTP_LOG_ERROR, "XML/Text switch with no flush signal"},
    {KVTP_LOG_CRITICAL, "Failed to open text processing database for reading"},
    {KVTP_LOG_CRITICAL, "Failed to open text processing database for writing"},
    {KVTP_LOG_WARN, "Warnings when opening text processing database for reading"},
    {KVTP_LOG_WARN, "Endianess of database and system differ"},
    {KVTP_LOG_WARN, "Database object is not valid"},
    {KVTP_LOG_CRITICAL, "Critical write error"},
    {KVTP_LOG_WARN, "Configuration file error"},
    {KVTP_LOG_INFO, "Message"},
    {KVTP_LOG_WARN, "Missing file"},
    {KVTP_LOG_ERROR, "Corrupt or incorrently formatted input file"},
    {KVTP_LOG_WARN, "File/dir already exists"},
    {KVTP_LOG_WARN, "Message"},
    {KVTP_LOG_WARN, "Log file missing"},
    {KVTP_LOG_CRITICAL, "Message"},
    {KVTP_LOG_ERROR, "Message"},
    {KVTP_LOG_DEBUG, "Message"},
};

const char* or_empty(const char* s) {
    return s == nullptr ? "" : s;
}

// dir + "/" + file + ext as an owned string.
char* join_path(const char* dir, const char* file, const char* sep2, const char* file2,
                const char* ext) {
    size_t n = strlen(dir) + 1 + strlen(file) + strlen(sep2) + strlen(file2) + strlen(ext) + 1;
    char* p = static_cast<char*>(KVTP_malloc(n));
    if (p != nullptr) {
        snprintf(p, n, "%s/%s%s%s%s", dir, file, sep2, file2, ext);
    }
    return p;
}

void set_dir(KVTP_logger* l, const char* dir) {
    KVTP_free(l->dir);
    KVTP_free(l->path);
    l->dir = KVTP_strdup(dir);
    l->path = l->dir == nullptr ? nullptr : join_path(l->dir, l->name, "", "", ".log");
}

void count(KVTP_logger* l, int32_t level) {
    if (level == KVTP_LOG_WARN) {
        ++l->warnings;
    } else if (level >= KVTP_LOG_ERROR) {
        ++l->errors;
    }
    ++l->messages;
}

// The current time as ctime text with spaces as "_" and no line break.
void time_stamp(char* out, size_t size) {
    time_t now = time(nullptr);
    char buf[64];
    if (ctime_r(&now, buf) == nullptr) {
        snprintf(out, size, "?");
        return;
    }
    size_t n = 0;
    for (const char* c = buf; *c != '\0' && *c != '\n' && n + 1 < size; ++c) {
        out[n++] = *c == ' ' ? '_' : *c;
    }
    out[n] = '\0';
}

// Writes one line to every destination. When the log file cannot be opened,
// file logging stops, the failure is reported in its place (once, as file
// logging is then off) and the line itself is dropped: the result 0 tells the
// caller it was not written.
int write_line(KVTP_logger* l, int32_t level, const char* module, const char* title,
               const char* message, const char* detail) {
    // A line that no destination takes is not built: callers log whole
    // outputs at INFO, which would otherwise be copied and measured for
    // nothing. The counters were updated by the caller already.
    if (!l->to_file && !l->store && !l->to_stdout && !l->to_stderr && level < KVTP_LOG_ERROR) {
        return 1;
    }
    FILE* file = nullptr;
    if (l->to_file) {
        file = l->path == nullptr ? nullptr : fopen(l->path, "a");
        if (file == nullptr) {
            l->to_file = 0;
            KVTP_logger_set_error(l, KVTP_ERR_LOG_FILE_MISSING, "Logger cannot print to file",
                                  or_empty(l->path));
            return 0;
        }
    }
    char stamp[64];
    time_stamp(stamp, sizeof stamp);

    KVTP_dystr* s = l->line;
    KVTP_dystr_clear(s);
    KVTP_dystr_append4(s, or_empty(module), -1, " [", 2, KVTP_logger_level_name(level), -1, "] ",
                       2);
    KVTP_dystr_append4(s, or_empty(title), -1, " :", 2, " ", 1, or_empty(message), -1);
    if (detail != nullptr && detail[0] != '\0') {
        KVTP_dystr_append2(s, " : ", 3, detail, -1);
    }
    const char* text = KVTP_dystr_cstr(s);

    if (l->store) {
        if (KVTP_strarray_add(l->stored_lines, text, KVTP_dystr_sz(s))) {
            if (!KVTP_intarray_add(l->stored_levels, level)) {
                KVTP_strarray_remove_item(l->stored_lines, KVTP_strarray_sz(l->stored_lines) - 1);
            }
        }
    }
    if (l->to_stdout) {
        fprintf(stdout, "%s %s : %s\n", stamp, l->name, text);
    }
    if (l->to_stderr || level >= KVTP_LOG_ERROR) {
        fprintf(stderr, "%s %s : %s\n", stamp, l->name, text);
    }
    if (file != nullptr) {
        fprintf(file, "%s %s : %s\n", stamp, l->name, text);
        fclose(file);
    }
    return 1;
}

// Counts an event the logger itself raises and writes it when on and at or
// above the threshold.
void self_log(KVTP_logger* l, int32_t level, const char* title, const char* message,
              const char* detail) {
    ++l->messages;
    if (l->on && level >= l->level && l->level < KVTP_LOG_NONE) {
        write_line(l, level, "LOGGER", title, message, detail);
    }
}

int flag_value(const KVTP_configsettings* settings, const char* attr) {
    const char* v = KVTP_configsettings_lookup(settings, "log", 3, attr, -1);
    return v != nullptr && strncmp(v, "True", 4) == 0 ? 1 : 0;
}

void configure(KVTP_logger* l, const KVTP_configsettings* settings) {
    l->on = flag_value(settings, "log");
    l->store = flag_value(settings, "logstore");
    l->to_file = flag_value(settings, "logtofile");
    l->to_stdout = flag_value(settings, "logstdout");
    l->to_stderr = flag_value(settings, "logstderr");
    l->module_clear = flag_value(settings, "logmoduleclear");
    l->module_output = flag_value(settings, "logmoduleoutput");
    const char* dir = KVTP_configsettings_lookup(settings, "log", 3, "logdir", -1);
    if (dir != nullptr) {
        set_dir(l, dir);
    }
    l->level = KVTP_LOG_DEBUG;
    const char* level = KVTP_configsettings_lookup(settings, "log", 3, "loglevel", -1);
    if (level != nullptr) {
        int32_t found = -1;
        for (int32_t i = KVTP_LOG_DEBUG; i <= KVTP_LOG_NONE && found < 0; ++i) {
            if (KVTP_strcmp_nocase(level, kLevelNames[i])) {
                found = i;
            }
        }
        if (found < 0 && KVTP_strcmp_nocase(level, "ALL")) {
            found = KVTP_LOG_DEBUG;
        }
        if (found >= 0) {
            l->level = found;
        } else {
            ++l->errors;
            self_log(l, KVTP_LOG_ERROR, "log initialisation error", "Invalid log level", level);
        }
    }
    ++l->messages;
    if (l->on && l->level <= KVTP_LOG_INFO) {
        write_line(l, KVTP_LOG_INFO, "LOGGER", "log created",
                   "new log has been created successfully", nullptr);
    }
}

}  // namespace

KVTP_logger* KVTP_logger_new(const char* name, int32_t len, const KVTP_configsettings* settings) {
    void* mem = KVTP_malloc(sizeof(KVTP_logger));
    if (mem == nullptr) {
        return nullptr;
    }
    KVTP_logger* l = new (mem) KVTP_logger();
    l->name = KVTP_strndup(name == nullptr ? "" : name, name == nullptr ? 0 : len);
    l->stored_levels = KVTP_intarray_new();
    l->stored_lines = KVTP_strarray_new();
    l->line = KVTP_dystr_new(nullptr, 80);
    if (l->name == nullptr || l->stored_levels == nullptr || l->stored_lines == nullptr ||
        l->line == nullptr) {
        KVTP_logger_delete(l);
        return nullptr;
    }
    if (settings == nullptr) {
        l->on = 1;
        l->to_stderr = 1;
        l->module_output = 1;
        l->module_clear = 1;
        l->level = KVTP_LOG_DEBUG;
        ++l->messages;
        write_line(l, KVTP_LOG_INFO, "LOGGER", "log created",
                   "new log has been created with default values", nullptr);
    } else {
        configure(l, settings);
    }
    return l;
}

void KVTP_logger_delete(KVTP_logger* l) {
    if (l == nullptr) {
        return;
    }
    KVTP_free(l->name);
    KVTP_free(l->dir);
    KVTP_free(l->path);
    KVTP_intarray_delete(l->stored_levels);
    KVTP_strarray_delete(l->stored_lines);
    KVTP_dystr_delete(l->line);
    l->~KVTP_logger();
    KVTP_free(l);
}

int KVTP_logger_log(KVTP_logger* l, int32_t level, const char* module, const char* title,
                    const char* message, const char* detail) {
    if (l == nullptr) {
        return 0;
    }
    count(l, level);
    if (!l->on || level < l->level || l->level >= KVTP_LOG_NONE) {
        return 1;
    }
    return write_line(l, level, module, title, message, detail);
}

int KVTP_logger_set_error(KVTP_logger* l, int32_t code, const char* message, const char* detail) {
    if (l == nullptr) {
        return 0;
    }
    if (code < 0 || code >= KVTP_ERR_COUNT) {
        code = KVTP_ERR_UNKNOWN_TYPE;
    }
    const char* module = l->module == nullptr ? "PRE_DEF" : l->module;
    return KVTP_logger_log(l, kErrors[code].level, module, kErrors[code].name, message, detail);
}

int KVTP_logger_logmodule(KVTP_logger* l, const char* suffix, const char* module, int32_t mode,
                          const char* text) {
    if (l == nullptr) {
        return 0;
    }
    l->module = module;
    if (!l->module_output) {
        return 0;
    }
    if (l->level == KVTP_LOG_DEBUG) {
        KVTP_dystr* detail = KVTP_dystr_new(nullptr, 64);
        KVTP_dystr_printf(detail, "{\"module\":\"%s\",\"level\":\"%s\"}", or_empty(module),
                          KVTP_logger_level_name(l->level));
        self_log(l, KVTP_LOG_DEBUG, "Module logging started", "module logging has commenced",
                 KVTP_dystr_cstr(detail));
        KVTP_dystr_delete(detail);
    }
    if (!l->to_file) {
        return 1;
    }
    char* path = join_path(l->dir == nullptr ? "." : l->dir, module == nullptr ? "PRE_DEF" : module,
                           "_", or_empty(suffix), ".log");
    FILE* f = path == nullptr ? nullptr : fopen(path, (mode < 2 && mode != 0) ? "w" : "a");
    if (f == nullptr) {
        ++l->warnings;
        ++l->messages;
        if (l->on && l->level <= KVTP_LOG_WARN) {
            write_line(l, KVTP_LOG_WARN, module == nullptr ? "PRE_DEF" : module, "Missing file",
                       "Cannot open module log file", or_empty(path));
        }
        KVTP_free(path);
        return 0;
    }
    fputs(or_empty(text), f);
    fclose(f);
    KVTP_free(path);
    return 1;
}

int KVTP_logger_reset(KVTP_logger* l) {
    if (l == nullptr) {
        return 0;
    }
    KVTP_strarray_clear(l->stored_lines);
    KVTP_intarray_clear(l->stored_levels);
    l->errors = 0;
    l->warnings = 0;
    l->messages = 1;
    if (l->on && l->level == KVTP_LOG_DEBUG) {
        write_line(l, KVTP_LOG_DEBUG, "LOGGER", "logger function call", "reset", nullptr);
    }
    return 1;
}

int KVTP_logger_module_reset(KVTP_logger* l) {
    if (l == nullptr) {
        return 0;
    }
    ++l->messages;
    bool debug = l->on && l->level == KVTP_LOG_DEBUG;
    if (l->module_clear) {
        if (debug) {
            write_line(l, KVTP_LOG_DEBUG, "LOGGER", "logger function call", "module reset", "True");
        }
        KVTP_strarray_clear(l->stored_lines);
        KVTP_intarray_clear(l->stored_levels);
        l->errors = 0;
        l->warnings = 0;
        l->messages = 0;
    } else if (debug) {
        write_line(l, KVTP_LOG_DEBUG, "LOGGER", "logger function call", "module reset", "False");
    }
    return 1;
}

int KVTP_logger_set_level(KVTP_logger* l, int32_t level) {
    if (l == nullptr) {
        return 0;
    }
    ++l->messages;
    l->level = level < KVTP_LOG_DEBUG  ? KVTP_LOG_DEBUG
               : level > KVTP_LOG_NONE ? KVTP_LOG_NONE
                                       : level;
    if (l->on && l->level == KVTP_LOG_DEBUG) {
        write_line(l, KVTP_LOG_DEBUG, "LOGGER", "logger function call", "Set logging level",
                   "DEBUG");
    }
    return 1;
}

int KVTP_logger_set_on(KVTP_logger* l) {
    if (l == nullptr) {
        return 0;
    }
    l->on = 1;
    return 1;
}

int KVTP_logger_set_store(KVTP_logger* l) {
    if (l == nullptr) {
        return 0;
    }
    l->on = 1;
    l->store = 1;
    return 1;
}

int KVTP_logger_set_stdout(KVTP_logger* l, int32_t flag) {
    if (l == nullptr) {
        return 0;
    }
    l->to_stdout = flag ? 1 : 0;
    return 1;
}

int KVTP_logger_set_stderr(KVTP_logger* l, int32_t flag) {
    if (l == nullptr) {
        return 0;
    }
    l->to_stderr = flag ? 1 : 0;
    return 1;
}

int KVTP_logger_set_logfile(KVTP_logger* l, const char* dir) {
    if (l == nullptr) {
        return 0;
    }
    if (dir != nullptr && dir[0] != '\0') {
        set_dir(l, dir);
        if (l->path == nullptr) {
            return 0;
        }
        l->to_file = 1;
        return 1;
    }
    if (l->dir != nullptr) {
        KVTP_free(l->dir);
        KVTP_free(l->path);
        l->dir = nullptr;
        l->path = nullptr;
        l->to_file = 0;
    }
    return 1;
}

int32_t KVTP_logger_no_errors(const KVTP_logger* l) {
    return l == nullptr ? 0 : l->errors;
}

int32_t KVTP_logger_no_warnings(const KVTP_logger* l) {
    return l == nullptr ? 0 : l->warnings;
}

int32_t KVTP_logger_no_messages(const KVTP_logger* l) {
    return l == nullptr ? 0 : l->messages;
}

int32_t KVTP_logger_loglevel(const KVTP_logger* l) {
    return l == nullptr ? KVTP_LOG_NONE : l->level;
}

int32_t KVTP_logger_no_stored(const KVTP_logger* l) {
    return l == nullptr ? 0 : KVTP_strarray_sz(l->stored_lines);
}

int32_t KVTP_logger_lvl(const KVTP_logger* l, int32_t i) {
    const int32_t* v = l == nullptr ? nullptr : KVTP_intarray_idx(l->stored_levels, i);
    return v == nullptr ? -1 : *v;
}

const char* KVTP_logger_msg(const KVTP_logger* l, int32_t i) {
    return l == nullptr ? nullptr : KVTP_strarray_idx(l->stored_lines, i);
}

int32_t KVTP_logger_modulelogging(const KVTP_logger* l) {
    return l == nullptr ? 0 : l->module_output;
}

const char* KVTP_logger_logfile(const KVTP_logger* l) {
    return l == nullptr ? nullptr : l->path;
}

const char* KVTP_logger_level_name(int32_t level) {
    return level < KVTP_LOG_DEBUG || level > KVTP_LOG_NONE ? "UNKNOWN" : kLevelNames[level];
}

const char* KVTP_logger_error_name(int32_t code) {
    return kErrors[code < 0 || code >= KVTP_ERR_COUNT ? 0 : code].name;
}

int32_t KVTP_logger_error_level(int32_t code) {
    return kErrors[code < 0 || code >= KVTP_ERR_COUNT ? 0 : code].level;
}

int KVTP_logger_print(const KVTP_logger* l, KVTP_dystr* s) {
    if (l == nullptr || s == nullptr) {
        return 0;
    }
    int32_t n = KVTP_strarray_sz(l->stored_lines);
    for (int32_t i = 0; i < n; ++i) {
        if (!KVTP_dystr_append2(s, KVTP_strarray_idx(l->stored_lines, i), -1, "\n", 1)) {
            return 0;
        }
    }
    return 1;
}

int KVTP_logger_printf(const KVTP_logger* l) {
    if (l == nullptr) {
        return 0;
    }
    printf("Logger (%s), level: %s\n", l->name, KVTP_logger_level_name(l->level));
    int32_t n = KVTP_strarray_sz(l->stored_lines);
    for (int32_t i = 0; i < n; ++i) {
        printf("%s\n", KVTP_strarray_idx(l->stored_lines, i));
    }
    return 1;
}
