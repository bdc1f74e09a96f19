#pragma once

#include <cstddef>
#include <string>

namespace test_support {

// Moves the calling process into a mount namespace of its own whose mounts
// never reach the machine's, so that a test may mount a small file system
// (a disk that fills up) without touching anything outside.
//
// Call it at the start of main, before any thread exists: a process with
// other threads cannot leave the namespace they share. Returns false, with
// the reason in `why_not`, when the process is not root or the namespace
// cannot be made; the caller then skips the tests that need it.
bool enter_private_mounts(std::string& why_not);

bool private_mounts_ready();
const std::string& private_mounts_failure();

// Mounts a tmpfs of `bytes` (a multiple of the page size) at the existing
// folder `folder`, inside the private namespace. False with the reason.
bool mount_small_disk(const std::string& folder, std::size_t bytes, std::string& why_not);

// Fills the file system of `folder` up to its last free byte with the file
// `folder`/"filler". False when it cannot.
bool fill_disk(const std::string& folder);

}  // namespace test_support

// A GoogleTest main that enters a private mount namespace first.
#define PRIVATE_MOUNTS_TEST_MAIN()                          \
    int main(int argc, char** argv)                         \
    {                                                       \
        std::string why_not;                                \
        test_support::enter_private_mounts(why_not);        \
        ::testing::InitGoogleTest(&argc, argv);             \
        return RUN_ALL_TESTS();                             \
    }

#define SKIP_WITHOUT_PRIVATE_MOUNTS()                                                             \
    do {                                                                                          \
        if (!test_support::private_mounts_ready())                                                \
            GTEST_SKIP() << "needs root and a private mount namespace: "                          \
                         << test_support::private_mounts_failure();                               \
    } while (false)
