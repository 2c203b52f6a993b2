#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "textproc/config.h"
#include "textproc/configsettings.h"

namespace {

struct ConfigDeleter {
    void operator()(KVTP_config* c) const { KVTP_config_delete(c); }
};
using Config = std::unique_ptr<KVTP_config, ConfigDeleter>;

struct SettingsDeleter {
    void operator()(KVTP_configsettings* s) const { KVTP_configsettings_delete(s); }
};
using Settings = std::unique_ptr<KVTP_configsettings, SettingsDeleter>;

Config Loaded(const std::string& doc, const char* root = "tpconfig") {
    Config c(KVTP_config_new(root, -1));
    EXPECT_EQ(1, KVTP_config_load(c.get(), doc.data(), static_cast<int32_t>(doc.size())));
    return c;
}

// A file removed when the test ends.
class TempFile {
  public:
    explicit TempFile(const std::string& text) {
        int fd = mkstemp(path_);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
        close(fd);
    }
    ~TempFile() { unlink(path_); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* path() const { return path_; }

  private:
    char path_[32] = "/tmp/config_testXXXXXX";
};

std::string Str(const char* s) {
    return s == nullptr ? "<null>" : s;
}

TEST(BuiltInConfig, AnswersEveryDefault) {
    Config c(KVTP_config_new_default());
    ASSERT_NE(nullptr, c);
    const struct {
        const char* group;
        const char* attr;
        const char* value;
    } defaults[] = {
        {"log", "log", "True"},
        {"log", "logdir", "."},
        {"log", "logname", "tpc"},
        {"log", "loglevel", "info"},
        {"log", "logmoduleoutput", "False"},
        {"log", "logstore", "False"},
        {"log", "logmoduleclear", "True"},
        {"log", "logtofile", "False"},
        {"log", "logstderr", "False"},
        {"log", "logstdout", "False"},
        {"tokenise", "processing_mode", "lax"},
        {"tokenise", "context_size", "4096"},
        {"toxparse", "hzone", "True"},
        {"toxparse", "context_size", "4096"},
        {"toxparse", "max_token_length", "128"},
        {"toxparse", "hzone_start", "45"},
        {"toxparse", "hzone_end", "100"},
        {"toxparselite", "max_token_length", "30"},
        {"phrasing", "max_phrase_length", "30"},
        {"phrasing", "by_utterance", "True"},
        {"phrasing", "max_utterance_length", "10"},
        {"phrasing", "phrase_length_window", "10"},
        {"normalise", "trace", "0"},
        {"normalise", "active", "True"},
        {"postagger", "iterations", "6"},
        {"pronounce", "novowel_spell", "True"},
        {"syllabify", "slang", ""},
        {"archiphone", "match_all_phones", "False"},
        {"lgout", "max_phone_word", "120"},
        {"lgout", "max_chars_word", "30"},
        {"lgout", "max_pos_word", "1"},
        {"lgout", "max_phrase_sentence", "50"},
        {"lgout", "max_word_sentence", "50"},
        {"lgout", "max_syllable_sentence", "6000"},
    };
    for (const auto& d : defaults) {
        SCOPED_TRACE(std::string(d.group) + "|" + d.attr);
        EXPECT_EQ(d.value, Str(KVTP_config_lookup(c.get(), d.group, -1, d.attr, -1)));
    }
    // 34 settings and one occurrence counter for each of the 11 groups.
    EXPECT_EQ(34 + 11, KVTP_str2str_nrkeys(KVTP_config_dict(c.get())));
    EXPECT_EQ(1, KVTP_config_lookup_n(c.get(), "log", -1));
}

TEST(BuiltInConfig, MissingSettingsAreNull) {
    Settings s(KVTP_configsettings_new(KVTP_config_new_default(), nullptr));
    EXPECT_EQ("4096", Str(KVTP_configsettings_lookup(s.get(), "tokenise", -1, "context_size", -1)));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s.get(), "tokenise", -1, "no_such", -1));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s.get(), "no_group", -1, "context_size", -1));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s.get(), "tokenise", -1, nullptr, 0));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(nullptr, "tokenise", -1, "context_size", -1));
}

