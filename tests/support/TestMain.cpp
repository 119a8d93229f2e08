#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // A test peer that vanishes must fail a test, not kill the whole program.
    std::signal(SIGPIPE, SIG_IGN);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
