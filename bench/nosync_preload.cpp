// A stand-in for fsync and fdatasync that returns at once, loaded into the
// command with LD_PRELOAD by bench_batch.py: the batch's time without it,
// less its time with it, is what the durable commit costs. Never for real
// use: nothing it "flushes" is durable.

#include <unistd.h>

extern "C" int fsync(int /*fd*/) { return 0; }
extern "C" int fdatasync(int /*fd*/) { return 0; }