TEST(BuiltInConfig, LengthsLimitGroupAndAttributeNames) {
    Config c(KVTP_config_new_default());
    EXPECT_EQ("info", Str(KVTP_config_lookup(c.get(), "logging", 3, "loglevel_x", 8)));
}

TEST(ConfigLayers, OverrideFileChangesOnlyItsSetting) {
    TempFile file("<?xml version='1.0'?>\n<tpconfig>\n  <log loglevel=\"DEBUG\"/>\n</tpconfig>\n");
    Config over(KVTP_config_new("tpconfig", -1));
    ASSERT_EQ(1, KVTP_config_loadf(over.get(), file.path()));
    Settings s(KVTP_configsettings_new(KVTP_config_new_default(), over.release()));
    EXPECT_EQ("DEBUG", Str(KVTP_configsettings_lookup(s.get(), "log", -1, "loglevel", -1)));
    EXPECT_EQ(".", Str(KVTP_configsettings_lookup(s.get(), "log", -1, "logdir", -1)));
    EXPECT_EQ("True", Str(KVTP_configsettings_lookup(s.get(), "log", -1, "log", -1)));
    EXPECT_EQ("lax",
              Str(KVTP_configsettings_lookup(s.get(), "tokenise", -1, "processing_mode", -1)));
}

TEST(ConfigLayers, UnreadableFileLeavesConfigurationUnchanged) {
    Config c(Loaded("<tpconfig><g a='1'/></tpconfig>"));
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), "/nonexistent/dir/tp.xml"));
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), "/tmp"));
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), nullptr));
    EXPECT_EQ("1", Str(KVTP_config_lookup(c.get(), "g", -1, "a", -1)));
}

TEST(ConfigDocument, RootOfAnotherNameRecordsNothing) {
    Config c(Loaded("<other><log loglevel='DEBUG'/></other>"));
    EXPECT_EQ(nullptr, KVTP_config_lookup(c.get(), "log", -1, "loglevel", -1));
    EXPECT_EQ(0, KVTP_str2str_nrkeys(KVTP_config_dict(c.get())));
}

TEST(ConfigDocument, CustomRootNameIsHonoured) {
    Config c(Loaded("<dbconfig><db path='x.db'/></dbconfig>", "dbconfig"));
    EXPECT_EQ("x.db", Str(KVTP_config_lookup(c.get(), "db", -1, "path", -1)));
}

TEST(ConfigDocument, RepeatedGroupsAreNumbered) {
    Config c(
        Loaded("<tpconfig><log a='first' b='only'/><x k='v'/><log a='second'/>"
               "<log a='third'/></tpconfig>"));
    EXPECT_EQ("first", Str(KVTP_config_lookup(c.get(), "log", -1, "a", -1)));
    EXPECT_EQ("second", Str(KVTP_config_lookup(c.get(), "log1", -1, "a", -1)));
    EXPECT_EQ("first", Str(KVTP_config_lookup_idx(c.get(), "log", -1, "a", -1, 0)));
    EXPECT_EQ("first", Str(KVTP_config_lookup_idx(c.get(), "log", -1, "a", -1, -4)));
    EXPECT_EQ("second", Str(KVTP_config_lookup_idx(c.get(), "log", -1, "a", -1, 1)));
    EXPECT_EQ("third", Str(KVTP_config_lookup_idx(c.get(), "log", -1, "a", -1, 2)));
    EXPECT_EQ(nullptr, KVTP_config_lookup_idx(c.get(), "log", -1, "b", -1, 1));
    EXPECT_EQ(3, KVTP_config_lookup_n(c.get(), "log", -1));
    EXPECT_EQ(1, KVTP_config_lookup_n(c.get(), "x", -1));
    EXPECT_EQ(0, KVTP_config_lookup_n(c.get(), "absent", -1));
}

TEST(ConfigDocument, RepeatedAttributeTakesItsLastValue) {
    Config c(Loaded("<tpconfig><g a='1' a=\"2\"/></tpconfig>"));
    EXPECT_EQ("2", Str(KVTP_config_lookup(c.get(), "g", -1, "a", -1)));
}

