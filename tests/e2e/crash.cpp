// A program that crashes on purpose (a write through a null pointer), for the test that a crash
// under Wine fails at once, with a backtrace, through every wrapper the tests run programs with.
#include <cstdio>

int main()
{
    std::puts("writing through a null pointer");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
