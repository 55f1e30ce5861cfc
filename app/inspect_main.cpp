#include "app/VelkInspect.h"

int main(int argc, char** argv) {
    return velk::velkInspect(argc, argv);
}
