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

TEST(MessageSettingsTest, SetLinesAreCheckedAndBecomeProsody) {
    struct Case {
        const char* line;
        Result result;
        const char* prosody;
    } cases[] = {
        {"rate=50", Result::kOk, "<prosody rate=\"173%\">"},
        {"rate=-100", Result::kOk, "<prosody rate=\"33%\">"},
        {"pitch=-100", Result::kOk, "<prosody pitch=\"-50%\">"},
        {"pitch_range=20", Result::kOk, "<prosody range=\"+20%\">"},
        {"volume=-30", Result::kOk, "<prosody volume=\"-30%\">"},
        {"rate=0", Result::kOk, ""},
        {"rate=101", Result::kBadValue, ""},
        {"rate=fast", Result::kBadValue, ""},
        {"voice=robot", Result::kBadValue, ""},
        {"punctuation_mode=loud", Result::kBadValue, ""},
        {"bogus=1", Result::kBadValue, ""},
        {"rate=", Result::kBadSyntax, ""},
    };
    for (const Case& c : cases) {
        MessageSettings settings;
        EXPECT_EQ(settings.Apply(c.line), c.result) << c.line;
        EXPECT_EQ(settings.ProsodyTag(), c.prosody) << c.line;
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
    ASSERT_EQ(settings.Apply("rate=50"), Result::kOk);
    ASSERT_EQ(settings.Apply("spelling_mode=on"), Result::kOk);
    EXPECT_EQ(settings.Markup(MessageKind::kText, "<speak>ab</speak>"),
              "<prosody rate=\"173%\">" + spell + "<speak>ab</speak></say-as></prosody>");
}

TEST(VoiceMapTest, SettingsChooseAServerVoice) {
    // Name, language, ISO code, country and sex.
    const VoiceMap map({{"English (Great Britain)", "", "en", "GB", "male"},
                        {"English (America)", "", "en", "US", "male"},
                        {"English (America)+f3", "", "en", "US", "female"},
                        {"English (America)+m2", "", "en", "US", "male"},
                        {"French (France)", "", "fr", "FR", "male"},
                        {"French (Belgium)", "", "fr", "BE", "male"},
                        {"German", "", "de", "", "male"}});
    struct Case {
        const char* synthesisVoice;
        const char* language;
        const char* type;
        const char* defaultVoice;
        const char* expected;
    } cases[] = {
        {"french (belgium)", "en-US", "male1", "", "French (Belgium)"},
        {"bleaaaarg", "fr-FR", "male1", "", "French (France)"},
        {"", "fr", "male1", "", "French (France)"},
        {"", "en-US", "female1", "", "English (America)+f3"},
        {"", "en-US", "male2", "", "English (America)+m2"},
        {"", "en-US", "male3", "", "English (Great Britain)"},
        {"", "en-US", "female3", "", "English (America)+f3"},
        {"", "fr", "female2", "", "French (France)"},
        {"", "en-US", "male1", "English (Great Britain)", "English (Great Britain)"},
        {"", "", "female1", "German", "German"},
        {"", "", "male1", "", ""},
        {"", "xx", "male1", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(map.Choose(c.synthesisVoice, c.language, c.type, c.defaultVoice), c.expected)
            << c.synthesisVoice << " / " << c.language << " / " << c.type << " / "
            << c.defaultVoice;
    }
    const std::vector<std::string> lines = map.ListLines();
    EXPECT_EQ(lines[2], "English (America)+f3\ten-US\tf3");
    EXPECT_EQ(lines[6], "German\tde\tnone");
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
