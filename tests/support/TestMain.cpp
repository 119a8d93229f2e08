#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A test peer that vanishes must fail a test, not kill the whole program.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
