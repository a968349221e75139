// Checks on text that a test got from the code under test (a log, a
// program's output, an error message): whether it holds a part, and how often.
// A failed check shows the whole text, so no test has to add it by hand.
//
// Threads: plain functions of their arguments.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace ts {

// Succeeds when `text` holds `part`; either way the message shows the text,
// so EXPECT_TRUE and EXPECT_FALSE both report what was there.
inline ::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    const bool found = text.find(part) != std::string::npos;
    return (found ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
           << "\"" << part << "\" " << (found ? "is" : "is not") << " in:\n"
           << text;
}

// How many times `part` occurs in `text`, counted without overlap.
inline int CountOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); !part.empty() && at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

}  // namespace ts
