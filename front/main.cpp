// The entry of the setup program.
#include "front/setup.h"
#include "platform/platform.h"

int main(int argc, char** argv)
{
    PlatformStartup();
    return SetupMain(argc, argv);
}
