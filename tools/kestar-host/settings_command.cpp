#include "settings_command.h"

#include "command_line.h"
#include "doctor.h"
#include "doctor_system.h"
#include "host_commands.h"

#include "platform/files.h"
#include "platform/profile.h"
#include "serial/port_roles.h"
#include "settings/settings_file.h"

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
// The file table's slot is named after the call; the header's A/W macro would rename it.
#undef GetFileAttributes
#else
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestar::tools {
namespace {

#if defined(_WIN32)
constexpr const char* kLineBreak = "\r\n";  // a new file's line ends: this platform's
#else
constexpr const char* kLineBreak = "\n";
#endif

// ---- The file beside the settings file ---------------------------------------------

#if defined(_WIN32)
std::string LastError() { return "error " + std::to_string(::GetLastError()); }

// A file left by a write that stopped half-way; a folder there is left alone.
void RemoveLeftover(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        ::DeleteFileA(path.c_str());  // a link there is removed itself, never what it names
    }
}

bool FlushToDisk(const std::string& path) {
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool flushed = ::FlushFileBuffers(file) != FALSE;
    ::CloseHandle(file);
    return flushed;
}

// One rename: the new file takes the name, or nothing changes.
bool PutInPlace(const std::string& from, const std::string& to, bool replace, std::string& why) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (::MoveFileExA(from.c_str(), to.c_str(), flags)) return true;
    why = LastError();
    return false;
}
#else
std::string LastError() { return std::strerror(errno); }

void RemoveLeftover(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) ::unlink(path.c_str());
}

bool FlushToDisk(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = ::fsync(fd) == 0;
    ::close(fd);
    return flushed;
}

// rename replaces in one step; link refuses a name that is taken.
bool PutInPlace(const std::string& from, const std::string& to, bool replace, std::string& why) {
    const bool done = replace ? ::rename(from.c_str(), to.c_str()) == 0
                              : ::link(from.c_str(), to.c_str()) == 0 && ::unlink(from.c_str()) == 0;
    if (!done) why = LastError();
    return done;
}
#endif

bool Exists(const std::string& path) {
    return platform::Files().GetFileAttributes(path.c_str()) != platform::kInvalidFileAttributes;
}

// A new plain file at path with bytes in it, through the module's own file calls:
// no link followed, nothing but a plain file taken.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string& why) {
    RemoveLeftover(path);
    platform::FileOps& files = platform::Files();
    const platform::FileHandle file = files.OpenExclusive(path.c_str(), true);
    if (file == platform::kInvalidFile) {
        why = Quoted(path) + " cannot be created as a plain file (" + SystemText(LastError()) +
              "): a folder, link or device may stand there, or this user may not write the folder";
        return false;
    }
    std::uint32_t written = 0;
    const bool wrote = files.Write(file, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
    const bool closed = files.Close(file);
    if (!wrote || !closed || !FlushToDisk(path)) {
        why = "writing " + Quoted(path) + " stopped after " + std::to_string(written) + " of " +
              std::to_string(bytes.size()) + " bytes (" + SystemText(LastError()) + ")";
        RemoveLeftover(path);
        return false;
    }
    return true;
}

// bytes written beside target, then put in its place.
bool WriteInPlace(const std::string& target, const std::string& bytes, bool replace, std::string& why) {
    const std::string fresh = target + kNewFileSuffix;
    if (!WriteNewFile(fresh, bytes, why)) return false;
    std::string error;
    if (PutInPlace(fresh, target, replace, error)) return true;
    why = Quoted(fresh) + " cannot take the place of " + Quoted(target) + " (" + SystemText(error) + ")";
    RemoveLeftover(fresh);
    return false;
}

// ---- The settings file's text -------------------------------------------------------

// Characters in the file's own encoding (the texts written here are ASCII).
std::string Encoded(const std::string& text, const platform::ProfileKeyPlace& place) {
    if (place.unit == 1) return text;
    std::string bytes;
    for (const char c : text) {
        if (place.encoding == platform::ProfileEncoding::kUtf16Be) bytes += '\0';
        bytes += c;
        if (place.encoding == platform::ProfileEncoding::kUtf16Le) bytes += '\0';
    }
    return bytes;
}

