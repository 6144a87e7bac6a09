// ReadSlotLine and WriteSlotString on two slots over the simulated UART, driven by
// a script of bytes arriving in pieces, reads with small retry limits (time-outs),
// writes, flushes and devices that vanish at a chosen call. A model of the
// pending-line rules runs beside the module; any difference in result, buffer,
// errorCode, errorText, lineDone, pending line or bytes sent aborts.
//
// Script, one operation a byte (low 3 bits the kind, bit 3 the slot, high 4 bits
// a parameter), some followed by a count byte and that many bytes:
//   0,1 bytes arrive      2,3 ReadSlotLine, readRetryLimit = parameter
//   4   WriteSlotString   5   the device vanishes at its n-th next queue query
//   6   FlushPortSlots    7   the device vanishes now
#include "fakes/fake_uart.h"
#include "host/interface_block.h"
#include "serial/port_manager.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using kestar::testing::FakeComDevice;
using kestar::testing::FakeUart;

constexpr int kComOfSlot[2] = {2, 3};
constexpr unsigned char kUntouched = 0x5A;

[[noreturn]] void Mismatch(const char* what) {
    std::fprintf(stderr, "mismatch: %s\n", what);
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Mismatch(what);
}

// What the model knows of one device and its port.
struct ModelDevice {
    std::deque<unsigned char> queue;
    bool vanished = false;
    bool armed = false;
    unsigned countdown = 0;
    std::int32_t status = 0;
    std::string written;

    // One queue query of the driver (ClearCommError); the device vanishes at the
    // armed one.
    void Query() {
        if (!armed || vanished) return;
        if (countdown == 0) vanished = true;
        else --countdown;
    }
    int GetChar() {
        Query();
        if (vanished || queue.empty()) return kestar::serial::kBufferEmpty;
        const unsigned char c = queue.front();
        queue.pop_front();
        return c;
    }
};

struct Model {
    ModelDevice device[2];
    std::string pending;  // the bytes of the last time-out that gathered some
    std::int32_t pendingLength = 0;
};

// The same vanishing in the simulated UART: the serial table with ClearCommError
// counting down per device.
struct Countdown {
    bool armed = false;
    unsigned left = 0;
};
Countdown countdowns[2];
kestar::platform::SerialOps fakeOps;

FakeComDevice* DeviceOfHandle(kestar::platform::Handle handle, int& index) {
    for (index = 0; index < 2; ++index) {
        FakeComDevice* device = FakeUart::Current()->Find(kComOfSlot[index]);
        if (device == handle) return device;
    }
    return nullptr;
}

kestar::platform::Bool CountingClearCommError(kestar::platform::Handle handle, std::uint32_t* errors,
                                              kestar::platform::ComStat* stat) {
    int index = 0;
    if (FakeComDevice* device = DeviceOfHandle(handle, index)) {
        Countdown& countdown = countdowns[index];
        if (countdown.armed && !device->vanished) {
            if (countdown.left == 0) device->vanished = true;
            else --countdown.left;
        }
    }
    return fakeOps.ClearCommError(handle, errors, stat);
}

class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}
    bool Done() const { return at_ == end_; }
    unsigned Byte() { return at_ < end_ ? *at_++ : 0u; }
    std::string Bytes() {
        std::size_t n = Byte();
        if (n > static_cast<std::size_t>(end_ - at_)) n = static_cast<std::size_t>(end_ - at_);
        std::string bytes(reinterpret_cast<const char*>(at_), n);
        at_ += n;
        return bytes;
    }

private:
    const std::uint8_t* at_;
    const std::uint8_t* end_;
};

