// The Windows exception guard, run in user mode: a routine's status comes
// back, and an exception raised inside it comes back as its code.
#include <gtest/gtest.h>
#include <windows.h>

// The guard's declaration, in user-mode types (Guard.h is kernel code).
extern "C" LONG CallGuarded(LONG (*routine)(void *context), void *context);

namespace {

LONG ReturnsItsContext(void *context) { return static_cast<LONG>(reinterpret_cast<INT_PTR>(context)); }

LONG Raises(void *context)
{
    *static_cast<int *>(context) = 1;
    RaiseException(0xC000009A, 0, 0, nullptr);
    *static_cast<int *>(context) = 2; // never reached
    return 0;
}

LONG RaisesInANestedGuard(void *context)
{
    const LONG inner = CallGuarded(Raises, context);
    return inner == static_cast<LONG>(0xC000009A) ? 7 : -1;
}

TEST(Guard, RoutineStatusComesBack)
{
    EXPECT_EQ(CallGuarded(ReturnsItsContext, reinterpret_cast<void *>(INT_PTR{0})), 0);
    EXPECT_EQ(CallGuarded(ReturnsItsContext, reinterpret_cast<void *>(INT_PTR{0x1234})), 0x1234);
}

TEST(Guard, ExceptionCodeBecomesTheStatus)
{
    int reached = 0;
    EXPECT_EQ(CallGuarded(Raises, &reached), static_cast<LONG>(0xC000009A));
    EXPECT_EQ(reached, 1) << "abandoned at the raise";
    reached = 0;
    EXPECT_EQ(CallGuarded(RaisesInANestedGuard, &reached), 7) << "the innermost guard catches";
}

} // namespace
