#include "probe/cli.h"

int main(int argc, char** argv)
{
    return qz::probe::RunProbe(argc, argv);
}
