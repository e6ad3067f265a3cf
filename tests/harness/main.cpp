/*
 * The test runner. It makes itself a child subreaper, so that the orphans
 * a demonstration leaves behind (the workers of the signal demonstrations,
 * the child of the identity report) are adopted here rather than by init,
 * and after every test it ends and reaps whatever descends from it.
 */
#include "process.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

namespace {

class EndEverything : public ::testing::EmptyTestEventListener {
	void OnTestEnd(::testing::TestInfo const &) override { harness::end_all_descendants(); }
};

} // namespace

int
main(int argc, char **argv)
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	::testing::InitGoogleTest(&argc, argv);
	::testing::UnitTest::GetInstance()->listeners().Append(new EndEverything);
	return RUN_ALL_TESTS();
}
