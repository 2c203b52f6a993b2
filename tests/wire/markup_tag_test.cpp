// SPDX-License-Identifier: MIT
#include "wire/markup_tag.h"

#include <gtest/gtest.h>

#include <string>

namespace vrelay {
namespace wire {
namespace {

// <voice name='a' a1='' a2='' ...> with n attributes in all.
std::string ManyAttributes(size_t n) {
    std::string tag = "<voice name='a'";
    for (size_t i = 1; i < n; ++i) {
        tag += " a" + std::to_string(i) + "=''";
    }
    return tag + "/>";
}

TEST(ParseTag, DecodesReferencesInValuesAndRejectsRepeatedOrTooManyAttributes) {
    const struct { std::string tag; bool ok; std::string name; } cases[] = {
        {"<voice name='a&amp;b&lt;&apos;&quot;&#39;&#x27;'/>", true, "a&b<'\"''"},
        {"<voice name=\"plain \xC3\xA9\"/>", true, "plain \xC3\xA9"},
        {"<voice name='all' select='' select='1'/>", false, ""},
        {ManyAttributes(kMaxTagAttributes), true, "a"},
        {ManyAttributes(kMaxTagAttributes + 1), false, ""}, {"<!DOCTYPE html>", false, ""},
        {"<!-- a -->", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        Tag tag;
        ASSERT_EQ(ParseTag(c.tag, &tag), c.ok);
        if (c.ok) {
            EXPECT_EQ(tag.element.Get("name"), c.name);
        }
    }
}

// Entities as web pages carry them: XML's, HTML's named ones and numeric
// references; what is not one stays, what is an unknown one becomes a blank.
TEST(DecodeEntities, DecodesXmlHtmlAndNumericReferences) {
    EXPECT_EQ(DecodeEntities("&lt;a&gt; &amp;&nbsp;&eacute;&#233;&#xE9; &bogus; R&D &;"),
              "<a> &\xC2\xA0\xC3\xA9\xC3\xA9\xC3\xA9   R&D &;");
    EXPECT_EQ(DecodeEntities("&#x7FF;&#x800;&#x10000;&#x10FFFF;&#x110000;&#xD800;"),
              "\xDF\xBF\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF  ");
}

}  // namespace
}  // namespace wire
}  // namespace vrelay
