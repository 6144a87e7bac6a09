// A pseudo-terminal standing in for a serial device (Linux): the test holds the
// master side, and $KESTAR_DEVICES/com<n> links to the other side, which the port
// opens by name. Close gives back $KESTAR_DEVICES as it was.
#pragma once

#if !defined(_WIN32)
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kestar::testing {

class TerminalDevice {
public:
    void Open(int comNumber) {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);  // the port opens it by name
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        char folder[] = "/tmp/kestar-devices-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        devices = folder;
        Link(comNumber, name);
        const char* old = std::getenv("KESTAR_DEVICES");
        hadDevices_ = old != nullptr;
        if (old) oldDevices_ = old;
        setenv("KESTAR_DEVICES", devices.c_str(), 1);
    }

    // Another pseudo-terminal as com<n> in the same folder; its master side, closed by Close.
    int Add(int comNumber) {
        int added = -1;
        int slave = -1;
        char name[256] = {};
        if (openpty(&added, &slave, name, nullptr, nullptr) != 0) return -1;
        close(slave);
        fcntl(added, F_SETFL, fcntl(added, F_GETFL) | O_NONBLOCK);
        Link(comNumber, name);
        masters_.push_back(added);
        return added;
    }

    // Links com<n> of the devices folder to target.
    void Link(int comNumber, const std::string& target) {
        const std::string link = devices + "/com" + std::to_string(comNumber);
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        links_.push_back(link);
    }

    void Close() {
        if (devices.empty()) return;
        if (hadDevices_) {
            setenv("KESTAR_DEVICES", oldDevices_.c_str(), 1);
        } else {
            unsetenv("KESTAR_DEVICES");
        }
        for (const std::string& link : links_) unlink(link.c_str());
        links_.clear();
        rmdir(devices.c_str());
        devices.clear();
        if (master >= 0) close(master);
        master = -1;
        for (int added : masters_) close(added);
        masters_.clear();
    }

    int master = -1;
    std::string devices;

private:
    std::vector<std::string> links_;
    std::vector<int> masters_;
    std::string oldDevices_;
    bool hadDevices_ = false;
};

}  // namespace kestar::testing
#endif
