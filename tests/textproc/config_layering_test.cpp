// SPDX-License-Identifier: MIT
// Configuration documents, the built-in defaults and an override laid over them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "textproc/scanner/config.h"
#include "textproc/scanner/configsettings.h"

namespace {

struct ConfigDeleter {
    void operator()(KVTP_config* c) const { KVTP_config_delete(c); }
};
using Config = std::unique_ptr<KVTP_config, ConfigDeleter>;

Config Loaded(const std::string& doc, const char* root = "tpconfig") {
    Config c(KVTP_config_new(root, -1));
    EXPECT_EQ(1, KVTP_config_load(c.get(), doc.data(), static_cast<int32_t>(doc.size())));
    return c;
}

std::string Str(const char* s) {
    return s == nullptr ? "<null>" : s;
}

std::string Lookup(const KVTP_config* c, const char* group, const char* attr) {
    return Str(KVTP_config_lookup(c, group, -1, attr, -1));
}

TEST(BuiltInConfig, LengthsLimitTheGroupAndAttributeNames) {
    Config c(KVTP_config_new_default());
    EXPECT_EQ("info", Str(KVTP_config_lookup(c.get(), "logging", 3, "loglevel_x", 8)));
    EXPECT_EQ(1, KVTP_config_lookup_n(c.get(), "log", -1));
}

// What neither layer has is null. (An override file laid over the defaults is
// read by the text tool's config command and every configured channel, and
// the logger tests take their settings from such layers.)
TEST(ConfigLayers, SettingsNeitherLayerHasAreNull) {
    KVTP_configsettings* s =
        KVTP_configsettings_new(KVTP_config_new_default(),
                                Loaded("<tpconfig><log loglevel='DEBUG'/></tpconfig>").release());
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s, "tokenise", -1, "no_such", -1));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s, "no_group", -1, "context_size", -1));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(s, "tokenise", -1, nullptr, 0));
    EXPECT_EQ(nullptr, KVTP_configsettings_lookup(nullptr, "tokenise", -1, "context_size", -1));
    KVTP_configsettings_delete(s);
}

TEST(ConfigLayers, UnreadableFileLeavesConfigurationUnchanged) {
    Config c(Loaded("<tpconfig><g a='1'/></tpconfig>"));
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), "/nonexistent/dir/tp.xml"));
    // A directory opens for reading but cannot be read: it is refused like a
    // missing file, so the caller learns the override was not applied.
    char dir[] = "/tmp/config_dirXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), dir));
    rmdir(dir);
    EXPECT_EQ(0, KVTP_config_loadf(c.get(), nullptr));
    EXPECT_EQ("1", Lookup(c.get(), "g", "a"));
}

TEST(ConfigLayers, EachLoadStartsWithNoOpenElement) {
    // A document left unclosed does not make the next one's root a group:
    // every load is a document of its own.
    Config c(KVTP_config_new("tpconfig", -1));
    const std::string open = "<tpconfig>", next = "<tpconfig a='root'><g b='2'/></tpconfig>";
    KVTP_config_load(c.get(), open.data(), static_cast<int32_t>(open.size()));
    KVTP_config_load(c.get(), next.data(), static_cast<int32_t>(next.size()));
    EXPECT_EQ("<null>", Lookup(c.get(), "tpconfig", "a"));
    EXPECT_EQ("2", Lookup(c.get(), "g", "b"));
}

TEST(ConfigDocument, GroupsAreTheRootsChildrenWithTheirLastValues) {
    // clang-format off
    const struct { const char *doc, *group, *attr, *value; } cases[] = {
        {"<other><log loglevel='DEBUG'/></other>", "log", "loglevel", "<null>"},  // wrong root
        {"<tpconfig><g a='1' a=\"2\"/></tpconfig>", "g", "a", "2"},
        {"<tpconfig><g a='TRUE'/></tpconfig>", "g", "a", "True"},
        {"<tpconfig><g b='true'/></tpconfig>", "g", "b", "True"},
        {"<tpconfig><g d='tRUE'/></tpconfig>", "g", "d", "tRUE"},
        {"<tpconfig a='root'><g a='1'><h b='2'/></g><k c='3'></k></tpconfig>", "h", "b", "<null>"},
        {"<tpconfig a='root'><g a='1'><h b='2'/></g><k c='3'></k></tpconfig>", "k", "c", "3"},
        {"<tpconfig a='root'><g a='1'/></tpconfig>", "tpconfig", "a", "<null>"}};
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(c.value, Lookup(Loaded(c.doc).get(), c.group, c.attr)) << c.doc;
    EXPECT_EQ(0, KVTP_str2str_nrkeys(KVTP_config_dict(Loaded("<other><g a='1'/></other>").get())));
    EXPECT_EQ("x.db", Lookup(Loaded("<dbconfig><db path='x.db'/></dbconfig>", "dbconfig").get(),
                             "db", "path"));
}

TEST(ConfigDocument, RepeatedGroupsAreNumbered) {
    Config c(
        Loaded("<tpconfig><log a='first' b='only'/><x k='v'/><log a='second'/>"
               "<log a='third'/></tpconfig>"));
    EXPECT_EQ("first", Lookup(c.get(), "log", "a"));
    EXPECT_EQ("second", Lookup(c.get(), "log1", "a"));
    for (const auto& [idx, value] :
         {std::pair{0, "first"}, {-4, "first"}, {1, "second"}, {2, "third"}})
        EXPECT_EQ(value, Str(KVTP_config_lookup_idx(c.get(), "log", -1, "a", -1, idx))) << idx;
    EXPECT_EQ(nullptr, KVTP_config_lookup_idx(c.get(), "log", -1, "b", -1, 1));
    EXPECT_EQ(3, KVTP_config_lookup_n(c.get(), "log", -1));
    EXPECT_EQ(1, KVTP_config_lookup_n(c.get(), "x", -1));
    EXPECT_EQ(0, KVTP_config_lookup_n(c.get(), "absent", -1));
}

TEST(ConfigDocument, LinesAreJoinedWithNothingBetween) {
    const char* const lines[] = {"<tpconfig><g a='1'", " b='", "2'/></tp", "config>", ""};
    Config c(KVTP_config_new("tpconfig", -1));
    EXPECT_EQ(1, KVTP_config_loads(c.get(), lines));
    EXPECT_EQ("1", Lookup(c.get(), "g", "a"));
    EXPECT_EQ("2", Lookup(c.get(), "g", "b"));
}

TEST(StoredConfig, WriteThenLoadRoundTripsAndAShortReadFails) {
    const std::string text = "<tpconfig><g a='1'/></tpconfig>";
    const int32_t size = KVTP_tpobj_config_write(text.c_str(), nullptr);
    ASSERT_EQ(static_cast<int32_t>(text.size() + 1), size);
    std::string buffer(static_cast<size_t>(size), 'x');
    EXPECT_EQ(1, KVTP_tpobj_config_write(text.c_str(), buffer.data()));
    EXPECT_EQ(text, buffer.c_str());
    for (const int32_t len : {static_cast<int32_t>(text.size()), 1000}) {  // 1000: beyond the data
        FILE* f = tmpfile();
        fwrite(&len, sizeof len, 1, f);
        fputs(text.c_str(), f);
        rewind(f);
        char* loaded = KVTP_tpobj_config_load(f);
        EXPECT_EQ(len == 1000 ? "<null>" : text, Str(loaded));
        if (loaded != nullptr)
            KVTP_tpobj_config_delete(loaded);
        fclose(f);
    }
}

}  // namespace
