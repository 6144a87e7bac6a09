// What the module's unload does with the point list and the interface log, seen in
// a child process that ends with lines and points still held: the runtime's unload
// of the module-wide objects runs there as it does when the host unloads the module.
#include "host/point_list.h"
#include "log/interface_log.h"
#include "platform/memory.h"
#include "settings/install_directory.h"
#include "support/scratch_folder.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kestar::testing {
namespace {

// Set up in the child before it exits; plain storage, alive through the unload.
char freedMarkerPath[1024];
void* listBlocks[8];
int listBlockCount = 0;
platform::MemoryOps childMemory;

// Notes each node block of the module's point list given back to the heap.
void NotingFree(void* block) {
    for (int i = 0; i < listBlockCount; ++i) {
        if (listBlocks[i] == block) {
            if (std::FILE* marker = std::fopen(freedMarkerPath, "ab")) {
                std::fputs("node block given back\n", marker);
                std::fclose(marker);
            }
        }
    }
    childMemory.free(block);
}

// The same folder for the parent and, on Windows, the re-started child.
std::string UnloadFolder() { return ExecutableDirectory() + PathSeparator() + "module-unload-test"; }

// Fills the log buffer and the point list, then ends the process without
// TerminateCommunications.
[[noreturn]] void EndWithLinesAndPointsHeld(const std::string& folder) {
    installDirectory = folder;
    SetLogFolder(installDirectory);
    StartLog(installDirectory);
    WriteLog("a line only a flush would write");
    PointList& list = ModulePointList();
    for (int i = 0; i < 11; ++i) AppendPoint(list, PointRecord{});
    for (PointBlock* block = list.blockChain; block != nullptr && listBlockCount < 8;
         block = *reinterpret_cast<PointBlock**>(block)) {
        listBlocks[listBlockCount++] = block;
    }
    std::snprintf(freedMarkerPath, sizeof freedMarkerPath, "%s%cfreed.txt", folder.c_str(), PathSeparator());
    childMemory = platform::Memory();
    platform::Memory().free = NotingFree;
    std::exit(0);
}

TEST(ModuleUnload, EmptiesThePointListAndLeavesTheLogUnwritten) {
    const std::string folder = UnloadFolder();
    RemoveTree(folder);
    ASSERT_TRUE(MakeFolder(folder));
    ASSERT_TRUE(MakeFolder(folder + PathSeparator() + "tolvo"));
    EXPECT_EXIT(EndWithLinesAndPointsHeld(folder), ::testing::ExitedWithCode(0), "");
    const std::string logFile = folder + PathSeparator() + "tolvo" + PathSeparator() + "TolvoInterface.log";
    EXPECT_TRUE(FileExists(logFile)) << "the child's StartLog created the file";
    EXPECT_EQ(ReadFileBytes(logFile), "") << "nothing flushed the buffered line at unload";
    EXPECT_EQ(ReadFileBytes(folder + PathSeparator() + "freed.txt"), "node block given back\nnode block given back\n")
        << "both node blocks of the eleven points went back at unload";
    RemoveTree(folder);
}

}  // namespace
}  // namespace kestar::testing