std::string TextOf(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

void CheckErrorText(const InterfaceBlock& block, const char* expected) {
    Check(std::strncmp(block.errorText, expected, sizeof block.errorText) == 0, "errorText");
    Check(block.errorText[sizeof block.errorText - 1] == '\0', "errorText unterminated");
}

void Read(int slot, std::int32_t limit, Model& model, InterfaceBlock& block) {
    ModelDevice& device = model.device[slot];
    kestar::UsePortManagerState({kestar::PortManagerStateInUse().reportBlock, limit});
    std::unique_ptr<char[]> buffer(new char[kestar::kPortLineSize]);  // exactly the promised size
    std::memset(buffer.get(), kUntouched, kestar::kPortLineSize);
    char oldText[sizeof block.errorText];
    std::memcpy(oldText, block.errorText, sizeof oldText);
    block.lineDone = 7;

    // The model's run of the call.
    std::int32_t result = 0, code = 0, lineDone = 0;
    const char* text = nullptr;  // errorText expected; null: unchanged
    std::string line;            // the buffer's bytes before its terminator
    bool touched = true;
    if (device.status != 0) {
        device.GetChar();  // taken and dropped
        result = code = device.status;
        text = kestar::serial::StatusMessage(device.status);
        touched = false;
    } else {
        std::int32_t polls = 0;
        int count = 0;  // characters of this call, the pending part not counted
        while (true) {
            const int c = device.GetChar();
            if (c == kestar::serial::kBufferEmpty) {
                if (++polls <= limit) continue;
                result = code = kestar::kReadTimedOut;
                model.pendingLength = static_cast<std::int32_t>(line.size());
                if (!line.empty()) model.pending = line;
                touched = !line.empty();
                break;
            }
            line += static_cast<char>(c);
            ++count;
            if (c == '\n') {
                lineDone = 1;
                if (model.pendingLength != 0) {
                    line = TextOf(model.pending) + line;
                    model.pendingLength = 0;
                    if (line.size() >= kestar::kPendingLineSize) {
                        line.resize(kestar::kPortLineSize - 1);
                        result = code = kestar::kReadLineTooLong;
                        text = "Buffer overflow";
                        break;
                    }
                }
                if (count > kestar::kLineLimit) {
                    result = code = kestar::kReadLineTooLong;
                    text = "Buffer overflow";
                }
                break;
            }
            if (line.size() > static_cast<std::size_t>(kestar::kLineLimit)) {
                lineDone = 1;
                result = code = kestar::kReadLineTooLong;
                text = "Buffer overflow";
                break;
            }
        }
    }

    const std::int32_t got = kestar::ReadSlotLine(slot, buffer.get());
    Check(got == result, "result");
    Check(block.errorCode == code, "errorCode");
    Check(block.lineDone == lineDone, "lineDone");
    if (text != nullptr) {
        CheckErrorText(block, text);
    } else {
        Check(std::memcmp(block.errorText, oldText, sizeof oldText) == 0, "errorText changed");
    }
    if (touched) {
        Check(std::memcmp(buffer.get(), line.data(), line.size()) == 0, "buffer bytes");
        Check(buffer[line.size()] == '\0', "buffer terminator");
    } else {
        for (std::size_t i = 0; i < kestar::kPortLineSize; ++i) Check(buffer[i] == static_cast<char>(kUntouched), "buffer touched");
    }
    Check(kestar::pendingLine.length == model.pendingLength, "pending length");
    if (model.pendingLength != 0) {
        Check(std::memcmp(kestar::pendingLine.text, model.pending.data(), model.pending.size()) == 0 &&
                  kestar::pendingLine.text[model.pending.size()] == '\0',
              "pending text");
    }
}

void Write(int slot, const std::string& bytes, Model& model, InterfaceBlock& block) {
    ModelDevice& device = model.device[slot];
    std::int32_t result = 0;
    for (char c : bytes) {
        if (c == '\0' || c == '\n') break;
        device.Query();
        if (device.vanished) {
            device.status = result = kestar::serial::kBufferFull;
            break;
        }
        device.written += c;
    }
    const std::int32_t got = kestar::WriteSlotString(slot, bytes.c_str());
    Check(got == result, "write result");
    if (result != 0) {
        Check(block.errorCode == result, "write errorCode");
        CheckErrorText(block, kestar::serial::StatusMessage(result));
    }
    const FakeComDevice* fake = FakeUart::Current()->Find(kComOfSlot[slot]);
    Check(std::string(fake->written.begin(), fake->written.end()) == device.written, "bytes sent");
}

void Flush(Model& model) {
    for (ModelDevice& device : model.device) {
        const bool wasVanished = device.vanished;
        device.Query();
        device.Query();
        if (!wasVanished && !device.vanished) device.status = 0;
    }
    kestar::FlushPortSlots();
    for (int slot = 0; slot < 2; ++slot) {
        const std::int32_t status = kestar::portTable[slot].port->status;
        if (!model.device[slot].vanished) Check(status == 0, "flush left a status");
        model.device[slot].status = status;  // a purge on a vanished device fails: its own mapping
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static InterfaceBlock block;
    block = InterfaceBlock{};
    kestar::storedInterfaceBlock = &block;
    kestar::UsePortManagerState({&block, kestar::PortManagerStateInUse().readRetryLimit});
    kestar::pendingLine = kestar::PendingLine{};

    FakeUart uart;
    fakeOps = kestar::platform::Serial();
    kestar::platform::SerialOps counting = fakeOps;
    counting.ClearCommError = CountingClearCommError;
    kestar::platform::ScopedSerialOps scoped(counting);
    countdowns[0] = countdowns[1] = Countdown{};

    uart.Device(kComOfSlot[0]);
    uart.Device(kComOfSlot[1]);
    if (kestar::OpenPortSlot(0, "Controller 2 9600 N 8 1") != 1) Mismatch("open slot 0");
    if (kestar::OpenPortSlot(1, "Probe 3 19200 E 7 1") != 1) Mismatch("open slot 1");

    Model model;
    Script script(data, size);
    while (!script.Done()) {
        const unsigned op = script.Byte();
        const int slot = (op >> 3) & 1;
        const unsigned parameter = op >> 4;
        FakeComDevice& fake = *uart.Find(kComOfSlot[slot]);
        ModelDevice& device = model.device[slot];
        switch (op & 7) {
            case 0:
            case 1: {
                const std::string bytes = script.Bytes();
                for (char c : bytes) {
                    fake.received.push_back(static_cast<unsigned char>(c));
                    device.queue.push_back(static_cast<unsigned char>(c));
                }
                break;
            }
            case 2:
            case 3: Read(slot, static_cast<std::int32_t>(parameter), model, block); break;
            case 4: Write(slot, script.Bytes(), model, block); break;
            case 5:
                if (!device.armed) {
                    device.armed = countdowns[slot].armed = true;
                    device.countdown = countdowns[slot].left = script.Byte();
                }
                break;
            case 6: Flush(model); break;
            case 7:
                fake.vanished = device.vanished = true;
                break;
        }
    }

    kestar::ClosePortSlots();
    Check(uart.openHandles == 0, "a device left open");
    Check(kestar::serial::LivePorts() == nullptr, "a port left alive");
    return 0;
}
