// Looking up the arm library's calls.
#include "platform/arm_library.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace kestar::platform {
namespace {

int KESTAR_CALL Dummy() { return 0; }

void* FromMap(void* context, const char* name) {
    auto& names = *static_cast<std::map<std::string, void*>*>(context);
    auto found = names.find(name);
    return found == names.end() ? nullptr : found->second;
}

TEST(ArmLookup, PrefersUndecoratedNamesThenStandardCallDecoration) {
    void* a = reinterpret_cast<void*>(&Dummy);
    int other = 0;
    std::map<std::string, void*> names = {{"AprePorta", a},         {"_AprePorta@4", &other},
                                          {"_LeggeParametri@4", a}, {"_ChiudePorta@0", a},
                                          {"_LeggeQuota@8", a},     {"ResetEncoder", a}};
    ArmLibrary arm = ResolveArmLibrary(FromMap, &names);
    EXPECT_EQ(reinterpret_cast<void*>(arm.AprePorta), a);
    EXPECT_NE(arm.LeggeParametri, nullptr);
    EXPECT_NE(arm.ChiudePorta, nullptr);
    EXPECT_NE(arm.LeggeQuota, nullptr);
    EXPECT_NE(arm.ResetEncoder, nullptr);
    EXPECT_EQ(MissingArmCalls(arm), "");
}

TEST(ArmLookup, NamesWhatIsMissing) {
    void* a = reinterpret_cast<void*>(&Dummy);
    std::map<std::string, void*> names = {{"AprePorta", a}, {"LeggeQuota@8", a}, {"ResetEncoder", a}};
    ArmLibrary arm = ResolveArmLibrary(FromMap, &names);
    EXPECT_EQ(MissingArmCalls(arm), "LeggeParametri ChiudePorta LeggeQuota");
}

TEST(ArmLookup, InstalledPartialArmIsReportedAndItsCallsRefuse) {
    ArmLibrary partial{};
    InstallArmLibrary(&partial);
    EXPECT_EQ(LoadArmLibrary(), "arm library lacks AprePorta LeggeParametri ChiudePorta LeggeQuota ResetEncoder");
    double reading[26];
    int status = 0;
    EXPECT_FALSE(ArmLeggeQuota(reading, &status));
    EXPECT_FALSE(ArmAprePorta("COM1"));
    InstallArmLibrary(nullptr);
}

}  // namespace
}  // namespace kestar::platform