// A line of the file as single-byte text, '?' for a UTF-16 character beyond it.
std::string Decoded(const std::string& bytes, std::size_t begin, std::size_t end,
                    const platform::ProfileKeyPlace& place) {
    if (place.unit == 1) return bytes.substr(begin, end - begin);
    std::string text;
    const bool little = place.encoding == platform::ProfileEncoding::kUtf16Le;
    for (std::size_t at = begin; at + 2 <= end; at += 2) {
        const char low = bytes[little ? at : at + 1];
        text += bytes[little ? at + 1 : at] == '\0' ? low : '?';
    }
    return text;
}

std::string KeyLineText(const std::string& bytes, const std::string& key) {
    const platform::ProfileKeyPlace place = platform::LocateProfileKey(bytes, kSettingsSection, key.c_str());
    return place.keyFound ? Decoded(bytes, place.lineBegin, place.lineEnd, place) : std::string();
}

struct Change {
    std::string bytes;   // the whole file after the change
    std::string before;  // the key's line before; empty when there was none
    std::string after;
};

// One value changed where the module's reader finds it; every other byte kept.
Change ChangeValue(const std::string& bytes, const std::string& key, const std::string& value) {
    const platform::ProfileKeyPlace place = platform::LocateProfileKey(bytes, kSettingsSection, key.c_str());
    Change change;
    if (place.keyFound) {
        change.before = Decoded(bytes, place.lineBegin, place.lineEnd, place);
        const std::size_t keep = place.hasEquals ? place.valueBegin : place.lineEnd;
        const std::string added = Encoded((place.hasEquals ? "" : "=") + value, place);
        change.bytes = bytes.substr(0, keep) + added + bytes.substr(place.lineEnd);
        change.after = Decoded(change.bytes, place.lineBegin, keep + added.size(), place);
        return change;
    }
    const std::string lineBreak = Encoded(place.lineBreak.empty() ? kLineBreak : place.lineBreak, place);
    change.after = key + "=" + value;
    std::string added = Encoded(change.after, place) + lineBreak;
    if (!place.sectionFound) added = Encoded(std::string("[") + kSettingsSection + "]", place) + lineBreak + added;
    if (place.insertNeedsBreak) added = lineBreak + added;
    change.bytes = bytes.substr(0, place.insertAt) + added + bytes.substr(place.insertAt);
    return change;
}

// A commented file with every key, each slot without a port unless values name one.
std::string NewFileText(const std::vector<std::pair<std::string, std::string>>& values) {
    const auto valueOf = [&values](const std::string& key, const char* otherwise) {
        for (const auto& [name, value] : values) {
            if (name == key && !value.empty()) return value;
        }
        return std::string(otherwise);
    };
    std::string roles;
    for (int role = 0; role < kPortRoleCount; ++role) roles += std::string(role == 0 ? "" : ", ") + kPortRoles[role].name;
    const std::vector<std::string> lines = {
        "; KESTAR settings, read by the module at every start-up (InitializeCommunications).",
        "; kestar-host settings shows what start-up does with each line;",
        "; kestar-host settings set KEY VALUE changes one value.",
        std::string("[") + kSettingsSection + "]",
        "; 1: every value read is echoed into the interface log; 0: not",
        std::string(kCreateLogFileKey) + "=" + valueOf(kCreateLogFileKey, "1"),
        "; role COM baud parity data-bits stop-bits, e.g. Probe 3 19200 E 7 1",
        "; roles: " + roles,
        "; a negative COM number leaves the slot without a port; all six keys must be present",
    };
    std::string text;
    for (const std::string& line : lines) text += line + kLineBreak;
    for (int n = 1; n <= kPortKeyCount; ++n) text += PortKey(n) + "=" + valueOf(PortKey(n), "Spare -1") + kLineBreak;
    return text;
}

