# Native x86_64 Linux: a checking build of the same sources for AddressSanitizer,
# UndefinedBehaviorSanitizer, valgrind and libFuzzer, which cannot run as i386
# programs under emulation. It checks memory safety, not the 32-bit binary contract.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
