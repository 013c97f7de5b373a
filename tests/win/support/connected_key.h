// A fixture for tests that exchange on one virtual key: the key plugged fresh,
// one connection to it, and the platform shim counting from there.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "olvexlib.h"
#include "support/dll_platform.h"
#include "support/keys.h"

namespace testsupport {

class ConnectedKeyTest : public testing::Test {
protected:
    explicit ConnectedKeyTest(const char *serialStem) : stem_(serialStem) {}

    void SetUp() override {
        ASSERT_TRUE(shim_.installed());
        serial_ = FreshSerial(stem_);
        key_ = PlugKey(serial_);
        ASSERT_TRUE(key_);
        path_ = keysim::DevicePath(key_.get());
        conn_ = ConnectTo(path_);
        ASSERT_NE(conn_, nullptr);
        PlatformShim::Reset();
    }
    void TearDown() override { OLVEX_Disconnect(conn_); }

    void Behave(const keysim::Behaviour &b) { keysim::SetBehaviour(key_.get(), b); }

    PlatformShim shim_;
    KeyPtr key_;
    std::string serial_;
    std::string path_;
    OLVEX_HANDLE conn_ = nullptr;

private:
    const char *stem_;
};

}  // namespace testsupport
