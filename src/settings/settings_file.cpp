#include "settings/settings_file.h"

#include "log/interface_log.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "settings/install_directory.h"

namespace kestar {

int settingsEcho = 0;

std::string SettingsFilePath() { return installDirectory + platform::LocalPath(kSettingsFilePath); }

int ReadSetting(std::string& value, const std::string& key) {
    const std::string path = SettingsFilePath();
    char area[kSettingAreaSize] = {};
    std::uint32_t copied = platform::Profile().GetPrivateProfileString(kSettingsSection, key.c_str(), "", area,
                                                                       kSettingAreaSize, path.c_str());
    if (copied >= kSettingAreaSize) copied = kSettingAreaSize - 1;
    if (copied > 0) {
        value.assign(area, copied);
        if (settingsEcho != 0) WriteLog(key + " = " + value);
        return 1;
    }
    value.clear();
    WriteLog("Cannot find '" + key + "' in '" + path + "'");
    return 0;
}

}  // namespace kestar
