#include "VelkFile/ErrorLog.h"

#include <cstdio>

namespace velk {

void logError(const char* operation, const char* sourceFile, int line) {
    printf("err_%s_%s_%d\r\n", operation, sourceFile, line);
}

}  // namespace velk
