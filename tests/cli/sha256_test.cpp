// The image's SHA-256 in a board's record: the published vectors, and sha256sum over the lengths
// where the padding moves into a second block.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/sha256.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(Sha256, PublishedVectors) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        EXPECT_EQ(Sha256Hex(c.input), c.digest);
    }
}

TEST(Sha256, AgreesWithSha256sumAcrossTheBlockBoundaries) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    for (size_t size : {1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 65536u, 65537u}) {
        SCOPED_TRACE(size);
        const std::string bytes = PatternBytes(size, 11);
        const std::string path = dir.Write("image.img", bytes);
        FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char line[128] = "";
        ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
        pclose(pipe);
        EXPECT_EQ(Sha256Hex(bytes), std::string(line, 64));
    }
}

}  // namespace
