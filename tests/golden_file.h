// Byte-exact outputs against golden files, for every test program that keeps some: a difference
// is named by its first byte; OMBRELO_UPDATE_GOLDEN=1 in the environment rewrites the file instead
// (look at the difference before committing it).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

inline void ExpectMatchesGoldenFile(const std::string& actual, const std::string& path)
{
    if (std::getenv("OMBRELO_UPDATE_GOLDEN") != nullptr) {
        std::ofstream out(path, std::ios::binary);
        out << actual;
        EXPECT_TRUE(out.good()) << "cannot rewrite " << path;
        return;
    }
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.is_open()) << "no golden file " << path;
    const std::string golden{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (actual == golden)
        return;
    const size_t at = std::mismatch(actual.begin(), actual.begin() + std::min(actual.size(), golden.size()),
                                    golden.begin()).first - actual.begin();
    const size_t from = at > 60 ? at - 60 : 0;
    ADD_FAILURE() << path << " differs from byte " << at << " on (sizes " << actual.size() << " and "
                  << golden.size() << ")\n  made:   ..." << actual.substr(from, 120) << "\n  golden: ..."
                  << golden.substr(from, 120) << "\nOMBRELO_UPDATE_GOLDEN=1 rewrites the golden files.";
}
