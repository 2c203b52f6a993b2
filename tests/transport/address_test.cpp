// SPDX-License-Identifier: MIT
#include "transport/address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vrelay {
namespace {

// What every program takes for --server, VrelayServer and the like.
TEST(AddressTest, ReadsHostPortAndListsOfThem) {
    // host: null: refused
    const struct { const char* text; const char* host; int port; } rows[] = {
        {"127.0.0.1:5555", "127.0.0.1", 5555}, {"[::1]:80", "::1", 80},
        {"speech.example:1", "speech.example", 1}, {"host:65536", nullptr, 0},
        {"host:0", nullptr, 0}, {"host:+80", nullptr, 0}, {"host:8o", nullptr, 0},
        {":80", nullptr, 0}, {"host", nullptr, 0}, {"host:", nullptr, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        HostPort address;
        ASSERT_EQ(ParseHostPort(row.text, &address), row.host != nullptr);
        if (row.host != nullptr) {
            EXPECT_EQ(address.host, row.host);
            EXPECT_EQ(address.port, row.port);
        }
    }
    std::vector<HostPort> list;
    std::string error;
    ASSERT_TRUE(ParseAddressList("a:1,[::1]:2", &list, &error));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].host, "::1");
    EXPECT_FALSE(ParseAddressList("a:1,,b:2", &list, &error));
    EXPECT_EQ(error, "\"\" is not HOST:PORT");
    EXPECT_EQ(list.size(), 2u);
}

TEST(AddressTest, WholeNumbersAreDigitsInRange) {
    long value = 7;
    for (const char* bad : {"", "-", "1.5", " 1", "1 ", "0x10", "99999999999999999999", "11"}) {
        EXPECT_FALSE(ParseWholeNumber(bad, -10, 10, &value)) << bad;
    }
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(ParseWholeNumber("-10", -10, 10, &value));
    EXPECT_EQ(value, -10);
    EXPECT_TRUE(ParseWholeNumber("+08", -10, 10, &value));
    EXPECT_EQ(value, 8);
}

}  // namespace
}  // namespace vrelay