TEST(ConfigDocument, OnlyExactTrueSpellingsAreNormalised) {
    Config c(Loaded("<tpconfig><g a='TRUE' b='true' c='FALSE' d='tRUE' e='True'/></tpconfig>"));
    EXPECT_EQ("True", Str(KVTP_config_lookup(c.get(), "g", -1, "a", -1)));
    EXPECT_EQ("True", Str(KVTP_config_lookup(c.get(), "g", -1, "b", -1)));
    EXPECT_EQ("FALSE", Str(KVTP_config_lookup(c.get(), "g", -1, "c", -1)));
    EXPECT_EQ("tRUE", Str(KVTP_config_lookup(c.get(), "g", -1, "d", -1)));
    EXPECT_EQ("True", Str(KVTP_config_lookup(c.get(), "g", -1, "e", -1)));
}

TEST(ConfigDocument, OnlyDirectChildrenOfTheRootAreGroups) {
    Config c(Loaded("<tpconfig a='root'><g a='1'><h b='2'/></g><k c='3'></k></tpconfig>"));
    EXPECT_EQ("1", Str(KVTP_config_lookup(c.get(), "g", -1, "a", -1)));
    EXPECT_EQ(nullptr, KVTP_config_lookup(c.get(), "h", -1, "b", -1));
    EXPECT_EQ("3", Str(KVTP_config_lookup(c.get(), "k", -1, "c", -1)));
    EXPECT_EQ(nullptr, KVTP_config_lookup(c.get(), "tpconfig", -1, "a", -1));
}

TEST(ConfigDocument, CommentedOutAndMalformedSettingsAreAbsent) {
    Config c(Loaded("<tpconfig><!-- <g a='1'/> --><h a=unquoted/><k a='ok'/></tpconfig>"));
    EXPECT_EQ(nullptr, KVTP_config_lookup(c.get(), "g", -1, "a", -1));
    EXPECT_EQ(nullptr, KVTP_config_lookup(c.get(), "h", -1, "a", -1));
    EXPECT_EQ("ok", Str(KVTP_config_lookup(c.get(), "k", -1, "a", -1)));
}

TEST(ConfigDocument, LinesAreJoinedWithNothingBetween) {
    const char* const lines[] = {"<tpconfig><g a='1'", " b='", "2'/></tp", "config>", ""};
    Config c(KVTP_config_new("tpconfig", -1));
    EXPECT_EQ(1, KVTP_config_loads(c.get(), lines));
    EXPECT_EQ("1", Str(KVTP_config_lookup(c.get(), "g", -1, "a", -1)));
    EXPECT_EQ("2", Str(KVTP_config_lookup(c.get(), "g", -1, "b", -1)));
}

TEST(StoredConfig, WriteThenLoadRoundTrips) {
    const char* text = "<tpconfig><g a='1'/></tpconfig>";
    int32_t size = KVTP_tpobj_config_write(text, nullptr);
    ASSERT_EQ(static_cast<int32_t>(strlen(text) + 1), size);
    std::string buffer(static_cast<size_t>(size), 'x');
    EXPECT_EQ(1, KVTP_tpobj_config_write(text, buffer.data()));
    EXPECT_STREQ(text, buffer.c_str());

    FILE* f = tmpfile();
    ASSERT_NE(nullptr, f);
    int32_t len = static_cast<int32_t>(strlen(text));
    fwrite(&len, sizeof len, 1, f);
    fwrite(text, 1, static_cast<size_t>(len), f);
    rewind(f);
    char* loaded = KVTP_tpobj_config_load(f);
    ASSERT_NE(nullptr, loaded);
    EXPECT_STREQ(text, loaded);
    KVTP_tpobj_config_delete(loaded);
    // A length beyond the data is a short read.
    rewind(f);
    len = 1000;
    fwrite(&len, sizeof len, 1, f);
    rewind(f);
    EXPECT_EQ(nullptr, KVTP_tpobj_config_load(f));
    fclose(f);
}

}  // namespace
