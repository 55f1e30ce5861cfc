// velk-unpack-fdcheck: velk-unpack for the end-to-end tests, which also prints "open
// descriptors at exit: N" to standard error as the process ends, so the tests can see that
// every way through the program closed what it opened.

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

#include "fs/UniqueFd.h"
#include "app/VelkUnpack.h"

namespace {

void reportOpenDescriptors() {
    int count = -1;  // the listing's own descriptor is not counted
    if (velk::DirHandle dir(opendir("/proc/self/fd"), &closedir); dir) {
        while (const dirent* entry = readdir(dir.get())) {
            if (entry->d_name[0] != '.') ++count;
        }
    }
    fprintf(stderr, "open descriptors at exit: %d\n", count);
}

}  // namespace

int main(int argc, char** argv) {
    atexit(reportOpenDescriptors);
    return velk::velkUnpack(argc, argv);
}
