// The mark the bench arm simulator carries so that the doctor can tell it from the
// arm maker's library: on Windows as the value "BenchArmSimulator" of its version
// resource (zuroz.rc), on Linux as this text in the file (arm_sim.cpp).
#pragma once

#define KESTAR_BENCH_ARM_MARK "KESTAR bench arm simulator: a made-up arm that measures nothing"
