// SPDX-License-Identifier: MIT
// A fixture for tests of the exported interface: one handle opened on a fake
// server, its callback a recorder, and the handle tables emptied before and
// after each test so that handle numbers start afresh.
#pragma once

#include <gtest/gtest.h>
#include <vrelay/vrelay.h>

#include <utility>

#include "client/handles.h"
#include "tests/support/callback_recorder.h"
#include "tests/support/fake_server.h"

namespace vrelay {
namespace test {

class OpenHandleTest : public ::testing::Test {
  protected:
    explicit OpenHandleTest(Handler handler = DefaultAnswer) : server_(std::move(handler)) {}
    void SetUp() override {
        Connections().Clear();
        Enumerators().Clear();
        handle_ = recorder_.OpenHandle(server_);
        ASSERT_GT(handle_, 0);
    }
    void TearDown() override {
        vrDestroyConnection(handle_);
        Connections().Clear();
        Enumerators().Clear();
    }

    FakeServer server_;
    CallbackRecorder recorder_;
    vr_handle handle_ = 0;
};

}  // namespace test
}  // namespace vrelay
