// Runs a crypto test once per instruction-set limit, so that the portable code is tested on a
// CPU that has the faster paths too: TEST_P on a fixture derived from CryptoPaths, instantiated
// with kAllCryptoPaths and cryptoPathName.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/crypto/simd.h"

class CryptoPaths : public ::testing::TestWithParam<CryptoPath> {
protected:
    void SetUp() override { setCryptoPath(GetParam()); }
    void TearDown() override { setCryptoPath(CryptoPath::Best); }
};

inline const auto kAllCryptoPaths = ::testing::Values(CryptoPath::Portable, CryptoPath::Avx2, CryptoPath::Best);

inline std::string cryptoPathName(const ::testing::TestParamInfo<CryptoPath>& info) {
    return info.param == CryptoPath::Portable ? "Portable" : info.param == CryptoPath::Avx2 ? "Avx2" : "Best";
}
