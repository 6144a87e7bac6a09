# Linux i386 (-m32) on an amd64 machine with Debian's multilib compilers and i386 packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# Large-file and 64-bit time interfaces: without them readdir fails with EOVERFLOW as soon as
# an inode number or directory cookie passes 32 bits (ext4 under emulation, XFS, btrfs), and
# time_t runs out in January 2038.
set(KESTAR_I386_FLAGS "-m32 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${KESTAR_I386_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${KESTAR_I386_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(FIND_LIBRARY_USE_LIB64_PATHS OFF)
set(CMAKE_FIND_LIBRARY_CUSTOM_LIB_SUFFIX "")
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake)
