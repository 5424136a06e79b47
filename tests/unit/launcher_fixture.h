// Common set-up of the unit tests: a new fake world with the launcher C:\d\tool.exe
// beside its script.
#pragma once

#include <gtest/gtest.h>

#include "support/fake_platform.h"

class LauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        fake::add_file(u"C:\\d\\tool-script.zk");
    }
    void TearDown() override {
        // Windows runs a batch file handed to CreateProcessW through cmd with a line of its
        // own making, which the launcher must never let it do.
        EXPECT_EQ(fake::take_batch_files_given(), 0) << "a batch file was handed to CreateProcessW";
        fake::reset();
    }

    // An interpreter in the active virtual environment C:\venv.
    static void with_venv() {
        fake::set_env(u"VIRTUAL_ENV", u"C:\\venv");
        fake::add_file(u"C:\\venv\\Scripts\\zelkor.exe");
    }
    static void trace_on() { fake::set_env(u"ZKLAUNCH_DEBUG", u"1"); }
};
