#include "app/ApplicationMain.h"

int main(int argc, char **argv)
{
    return quellnet::applicationMain(argc, argv);
}
