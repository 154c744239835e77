// The smallest Windows console program: run first to learn whether a Wine vehicle can run a
// program at all.
#include <cstdio>

int main()
{
    std::puts("probe ran");
    return 0;
}
