// SPDX-License-Identifier: MIT
// The voice catalogue through the exported interface.
#include "client/voices.h"

#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "client/enumerator.h"
#include "client/handles.h"
#include "tests/support/fake_server.h"
#include "tests/support/open_handle.h"
#include "tests/support/process_status.h"

namespace vrelay {
namespace {

using test::Action;
using test::ReceivedFrame;

const char kListQuery[] = "<voice name=\"all\"/>";
#define KEY(name) \
    { VR_##name, #name }
// clang-format off
const std::pair<int32_t, const char*> kStringKeys[] = {
    KEY(VOICE_ID), KEY(SEX), KEY(LANGUAGE), KEY(LANGUAGE_ID), KEY(COUNTRY), KEY(COUNTRY_ID),
    KEY(REGION), KEY(ACCENT), KEY(ACCENT_ID), KEY(VOICE_UUID), KEY(ENCODING),
    KEY(LANGUAGE_CODE_ISO), KEY(LANGUAGE_CODE_MICROSOFT), KEY(COUNTRY_CODE_ISO), KEY(LANGUAGES)};
// clang-format on
#undef KEY

// Each string attribute of anna holds its own name, so that a key read from
// the wrong attribute, or not read at all, shows.
std::string TwoNestedVoices() {
    std::string anna = "<voice name=\"anna\" SAMPLE_RATE=\"22050\" SAMPLE_BITS=\"16\"";
    for (const auto& key : kStringKeys)
        anna += std::string(" ") + key.second + "=\"" + key.second + "\"";
    return "<?xml version=\"1.0\"?><voices><group>" + anna +
           "/></group><other><voice name=\"Ben\" VOICE_ID=\"id-b\" SAMPLE_RATE=\"16000abc\"/>"
           "</other></voices>";
}

class VoicesTest : public test::OpenHandleTest {
  protected:
    void SetUp() override {
        Serve(TwoNestedVoices());
        OpenHandleTest::SetUp();
    }
    // Answers the list query with document, cut into pieces of `piece` bytes,
    // each its own NUL-terminated PACKET_QUERY, after a message when
    // `message` (the list is read past it); other queries get `other`.
    void Serve(const std::string& document, size_t piece = 7,
               std::vector<Action> other = {Action::End()}, bool message = false) {
        server_.SetHandler([=](const ReceivedFrame& frame) {
            if (frame.type != PACKET_QUERY)
                return test::DefaultAnswer(frame);
            if (frame.Text() != kListQuery)
                return other;
            std::vector<Action> actions;
            if (message)
                actions.push_back(Action::Text(PACKET_DATA_10, "listing"));
            for (size_t at = 0; at < document.size(); at += piece)
                actions.push_back(Action::Text(PACKET_QUERY, document.substr(at, piece)));
            actions.push_back(Action::End());
            return actions;
        });
    }
    std::vector<std::string> Names(vr_handle voices) {
        std::vector<std::string> names;
        vrRewindEnumerator(voices);
        while (const char* name = vrNextVoice(voices))
            names.push_back(name);
        return names;
    }
};

TEST_F(VoicesTest, WalksNestedVoicesInDocumentOrder) {
    const vr_handle voices = vrEnumerateConnectionVoices(handle_);
    ASSERT_EQ(voices, 1000);
    EXPECT_EQ(vrNumVoices(voices), 2);
    // Before the first voice nothing is current.
    EXPECT_EQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), nullptr);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), VR_NO_CURRENT_VOICE);

    EXPECT_STREQ(vrNextVoice(voices), "anna");
    for (const auto& [key, attribute] : kStringKeys)
        EXPECT_STREQ(vrGetVoiceStringValue(voices, key), attribute);
    EXPECT_EQ(vrGetVoiceStringValue(voices, 2), nullptr);  // an integer key
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 22050);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_BITS), 16);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, 3), VR_BAD_KEY);

    EXPECT_STREQ(vrNextVoice(voices), "Ben");
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 16000);  // as atoi reads it
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_BITS), 0);      // missing reads as 0
    EXPECT_EQ(vrNextVoice(voices), nullptr);
    EXPECT_EQ(vrNextVoice(voices), nullptr);
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), "id-b");  // last stays current
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_REGION), "");        // missing reads as empty

    EXPECT_EQ(vrRewindEnumerator(voices), VR_SUCCESS);
    EXPECT_EQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), nullptr);
    EXPECT_STREQ(vrNextVoice(voices), "anna");
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
}

