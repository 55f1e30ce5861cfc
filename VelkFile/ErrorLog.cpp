#include "VelkFile/ErrorLog.h"

#include <cstdio>
#include "fs/Message.h"

namespace velk {

void logError(const char* operation, const char* sourceFile, int line) {
    brn::message("err_%s_%s_%d\r\n", operation, sourceFile, line);
}

}  // namespace velk