// ---- The doctor's judgement -----------------------------------------------------------

// The keys start-up reads, in its order.
std::vector<std::string> SettingsKeys() {
    std::vector<std::string> keys = {kCreateLogFileKey};
    for (int n = 1; n <= kPortKeyCount; ++n) keys.push_back(PortKey(n));
    return keys;
}

bool IsSettingsKey(const std::string& name) {
    for (const std::string& key : SettingsKeys()) {
        if (name == key) return true;
    }
    return false;
}

const Check* FindCheck(const Report& report, const std::string& name) {
    for (const Check& check : report.checks()) {
        if (check.name == name) return &check;
    }
    return nullptr;
}

nlohmann::ordered_json ValueRead(const Report& report, const std::string& key) {
    const Check* check = FindCheck(report, key);
    return check != nullptr && check->fields.contains("value") ? check->fields["value"] : nullptr;
}

// The check that refuses a change: the changed line's own, or that of a line the
// change makes start-up refuse; nullptr when start-up takes the change.
const Check* Refusal(const Report& before, const Report& after, const std::string& key) {
    const Check* own = FindCheck(after, key);
    if (own != nullptr && own->level == Level::kFail) return own;
    for (const Check& check : after.checks()) {
        if (check.level != Level::kFail || !IsSettingsKey(check.name)) continue;
        const Check* was = FindCheck(before, check.name);
        if (was == nullptr || was->level != Level::kFail) return &check;
    }
    return nullptr;
}

// The module's reader must find the new value, and every other key as it was.
std::string ReadBackProblem(const Report& before, const Report& after, const std::string& key,
                            const std::string& value) {
    for (const std::string& name : SettingsKeys()) {
        const nlohmann::ordered_json read = ValueRead(after, name);
        if (name == key && read != nlohmann::ordered_json(SystemText(value))) {
            const std::string found = read.is_string() ? Quoted(read.get<std::string>()) : std::string("missing");
            std::string problem = "the module would read ";
            return problem.append(key).append(" as ").append(found).append(", not as ").append(Quoted(value));
        }
        if (name != key && read != ValueRead(before, name)) return "the change would alter " + name + " too";
    }
    return std::string();
}

// The first check that stops the settings file from being read where start-up
// finds it; nullptr when it can be.
const Check* PlaceRefusal(const Report& report) {
    for (const char* name : {"install folder", "log folder"}) {
        const Check* check = FindCheck(report, name);
        if (check != nullptr && check->level == Level::kFail) return check;
    }
    return nullptr;
}

int Failed(bool json, const std::string& found, const std::string& todo) {
    return ReportError(json, kHostCallFailed, found, todo.empty() ? std::string() : "what to do: " + todo);
}

int Failed(bool json, const std::string& what, const Check& check) {
    return Failed(json, what + ": " + check.name + ": " + check.found, check.todo);
}

// ---- Reading the file ----------------------------------------------------------------

bool ReadSettingsBytes(const std::string& path, std::string& bytes, std::string& found, std::string& todo) {
    switch (platform::ReadRegularFile(path.c_str(), platform::kMaxSettingsFileBytes, bytes)) {
        case platform::ReadFileResult::kRead: return true;
        case platform::ReadFileResult::kTooLarge:
            found = Quoted(path) + " holds more than " + std::to_string(platform::kMaxSettingsFileBytes) +
                    " bytes: start-up does not read it";
            todo = "replace it with a settings file of its few lines (kestar-host settings init writes one)";
            return false;
        case platform::ReadFileResult::kCannotOpen:
            if (!Exists(path)) {
                found = "there is no settings file " + Quoted(path);
                todo = "kestar-host settings init writes one with every key";
                return false;
            }
            [[fallthrough]];
        default:
            found = Quoted(path) + " is no plain file that can be read (a link, FIFO, device or folder stands "
                                   "there, or this user may not read it): start-up does not read it either";
            todo = "put a plain file there, e.g. with kestar-host settings init once it is removed";
            return false;
    }
}

