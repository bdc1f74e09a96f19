#pragma once

#include <string>

namespace test_support {

// Moves the calling process into a network namespace of its own and brings
// its loopback interface up, so that a test may capture on "lo" and listen on
// ports 80 and 8080 without seeing or disturbing the machine's traffic.
//
// Call it at the start of main, before any thread exists: unshare() moves
// only the calling thread, and threads started earlier stay outside.
// Returns false, with the reason in `why_not`, when the process is not root
// or the namespace cannot be made; the caller then skips its live tests.
bool enter_private_network(std::string& why_not);

// The outcome of enter_private_network() for LIVE_TEST_MAIN below.
bool private_network_ready();
const std::string& private_network_failure();

}  // namespace test_support

// A GoogleTest main for a program of live tests: enters a private network
// namespace first, then runs the tests. Use SKIP_WITHOUT_PRIVATE_NETWORK() at
// the start of each live test.
#define LIVE_TEST_MAIN()                                             \
    int main(int argc, char** argv)                                  \
    {                                                                \
        std::string why_not;                                         \
        test_support::enter_private_network(why_not);                \
        ::testing::InitGoogleTest(&argc, argv);                      \
        return RUN_ALL_TESTS();                                      \
    }

#define SKIP_WITHOUT_PRIVATE_NETWORK()                                                            \
    do {                                                                                          \
        if (!test_support::private_network_ready())                                               \
            GTEST_SKIP() << "needs root and a private network namespace: "                        \
                         << test_support::private_network_failure();                              \
    } while (false)
