// SPDX-License-Identifier: MIT
// What the module makes of Speech Dispatcher's settings: SET lines, the
// markup of a message, the voice chosen, and its own configuration file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "speechd/message_settings.h"
#include "speechd/module_config.h"
#include "speechd/voice_map.h"

namespace vrelay {
namespace speechd {
namespace {

using Result = MessageSettings::Result;

// Each number goes to its own attribute through the core's mapping.
TEST(MessageSettingsTest, SetLinesAreCheckedAndBecomeProsody) {
    // clang-format off
    struct Case { const char* line; Result result; const char* prosody; } cases[] = {
        {"rate=-100", Result::kOk, "<prosody rate=\"46%\">"},
        {"pitch=100", Result::kOk, "<prosody pitch=\"168%\">"},
        {"pitch_range=20", Result::kOk, "<prosody range=\"+20%\">"},
        {"volume=-100", Result::kOk, "<prosody volume=\"0%\">"}, {"rate=0", Result::kOk, ""},
        {"rate=101", Result::kBadValue, ""}, {"rate=fast", Result::kBadValue, ""},
        {"voice=robot", Result::kBadValue, ""}, {"punctuation_mode=loud", Result::kBadValue, ""},
        {"bogus=1", Result::kBadValue, ""}, {"rate=", Result::kBadSyntax, ""},
    };
    // clang-format on
    for (const Case& c : cases) {
        MessageSettings settings;
        EXPECT_EQ(settings.Apply(c.line), c.result) << c.line;
        EXPECT_EQ(frontend::ProsodyTag(settings.Prosody()), c.prosody) << c.line;
    }

    MessageSettings settings;
    for (const char* line : {"voice=FEMALE2", "language=c", "synthesis_voice=NULL"}) {
        EXPECT_EQ(settings.Apply(line), Result::kOk) << line;
    }
    EXPECT_EQ(settings.VoiceType(), "female2");
    EXPECT_EQ(settings.Language(), "");
    EXPECT_EQ(settings.Apply("language=fr-FR"), Result::kOk);
    EXPECT_EQ(settings.Language(), "fr-FR");
}

TEST(MessageSettingsTest, MessagesBecomeMarkup) {
    const std::string spell = "<say-as interpret-as=\"characters\">";
    MessageSettings settings;
    EXPECT_EQ(settings.Markup(MessageKind::kCharacter, "<"), spell + "&lt;</say-as>");
    EXPECT_EQ(settings.Markup(MessageKind::kCharacter, "\xC3\xA9"), spell + "\xC3\xA9</say-as>");
    EXPECT_EQ(settings.Markup(MessageKind::kCharacter, "space"), "space");
    EXPECT_EQ(settings.Markup(MessageKind::kKey, "shift_kp-enter"), "shift kp enter");
    EXPECT_EQ(settings.Markup(MessageKind::kKey, "control_&"),
              "control " + spell + "&amp;</say-as>");
    // The prosody and the spelling go with the job, into the <speak> root.
    ASSERT_EQ(settings.Apply("rate=50"), Result::kOk);
    ASSERT_EQ(settings.Apply("spelling_mode=on"), Result::kOk);
    EXPECT_EQ(settings.Markup(MessageKind::kText, "<speak>ab</speak>"), "<speak>ab</speak>");
    EXPECT_TRUE(settings.Spelling());
}

// The server chooses the voice; the map says what to ask for.
TEST(VoiceMapTest, SettingsBecomeAVoiceRequest) {
    const auto voice = [](const char* name, const char* language, const char* iso, const char* id) {
        return frontend::VoiceEntry{name, language, iso, "", id, "", "", 0};
    };
    const VoiceMap map({voice("English (Great Britain)", "English", "en", "en-gb"),
                        voice("English (Scotland)", "English", "en", "en-gb-scotland"),
                        voice("German", "German", "de", "de"), voice("+f3", "variant", "", "")});
    struct Case { const char* synthesisVoice; const char* language; const char* type;
        const char* defaultVoice; const char* expected; } cases[] = {
        {"french (belgium)", "en-US", "male1", "", "french (belgium)"},
        {"bleaaaarg", "fr-FR", "female1", "", "bleaaaarg"}, {"en+f3", "fr", "male2", "", "en+f3"},
        {"+whisper", "fr", "female1", "", "fr+whisper"}, {"+f3", "fr", "male1", "German", "fr+f3"},
        {"", "fr", "male1", "", "fr"}, {"", "en-US", "male2", "", "en-US+m2"},
        {"", "en-US", "male3", "", "en-US+m3"}, {"", "en-US", "female1", "", "en-US+f1"},
        {"", "en-US", "female3", "", "en-US+f3"}, {"", "en", "child_male", "", "en+f4"},
        {"", "en", "child_female", "", "en+f5"},
        {"", "en-US", "male1", "English (Scotland)", "English (Scotland)"},
        {"", "en-US", "female2", "english (scotland)+m3", "english (scotland)+f2"},
        {"", "en", "male1", "de+f3", "en"}, {"", "de", "male1", "de+f3", "de+f3"},
        {"", "", "female1", "German", "German+f1"}, {"", "", "male1", "", ""},
        {"", "", "female2", "", "+f2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(map.Choose(c.synthesisVoice, c.language, c.type, c.defaultVoice), c.expected)
            << c.synthesisVoice << " / " << c.language << " / " << c.type << " / "
            << c.defaultVoice;
    }
    // An unknown voice falls back to the language's, then to the default.
    EXPECT_EQ(map.Candidates("bleaaaarg", "fr-FR", "female1", ""),
              (std::vector<std::string>{"bleaaaarg", "fr-FR+f1", "+f1", ""}));
    EXPECT_EQ(map.Candidates("", "xx", "male1", "German"),
              (std::vector<std::string>{"xx", "German", ""}));
    EXPECT_EQ(map.Candidates("", "", "male1", ""), (std::vector<std::string>{""}));
    EXPECT_EQ(map.ListLines(), (std::vector<std::string>{"English (Great Britain)\ten-gb\tnone",
                                                        "English (Scotland)\ten-gb-scotland\tnone",
                                                        "German\tde\tnone", "+f3\tnone\tf3"}));
}

TEST(ModuleConfigTest, ReadsTheOptionsAndWarnsOfTheRest) {
    const ModuleConfig config = ParseModuleConfig(
        "# comment\n"
        "VrelayServer \"[::1]:6543\"\n"
        "DefaultVoice \"English (America)\"  # the voice\n"
        "LogLevel 9\n"
        "Bogus 1\n"
        "DefaultVoice \"open\n");
    EXPECT_EQ(config.host, "::1");
    EXPECT_EQ(config.port, 6543);
    EXPECT_EQ(config.defaultVoice, "English (America)");
    EXPECT_EQ(config.logLevel, -1);
    EXPECT_EQ(config.warnings.size(), 3u);
    EXPECT_EQ(ParseModuleConfig("VrelayServer localhost\n").warnings.size(), 1u);
}

}  // namespace
}  // namespace speechd
}  // namespace vrelay