// ---- The three actions -----------------------------------------------------------------

void Print(const Check& check, bool json, const std::string& indent = std::string()) {
    Report one;
    one.checks().push_back(check);
    std::fputs((indent + one.Render(json)).c_str(), stdout);
}

int Show(bool json) {
    Report report = JudgeSettings();
    const std::string path = SettingsFilePath();
    std::string bytes;
    std::string found;
    std::string todo;
    const bool read = ReadSettingsBytes(path, bytes, found, todo);
    Utf8Console console;
    if (!json) std::printf("settings file %s (the install folder the App Paths entry names, then %s)\n",
                           Quoted(path).c_str(), kSettingsFilePath + 1);
    for (Check& check : report.checks()) {
        const bool key = IsSettingsKey(check.name);
        const bool shown = key || check.name == "install folder" || check.name == "settings file" ||
                           check.name == "section" || check.level != Level::kOk;
        if (!shown) continue;
        const std::string line = key && read ? KeyLineText(bytes, check.name) : std::string();
        if (key && line.empty()) check.Null("line");
        if (key && !line.empty()) check.Text("line", line);
        if (key && !json) std::printf("%s\n", line.empty() ? ("(no " + check.name + " line)").c_str() : SystemText(line).c_str());
        Print(check, json, key && !json ? "  " : "");
    }
    std::fflush(stdout);
    if (const Check* refusal = PlaceRefusal(report)) return Failed(json, "the settings file cannot be had", *refusal);
    return read ? kHostSucceeded : Failed(json, found, todo);
}

int Set(const SettingsRequest& request) {
    const Report before = JudgeSettings();
    if (const Check* refusal = PlaceRefusal(before)) return Failed(request.json, request.key + " not changed", *refusal);
    const std::string path = SettingsFilePath();
    std::string bytes;
    std::string found;
    std::string todo;
    if (!ReadSettingsBytes(path, bytes, found, todo)) return Failed(request.json, request.key + " not changed: " + found, todo);
    const Change change = ChangeValue(bytes, request.key, request.value);
    const std::string fresh = path + kNewFileSuffix;
    std::string why;
    if (!WriteNewFile(fresh, change.bytes, why)) {
        return Failed(request.json, request.key + " not changed: " + why, "the settings file is as it was; free that name, or give this user write access to the folder");
    }
    const Report after = JudgeSettings(fresh);
    const std::string lost = ReadBackProblem(before, after, request.key, request.value);
    const Check* refusal = Refusal(before, after, request.key);
    if (!lost.empty() || (refusal != nullptr && !request.force)) {
        RemoveLeftover(fresh);
        if (!lost.empty()) return Failed(request.json, request.key + " not changed: " + lost, "write the value without surrounding quotes or blanks, or edit the file by hand");
        return Failed(request.json, request.key + " not changed, start-up would refuse it", *refusal);
    }
    const std::string backup = path + kBackupSuffix;
    std::string error;
    if (!WriteInPlace(backup, bytes, true, why) || !PutInPlace(fresh, path, true, error)) {
        if (why.empty()) why = Quoted(fresh) + " cannot take the place of " + Quoted(path) + " (" + SystemText(error) + ")";
        RemoveLeftover(fresh);
        return Failed(request.json, request.key + " not changed: " + why, "the settings file is as it was; check the folder's access rights and free space");
    }
    Check done = *FindCheck(after, request.key);
    done.Text("before", change.before).Text("after", change.after).Text("path", path).Text("backup", backup);
    done.Flag("forced", refusal != nullptr).Int("exit", kHostSucceeded);
    Utf8Console console;
    if (!request.json) {
        std::printf("%s changed in %s (the file before is kept as %s)%s\n  before: %s\n  after:  %s\n", request.key.c_str(),
                    Quoted(path).c_str(), Quoted(backup).c_str(),
                    refusal != nullptr ? "; --force: written, but start-up refuses it" : "",
                    change.before.empty() ? ("(no " + request.key + " line)").c_str() : SystemText(change.before).c_str(),
                    SystemText(change.after).c_str());
    }
    Print(done, request.json);
    std::fflush(stdout);
    return kHostSucceeded;
}

