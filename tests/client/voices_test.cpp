// The voice catalogue through the exported interface.
#include "client/voices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/enumerator.h"
#include "client/handles.h"
#include "client/vrelay.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace {

using test::Action;
using test::FakeServer;
using test::ReceivedFrame;

const char kTwoNestedVoices[] =
    "<?xml version=\"1.0\"?><voices><group>"
    "<voice name=\"anna\" VOICE_ID=\"id-a\" SEX=\"female\" LANGUAGE=\"English\" "
    "SAMPLE_RATE=\"22050\" SAMPLE_BITS=\"16\" COUNTRY_CODE_ISO=\"GB\"/>"
    "</group><other><voice name=\"Ben\" VOICE_ID=\"id-b\" SAMPLE_RATE=\"16000abc\"/></other>"
    "</voices>";

// Answers the list query with the given document, cut into pieces of `piece`
// bytes, each sent as its own NUL-terminated PACKET_QUERY.
std::vector<Action> VoiceList(const std::string& document, size_t piece) {
    std::vector<Action> actions;
    for (size_t at = 0; at < document.size(); at += piece) {
        actions.push_back(Action::Text(PACKET_QUERY, document.substr(at, piece)));
    }
    actions.push_back(Action::End());
    return actions;
}

class VoicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Connections().Clear();
        Enumerators().Clear();
        Serve(kTwoNestedVoices);
        connection_ = vrCreateConnection();
        ASSERT_EQ(vrOpenConnection(connection_, server_.Host().c_str(), server_.Port()),
                  VR_SUCCESS);
    }
    void TearDown() override {
        Connections().Clear();
        Enumerators().Clear();
    }
    void Serve(const std::string& document, size_t piece = 7) {
        server_.SetHandler([document, piece](const ReceivedFrame& frame) {
            if (frame.type == PACKET_QUERY && frame.Text() == "<voice name=\"all\"/>") {
                return VoiceList(document, piece);
            }
            return test::DefaultAnswer(frame);
        });
    }
    std::vector<std::string> Names(vr_handle voices) {
        std::vector<std::string> names;
        vrRewindEnumerator(voices);
        while (const char* name = vrNextVoice(voices))
            names.push_back(name);
        return names;
    }
    std::vector<std::string> Queries() {
        std::vector<std::string> queries;
        for (const auto& frame : server_.Frames()) {
            if (frame.type == PACKET_QUERY)
                queries.push_back(frame.Text());
        }
        return queries;
    }

    FakeServer server_;
    vr_handle connection_ = 0;
};

TEST_F(VoicesTest, WalksNestedVoicesInDocumentOrder) {
    const vr_handle voices = vrEnumerateConnectionVoices(connection_);
    ASSERT_EQ(voices, 1000);
    EXPECT_EQ(vrNumVoices(voices), 2);

    EXPECT_EQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), nullptr);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), VR_NO_CURRENT_VOICE);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, 7), VR_NO_CURRENT_VOICE);

    EXPECT_STREQ(vrNextVoice(voices), "anna");
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), "id-a");
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_SEX), "female");
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_COUNTRY_CODE_ISO), "GB");
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_REGION), "");  // missing reads as empty
    EXPECT_EQ(vrGetVoiceStringValue(voices, 2), nullptr);
    EXPECT_EQ(vrGetVoiceStringValue(voices, 17), nullptr);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 22050);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_BITS), 16);
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, 3), VR_BAD_KEY);

    EXPECT_STREQ(vrNextVoice(voices), "Ben");
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 16000);  // as atoi reads it
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_BITS), 0);      // missing reads as 0
    EXPECT_EQ(vrNextVoice(voices), nullptr);
    EXPECT_EQ(vrNextVoice(voices), nullptr);
    EXPECT_STREQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), "id-b");  // last stays current

    EXPECT_EQ(vrRewindEnumerator(voices), VR_SUCCESS);
    EXPECT_EQ(vrGetVoiceStringValue(voices, VR_VOICE_ID), nullptr);
    EXPECT_STREQ(vrNextVoice(voices), "anna");
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
}

