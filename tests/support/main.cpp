#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
    // Tests compare texts formatted with the user's locale; pin it to the neutral one.
    std::setlocale(LC_ALL, "C");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