// The install folder given on the command line, without the separators or "\."
// an installer's folder property ends in.
std::string GivenFolder(std::string folder) {
    while (folder.size() > 1 && (folder.back() == '\\' || folder.back() == '/' ||
                                 (folder.back() == '.' && (folder[folder.size() - 2] == '\\' ||
                                                           folder[folder.size() - 2] == '/')))) {
        folder.pop_back();
    }
    return folder;
}

// The folder that holds the settings file, made when missing (an installer's first
// install); a link or junction there is refused as start-up refuses it. made says
// whether it was made here.
bool MakeHoldingFolder(const std::string& path, bool& made, std::string& why) {
    const std::string folder = path.substr(0, path.find_last_of("\\/"));
    if (platform::HoldingFolderRefused(path.c_str())) {
        why = Quoted(folder) + " is a link, junction or file, not a folder: start-up reads no settings through it";
        return false;
    }
#if defined(_WIN32)
    made = ::CreateDirectoryA(folder.c_str(), nullptr) != FALSE;
    const bool there = made || ::GetLastError() == ERROR_ALREADY_EXISTS;
#else
    made = ::mkdir(folder.c_str(), 0755) == 0;
    const bool there = made || errno == EEXIST;
#endif
    if (!there) why = Quoted(folder) + " cannot be made (" + SystemText(LastError()) + ")";
    return there;
}

// A folder made for a file that was not written goes again.
void RemoveMadeFolder(const std::string& path, bool made) {
    if (!made) return;
    const std::string folder = path.substr(0, path.find_last_of("\\/"));
#if defined(_WIN32)
    ::RemoveDirectoryA(folder.c_str());
#else
    ::rmdir(folder.c_str());
#endif
}

int Init(const SettingsRequest& request) {
    const bool given = !request.folder.empty();
    const std::string folder = GivenFolder(request.folder);
    const Report report = JudgeSettings(std::string(), folder);
    const Check* refusal = given ? nullptr : PlaceRefusal(report);
    if (refusal != nullptr) return Failed(request.json, "no settings file written", *refusal);
    const std::string path = given ? folder + platform::LocalPath(kSettingsFilePath) : SettingsFilePath();
    if (Exists(path) && request.keep) {
        if (!request.json) std::printf("settings file %s kept as it is\n", Quoted(path).c_str());
        if (request.json) std::printf("{\"check\":\"settings file\",\"kept\":true,\"path\":%s,\"exit\":0}\n", JsonString(path).c_str());
        return kHostSucceeded;
    }
    if (Exists(path)) {
        return Failed(request.json, "there is a settings file " + Quoted(path) + " already: init writes only a new one",
                      "kestar-host settings set KEY VALUE changes one value; rename the file to start anew");
    }
    std::string why;
    const std::string fresh = path + kNewFileSuffix;
    bool made = false;
    if ((given && !MakeHoldingFolder(path, made, why)) || !WriteNewFile(fresh, NewFileText(request.values), why)) {
        RemoveMadeFolder(path, made);
        const Check* holding = FindCheck(report, "log folder");
        const bool missing = !given && holding != nullptr && holding->level != Level::kOk;
        return Failed(request.json, "no settings file written: " + (missing ? holding->found : why),
                      missing ? holding->todo : "give this user write access to the folder");
    }
    const Report judged = JudgeSettings(fresh, folder);
    for (const Check& check : judged.checks()) {
        if (!IsSettingsKey(check.name)) continue;
        if (check.level == Level::kFail) {
            RemoveLeftover(fresh);
            RemoveMadeFolder(path, made);
            return Failed(request.json, "no settings file written, start-up would refuse it", check);
        }
    }
    std::string error;
    if (!PutInPlace(fresh, path, false, error)) {
        RemoveLeftover(fresh);
        RemoveMadeFolder(path, made);
        return Failed(request.json, "no settings file written: " + Quoted(fresh) + " cannot take the name " + Quoted(path) + " (" + SystemText(error) + ")",
                      "give this user write access to the folder");
    }
    if (!request.json) std::printf("settings file %s written, every key in it, commented\n", Quoted(path).c_str());
    if (!given) return Show(request.json);
    for (const Check& check : judged.checks()) {
        if (IsSettingsKey(check.name)) Print(check, request.json);
    }
    std::fflush(stdout);
    return kHostSucceeded;
}

