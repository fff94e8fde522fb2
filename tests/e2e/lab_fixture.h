#pragma once
// Shared fixture of the lab tests: the stand-in library bound once per
// process, and a lab that is empty at the start and at the end of each test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "harness/lab_library.h"
#include "labnet.h"

class LabTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (lib_.module) return;
        std::string error;
        if (!LoadLabLibrary(&lib_, &error)) FAIL() << error;
    }
    void SetUp() override {
        ASSERT_NE(lib_.module, nullptr);
        lab::ResetNetwork();
    }
    void TearDown() override { lab::ResetNetwork(); }

    void Load(const char* description) {
        std::string error;
        ASSERT_TRUE(lab::LoadNetwork(description, &error)) << error;
    }

    // One value read as the program reads it: a zero-filled block with one name.
    product::Status Read(const char* server, const char* keyPath, const char* name,
                         std::vector<uint8_t>* block, uint32_t capacity = 0) {
        block->assign(capacity ? capacity : product::kListBlockSize, 0);
        std::memcpy(block->data(), name, std::strlen(name) + 1);
        uint32_t count = 1;
        return lib_.ReadServerValues(server, keyPath, block->data(), capacity, &count);
    }

    static double NowMs() {
        LARGE_INTEGER counter, frequency;
        QueryPerformanceCounter(&counter);
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(counter.QuadPart) * 1000.0 /
               static_cast<double>(frequency.QuadPart);
    }

    static double Median(std::vector<double> samples) {
        std::sort(samples.begin(), samples.end());
        return samples[samples.size() / 2];
    }

    static inline LabLibrary lib_;
};
