#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "package/hashing.h"
#include "tests/support/failures.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

namespace {

std::string hashText(const std::string& input)
{
    return digestText(sha256(input.data(), input.size()));
}

struct VirtualFreer {
    void operator()(void* memory) const noexcept { VirtualFree(memory, 0, MEM_RELEASE); }
};

} // namespace

TEST(Sha256, MatchesTheStandardTestVectors)
{
    EXPECT_EQ(hashText(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hashText("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hashText("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hashText(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, ReturnsThirtyTwoBytesAndReadsOnlyTheGivenRange)
{
    const std::string text = "xxabcyy";
    const std::vector<unsigned char> digest = sha256(text.data() + 2, 3);
    ASSERT_EQ(digest.size(), 32u);
    EXPECT_EQ(digestText(digest), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digestText(sha256(nullptr, 0)), hashText("")) << "an empty block needs no bytes";
}

TEST(Sha256, HashesABlockLongerThanFourGiBWhole)
{
    // 2^32 + 3 zero bytes; cut to 32 bits the length would be 3. Reference from GNU sha256sum.
    // The pages are committed but never written, so they cost address space, not memory.
    const unsigned long long length = (1ull << 32) + 3;
    const std::unique_ptr<void, VirtualFreer> block(
        VirtualAlloc(nullptr, length, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(digestText(sha256(block.get(), length)),
              "930fa067940ff8d9f427e3a116b7598503c70ce7380d66ff65f8de33d558f7f3");
}

TEST(DigestText, IsSixtyFourLowerCaseHexCharacters)
{
    std::vector<unsigned char> digest(32, 0);
    digest[0] = 0x0A;
    digest[1] = 0xF0;
    digest[30] = 0xBC;
    digest[31] = 0xFF;
    const std::string text = digestText(digest);
    ASSERT_EQ(text.size(), 64u);
    EXPECT_EQ(text.substr(0, 4), "0af0");
    EXPECT_EQ(text.substr(4, 56), std::string(56, '0'));
    EXPECT_EQ(text.substr(60), "bcff");
}

using CngFailures = ShimUnloaded;

// CNG cannot be made to fail for real. It reports a failure only by the status it returns and
// leaves the thread's last error alone, and so does the shim when it fails these calls.
TEST_F(CngFailures, ShowTheStatusThatCngReturned)
{
    const struct {
        const char* plan;
        const char* text;
    } cases[] = {
        {"fail BCryptOpenAlgorithmProvider call=1 return=0xC0000225", "Open SHA256 (3221226021)"},
        {"fail BCryptGetProperty call=1 return=0xC0000022", "SHA256 provider error"},
        {"fail BCryptCreateHash call=1 return=0xC0000017", "Hash package (3221225495)"},
        {"fail BCryptHashData call=1 return=0xC000000D", "Hash package (3221225485)"},
        {"fail BCryptFinishHash call=1 return=0xC0000008", "Hash package (3221225480)"},
    };
    for (const auto& test : cases) {
        loadShim(test.plan);
        SetLastError(ERROR_SUCCESS);
        const std::string text = failureText([] { sha256("abc", 3); });
        unloadShim();
        EXPECT_THAT(text, testing::StartsWith(test.text)) << test.plan;
    }
}