// CreateLogFile or PORTn in the module's spelling, from any case; empty for none.
std::string KeyNamed(const std::string& given) {
    const auto lower = [](const std::string& text) {
        std::string folded;
        for (const char c : text) folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        return folded;
    };
    for (const std::string& key : SettingsKeys()) {
        if (lower(key) == lower(given)) return key;
    }
    return std::string();
}

// A value the file can hold in any of its encodings: printable ASCII, one line,
// without blanks around it (the reader would drop them).
bool PlainValue(const std::string& value) {
    for (const char c : value) {
        if (c < ' ' || c > '~') return false;
    }
    return !value.empty() && value.front() != ' ' && value.back() != ' ';
}

// init's KEY=VALUE words, each a key of the file and a value it can hold.
bool ParseInitValues(const std::vector<std::string>& words, SettingsRequest& request, std::string& problem) {
    request.action = SettingsRequest::Action::kInit;
    if (request.force) problem = "--force goes with settings set only";
    for (std::size_t i = 1; i < words.size() && problem.empty(); ++i) {
        const std::size_t equals = words[i].find('=');
        const std::string key = equals == std::string::npos ? std::string() : KeyNamed(words[i].substr(0, equals));
        const std::string value = key.empty() ? std::string() : words[i].substr(equals + 1);
        if (key.empty()) {
            problem = "settings init takes KEY=VALUE (KEY CreateLogFile or PORT1 to PORT6), not " + words[i];
        } else if (!value.empty() && !PlainValue(value)) {
            problem = "the value of " + key + " must be one line of plain ASCII text without blanks around it";
        }
        request.values.emplace_back(key, value);
    }
    return problem.empty();
}

}  // namespace

bool ParseSettingsArguments(const std::vector<std::string>& args, SettingsRequest& request, std::string& problem) {
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            request.json = true;
        } else if (args[i] == "--force") {
            request.force = true;
        } else if (args[i] == "--keep") {
            request.keep = true;
        } else if (args[i] == "--folder" && i + 1 < args.size()) {
            request.folder = args[++i];
        } else if (args[i] == "--module") {
            ++i;  // the program's own option: the settings do not depend on the module
        } else {
            words.push_back(args[i]);
        }
    }
    const std::string keys = std::string(kCreateLogFileKey) + " or " + PortKey(1) + " to " + PortKey(kPortKeyCount);
    if (!words.empty() && words[0] == "init") return ParseInitValues(words, request, problem);
    if (request.keep || !request.folder.empty()) {
        problem = "--keep and --folder go with settings init only";
        return false;
    }
    if (words.empty()) {
        if (request.force) problem = "--force goes with settings set only";
        return problem.empty();
    }
    if (words[0] != "set" || words.size() != 3) {
        problem = "settings takes set KEY VALUE (KEY " + keys + ") or init, not " + words[0];
        return false;
    }
    request.action = SettingsRequest::Action::kSet;
    request.key = KeyNamed(words[1]);
    request.value = words[2];
    if (request.key.empty()) problem = "settings set knows the keys " + keys + ", not " + words[1];
    if (!request.key.empty() && !PlainValue(request.value)) {
        problem = "the value of " + request.key + " must be one line of plain ASCII text without blanks around it";
    }
    return problem.empty();
}

int RunSettings(const SettingsRequest& request) {
    switch (request.action) {
        case SettingsRequest::Action::kSet: return Set(request);
        case SettingsRequest::Action::kInit: return Init(request);
        default: return Show(request.json);
    }
}

}  // namespace kestar::tools
