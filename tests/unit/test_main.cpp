// main() of every unit test. The tests capture standard output (the bridge's lines), where
// GoogleTest also prints its failures; so each failure is written to standard error as well, at
// the moment it happens.

#include <stdio.h>

#include <gtest/gtest.h>

namespace {
struct failures_to_stderr : testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult &result) override
    {
        if (result.failed())
            fprintf(stderr, "%s:%d: Failure\n%s\n", result.file_name() ? result.file_name() : "?",
                    result.line_number(), result.message());
    }
};
}  // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new failures_to_stderr);
    return RUN_ALL_TESTS();
}
