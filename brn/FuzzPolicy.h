#pragma once
// What a fuzz build lets through. The fuzz targets (fuzz/CMakeLists.txt, -DVELK_FUZZ=ON)
// define VELK_FUZZING for the libraries they reach, so that mutated input gets past the
// integrity checks (the package's head check, the gzip CRC, the tar header checksum) to the
// rules behind them; fuzz/RefuseFuzzingDefine.cmake fails the configuration of any other
// build that defines it. This is the one place that reads the define: production code asks
// kVerifyChecksums in a plain `if`, so every check is compiled and tested in every build.

namespace brn {

#ifdef VELK_FUZZING
constexpr bool kVerifyChecksums = false;
#else
constexpr bool kVerifyChecksums = true;
#endif

}  // namespace brn