TEST_F(VoicesTest, DocumentShapes) {
    struct Row { const char* name; std::string document; std::vector<std::string> voices; };
    std::string large = "<voices>";
    std::vector<std::string> many;
    for (int i = 0; i < 5000; ++i) {
        many.push_back("v" + std::to_string(i));
        large += "<voice name=\"" + many.back() + "\"/>";
    }
    large += "</voices>";
    // One 60 KB entity, referenced 20,000 times: 1.2 GB if expanded.
    std::string bomb = "<!DOCTYPE v [<!ENTITY e \"" + std::string(60000, 'x') +
                       "\">]><voices><voice name=\"a\" LANGUAGE=\"";
    for (int i = 0; i < 20000; ++i)
        bomb += "&e;";
    bomb += "\"/></voices>";
    // A voice named a with n more attributes of the same value.
    auto crowded = [](int n, const std::string& value) {
        std::string xml = "<voices><voice name=\"a\"";
        for (int i = 0; i < n; ++i)
            xml += " a" + std::to_string(i) + "='" + value + "'";
        return xml + "/></voices>";
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"root is a voice", "<voice name=\"solo\"><voice name=\"inner\"/></voice>", {"solo", "inner"}},
        {"voice without a name is skipped", "<list><voice VOICE_ID=\"x\"/><voice name=\"named\"/></list>",
         {"named"}},
        {"other element names are walked through",
         "<list><Voice name=\"case\"/><voices><voice name=\"deep\"/></voices></list>", {"deep"}},
        {"malformed", "<list><voice name=\"a\"></list>", {}}, {"empty reply", "", {}},
        {"large list in many packets", large, many},
        {"character and predefined references", "<v><voice name='&lt;&amp;&#38;&#x41;'/></v>", {"<&&A"}},
        {"entity bomb", bomb, {}},
        {"a document type ends the list before its declarations",
         "<!DOCTYPE v [<!ENTITY e 'x'>]><voices><voice name='a'/></voices>", {}},
        {"a tag with 66 attributes", crowded(65, ""), {}},
        {"a tag with 64, '=' in their values", crowded(63, "x=y"), {"a"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Serve(row.document, 60000, {Action::End()}, true);
        const vr_handle voices = vrEnumerateConnectionVoices(handle_);
        ASSERT_GE(voices, 1000);
        EXPECT_EQ(vrNumVoices(voices), static_cast<int32_t>(row.voices.size()));
        EXPECT_EQ(Names(voices), row.voices);
        EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
    }
}

// The leading digits count; a value that would read as negative or overflow
// reads as 0, never as a result code.
TEST_F(VoicesTest, IntegerValuesOutsideTheirRangeReadAsZero) {
    const std::pair<const char*, int32_t> rows[] = {
        {"22050", 22050},           {" +8000 Hz", 8000}, {"-2", 0},
        {"2147483647", 2147483647}, {"2147483648", 0},   {"99999999999999999999", 0},
    };
    std::string list = "<v>";
    for (const auto& row : rows)
        list += std::string("<voice name='x' SAMPLE_RATE='") + row.first + "'/>";
    Serve(list + "</v>", 60000);
    const vr_handle voices = vrEnumerateConnectionVoices(handle_);
    for (const auto& [value, expected] : rows) {
        ASSERT_NE(vrNextVoice(voices), nullptr);
        EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), expected) << value;
    }
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
}

#ifdef __linux__
// The largest list of the smallest voices: reading it costs at its peak a
// few times its size, not a hundred.
TEST(VoiceListTest, AFullSizeListCostsASmallMultipleOfItsSize) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the thread sanitizer's shadow memory counts as the process's";
#endif
    std::string list = "<v>";
    while (list.size() + 20 < kMaxVoiceListBytes)
        list += "<voice name=\"\"/>";
    list += "</v>";
    std::ofstream reset("/proc/self/clear_refs");
    if (!(reset << "5" << std::flush))
        GTEST_SKIP() << "the peak resident size cannot be reset here";
    const long before = test::StatusKilobytes("VmHWM:");
    NameEnumerator voices;
    ASSERT_TRUE(voices.ParseVoiceList(list.data(), list.size()));
    EXPECT_EQ(voices.Count(), (list.size() - 7) / 16);
    const long peak = test::StatusKilobytes("VmHWM:") - before;
    RecordProperty("peak_kb", std::to_string(peak));
    EXPECT_LT(peak, 4 * static_cast<long>(list.size() >> 10));
}
#endif

// An unopened connection lists no voices. Closing twice is harmless: the
// second close meets an unknown number (see the misuse table for the rest).
TEST_F(VoicesTest, UnopenedConnectionsListNoVoicesAndClosingTwiceIsHarmless) {
    const vr_handle empty = vrEnumerateConnectionVoices(vrCreateConnection());
    EXPECT_EQ(vrNumVoices(empty), 0);
    EXPECT_EQ(vrNextVoice(empty), nullptr);
    EXPECT_EQ(vrCloseEnumerator(empty), VR_SUCCESS);
    EXPECT_EQ(vrCloseEnumerator(empty), VR_SUCCESS);
}

TEST_F(VoicesTest, SetVoicePathsAndTheirWarnings) {
    const char kNotFound[] = "WARNING: voice was not found. Using default instead\n";
    const char kNotSwitched[] = "WARNING: vrServer query failed, the voice has not been switched\n";
    // known: the connection, or an unknown handle
    struct Row { vr_result (*set)(vr_handle, const char*); bool known; const char* name;
        vr_result result; const char* output; std::vector<std::string> queries; };
    // The last row's server closes instead of answering the selection.
    // clang-format off
    const Row rows[] = {
        {vrSetVoice, true, "Ben", VR_SUCCESS, "", {kListQuery, "<voice name='Ben' select='1'/>"}},
        {vrSetVoice, true, "ben", VR_ERROR, kNotFound, {kListQuery}},
        {vrSetVoice, false, "Ben", VR_ERROR, "WARNING: failed to set voice. Using default instead\n", {}},
        {vrSetVoiceFast, true, "nobody", VR_SUCCESS, "", {"<voice name='nobody' select='1'/>"}},
        {vrSetVoiceFast, false, "x", VR_BAD_HANDLE, kNotSwitched, {}},
        {vrSetVoice, true, "anna", VR_ERROR, kNotSwitched, {kListQuery, "<voice name='anna' select='1'/>"}},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (&row == &rows[5])
            Serve(TwoNestedVoices(), 500, {Action::Frame(PACKET_CLOSE)});
        const size_t before = server_.Frames().size();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(row.set(row.known ? handle_ : 4242, row.name), row.result);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.output);
        EXPECT_EQ(server_.Texts(PACKET_QUERY, before), row.queries);
        // No enumerator is left behind on any path.
        EXPECT_EQ(Enumerators().Size(), 0u);
    }
}

}  // namespace
}  // namespace vrelay
