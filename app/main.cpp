#include "app/VelkUnpack.h"

int main(int argc, char** argv) {
    return velk::velkUnpack(argc, argv);
}