TEST_F(VoicesTest, DocumentShapes) {
    struct Row {
        const char* name;
        std::string document;
        std::vector<std::string> voices;
    };
    const std::vector<Row> rows = {
        {"root is a voice",
         "<voice name=\"solo\"><voice name=\"inner\"/></voice>",
         {"solo", "inner"}},
        {"voice without a name is skipped",
         "<list><voice VOICE_ID=\"x\"/><voice name=\"named\"/></list>",
         {"named"}},
        {"other element names are walked through",
         "<list><Voice name=\"case\"/><voices><voice name=\"deep\"/></voices></list>",
         {"deep"}},
        {"malformed", "<list><voice name=\"a\"></list>", {}},
        {"empty reply", "", {}},
        {"not xml at all", "voice name=a", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Serve(row.document);
        const vr_handle voices = vrEnumerateConnectionVoices(connection_);
        ASSERT_GE(voices, 1000);
        EXPECT_EQ(Names(voices), row.voices);
        EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
    }
}

TEST_F(VoicesTest, LargeListArrivesInManyPackets) {
    std::string document = "<voices>";
    for (int i = 0; i < 5000; ++i) {
        document += "<voice name=\"v" + std::to_string(i) + "\" SAMPLE_RATE=\"" +
                    std::to_string(8000 + i) + "\"/>";
    }
    document += "</voices>";
    Serve(document, 60000);
    const vr_handle voices = vrEnumerateConnectionVoices(connection_);
    ASSERT_EQ(vrNumVoices(voices), 5000);
    for (int i = 0; i < 4999; ++i)
        vrNextVoice(voices);
    EXPECT_STREQ(vrNextVoice(voices), "v4999");
    EXPECT_EQ(vrGetVoiceIntegerValue(voices, VR_SAMPLE_RATE), 12999);
}

TEST_F(VoicesTest, EnumerationRestoresTheApplicationCallback) {
    struct Seen {
        int packets = 0;
    } seen;
    auto callback = [](void* user, PACKET_TYPE, void*, int32_t) -> int32_t {
        ++static_cast<Seen*>(user)->packets;
        return VR_SUCCESS;
    };
    ASSERT_EQ(vrSetCallBack(connection_, callback), VR_SUCCESS);
    ASSERT_EQ(vrSetUserData(connection_, &seen), VR_SUCCESS);
    const vr_handle voices = vrEnumerateConnectionVoices(connection_);
    EXPECT_EQ(vrNumVoices(voices), 2);
    EXPECT_EQ(seen.packets, 0);  // the reply went to the collector
    server_.SetHandler([](const ReceivedFrame&) {
        return std::vector<Action>{Action::Text(PACKET_QUERY, "pong"), Action::End()};
    });
    EXPECT_EQ(vrQueryServer(connection_, "ping"), VR_SUCCESS);
    EXPECT_EQ(seen.packets, 1);
}

TEST_F(VoicesTest, UnopenedConnectionGivesAnEmptyEnumerator) {
    const vr_handle unopened = vrCreateConnection();
    const vr_handle voices = vrEnumerateConnectionVoices(unopened);
    ASSERT_GE(voices, 1000);
    EXPECT_EQ(vrNumVoices(voices), 0);
    EXPECT_EQ(vrNextVoice(voices), nullptr);
}

TEST_F(VoicesTest, UnknownEnumeratorHandles) {
    EXPECT_EQ(vrNumVoices(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrNextVoice(4242), nullptr);
    EXPECT_EQ(vrRewindEnumerator(4242), VR_BAD_HANDLE);
    EXPECT_EQ(vrGetVoiceStringValue(4242, VR_VOICE_ID), nullptr);
    EXPECT_EQ(vrGetVoiceIntegerValue(4242, VR_SAMPLE_RATE), VR_BAD_HANDLE);
    EXPECT_EQ(vrCloseEnumerator(4242), VR_SUCCESS);
    const vr_handle voices = vrEnumerateConnectionVoices(connection_);
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
    EXPECT_EQ(vrCloseEnumerator(voices), VR_SUCCESS);
    EXPECT_EQ(vrEnumerateConnectionVoices(connection_), voices);
}

TEST_F(VoicesTest, SetVoiceSelectsOnlyAnExactName) {
    struct Row {
        const char* name;
        vr_result result;
        const char* output;
        bool selected;
    };
    const Row rows[] = {
        {"Ben", VR_SUCCESS, "", true},
        {"ben", VR_ERROR, "WARNING: voice was not found. Using default instead\n", false},
        {"nobody", VR_ERROR, "WARNING: voice was not found. Using default instead\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const size_t before = Queries().size();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(vrSetVoice(connection_, row.name), row.result);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), row.output);
        ASSERT_TRUE(server_.WaitForFrames(server_.Frames().size()));
        const auto queries = Queries();
        ASSERT_EQ(queries.size(), before + (row.selected ? 2 : 1));
        if (row.selected) {
            EXPECT_EQ(queries.back(), "<voice name='Ben' select='1'/>");
        }
        // No enumerator is left behind on any path.
        EXPECT_EQ(Enumerators().Size(), 0u);
    }
}

TEST_F(VoicesTest, SetVoiceReportsEachFailure) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrSetVoice(4242, "Ben"), VR_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: failed to set voice. Using default instead\n");

    server_.SetHandler([](const ReceivedFrame& frame) {
        if (frame.Text() == "<voice name=\"all\"/>")
            return VoiceList(kTwoNestedVoices, 500);
        return std::vector<Action>{Action::Frame(PACKET_CLOSE)};  // selection fails
    });
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrSetVoice(connection_, "anna"), VR_ERROR);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: vrServer query failed, the voice has not been switched\n");
    EXPECT_EQ(Enumerators().Size(), 0u);
}

TEST_F(VoicesTest, SetVoiceFastSendsTheSelectionUnchecked) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(vrSetVoiceFast(connection_, "nobody"), VR_SUCCESS);
    EXPECT_EQ(vrSetVoiceFast(4242, "x"), VR_BAD_HANDLE);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "WARNING: vrServer query failed, the voice has not been switched\n");
    EXPECT_EQ(Queries(), std::vector<std::string>{"<voice name='nobody' select='1'/>"});
}

}  // namespace
}  // namespace vrelay
