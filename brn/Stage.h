#pragma once
// The contract shared by every streaming stage (CRawAes, CPvtAesV0, CZUncompress,
// CTarReader) and by the CUntgza pipeline that links them:
//   int init(<own settings>...)             0, or a negative code
//   int update(const char* data, int len)   len when every byte was taken, else negative
//   int finish()                            0 once the rest is flushed and checked, else negative
// A stage with a next stage takes a StageOutput among its init settings and hands it every
// block it emits; the last stage, the tar reader, emits no bytes: its init takes the entry
// maker that makes what it reads (brn/tar/EntryMaker.h). Stages are held by value and
// linked with lambdas, last stage first. The block given to an output is valid only during
// the call; a negative result refuses it and fails the stage that emitted it.

#include <functional>

// brn: the inherited name of the namespace of the reusable components (digests, AES, gzip,
// tar, the pipeline); kept because callers and the system's documentation use it.
namespace brn {

using StageOutput = std::function<int(const char* data, int len)>;

}  // namespace brn
