// The fixture every contract test uses: a fresh situation per test, removed
// again afterwards, named after the test so that scratch keys and folders of
// different tests never meet.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "contract/situation.h"

namespace vq4::contract {

class Contract : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        situation::begin(std::string(info->test_suite_name()) + "." + info->name());
    }
    void TearDown() override { situation::end(); }
};

}  // namespace vq4::contract

// Skips a corner of the contract in which Wine is known to differ from
// Windows; the reason is printed with the skip. The simulated side and real
// Windows still run it.
#define VQ4_SKIP_ON_WINE(reason)                                                    \
    do {                                                                            \
        if (::vq4::contract::situation::on_wine()) {                                \
            GTEST_SKIP() << "Wine differs from Windows here: " << (reason);         \
        }                                                                           \
    } while (false)
