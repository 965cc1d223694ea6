#include "app/Shell.h"

int main(int argc, char** argv) {
    return LoftwiseMain(argc, argv);
}
