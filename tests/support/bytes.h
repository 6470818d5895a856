// Byte-for-byte comparison for the tests: on a mismatch it says where the
// two first differ and how long each is, instead of a bare "false".
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

namespace testimg {

template <typename A, typename B>
::testing::AssertionResult SameBytes(const A& got, const B& want)
{
    const size_t n = got.size() < want.size() ? got.size() : want.size();
    for (size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(got[i]) != static_cast<unsigned char>(want[i]))
            return ::testing::AssertionFailure()
                   << "first difference at byte " << i << " (got " << got.size() << " bytes, want "
                   << want.size() << ")";
    }
    if (got.size() != want.size())
        return ::testing::AssertionFailure()
               << "same first " << n << " bytes, but got " << got.size() << " bytes, want " << want.size();
    return ::testing::AssertionSuccess();
}

}  // namespace testimg
