#include "platform/device.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/registry.h"
#include "platform/text.h"

namespace platform::device {

namespace fs = std::filesystem;

namespace {

std::mutex rootMutex;
fs::path root;
std::string rootText;  // root's text, which HostPath copies without copying root's components

// Host file systems take at most 255 bytes per name. A longer device name is kept as its
// beginning, "~", a hash of the whole name and its extension, so that every device name still
// maps to one host name of its own, the same each time.
constexpr std::size_t kMaxHostName = 255;
std::string FitHostName(std::string name) {
    constexpr std::size_t kMaxName = kMaxHostName;
    if (name.size() <= kMaxName) return name;
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
    std::string extension;
    if (auto dot = name.rfind('.'); dot != std::string::npos && name.size() - dot <= 16) extension = name.substr(dot);
    char tag[16];
    std::snprintf(tag, sizeof tag, "~%08x", hash);
    std::size_t keep = kMaxName - extension.size() - std::strlen(tag);
    while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;  // whole characters only
    return name.substr(0, keep) + tag + extension;
}

// `text` as one word of a shell command line (quoted where it needs to be).
std::string ShellWord(const std::string& text) {
    if (!text.empty() &&
        text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%") ==
            std::string::npos) {
        return text;
    }
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool MakeDirs(const fs::path& dir, std::string* error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        if (error) *error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// One line on standard error when other users can reach the device folder (made so beforehand,
// or by an older version that kept what the umask gave), with the command that makes it private.
void WarnIfShared(const fs::path& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || (st.st_mode & 077) == 0) return;
    const char* program = program_invocation_short_name;
    std::fprintf(stderr, "%s: warning: other users can read the device folder %s; make it private with: chmod 700 %s\n",
                 program && *program ? program : "tallymere", dir.c_str(), ShellWord(dir.string()).c_str());
}

}  // namespace

fs::path ChooseFolder(std::string_view explicitDir) {
    if (!explicitDir.empty()) return fs::path(explicitDir);
    if (const char* env = std::getenv("TALLYMERE_DEVICE"); env && *env) return fs::path(env);
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
        return fs::path(xdg) / "tallymere" / "device";
    }
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : ".") / ".local" / "share" / "tallymere" / "device";
}

bool IsDefaultFolder(std::string_view explicitDir) {
    const char* env = std::getenv("TALLYMERE_DEVICE");
    return explicitDir.empty() && !(env && *env);
}

bool Mount(const fs::path& hostDir, std::string* error, bool* made, Creation creation) {
    if (made) *made = false;
    // Everything this process creates from here on is its owner's alone (directories 0700,
    // files 0600), whatever umask it was started with: the device folder holds every message.
    ::umask(077);
    std::error_code ec;
    fs::path dir = fs::absolute(hostDir, ec);
    if (ec) dir = hostDir;
    const bool fresh = !fs::exists(dir, ec);
    const bool isDevice = !fresh && fs::is_directory(dir / ".platform", ec);
    if (creation == Creation::kNever && !isDevice) {
        if (error) *error = "no device at " + dir.string();
        return false;
    }
    if (fresh) {
        if (creation == Creation::kInExistingParent && dir.has_parent_path() &&
            !fs::is_directory(dir.parent_path(), ec)) {
            if (error) {
                *error = "no device at " + dir.string() + ", and none is made there: its folder " +
                         dir.parent_path().string() + " does not exist";
            }
            return false;
        }
        if (dir.has_parent_path() && !MakeDirs(dir.parent_path(), error)) return false;
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + dir.string() + ": " + std::strerror(errno);
            return false;
        }
        if (made) *made = true;
    } else if (!fs::is_directory(dir, ec)) {
        if (error) *error = dir.string() + " is not a folder";
        return false;
    } else if (!fs::is_directory(dir / ".platform", ec)) {
        // Not a device folder: only an empty one may become one.
        const bool empty = fs::is_empty(dir, ec);
        if (ec) {
            if (error) *error = "cannot read " + dir.string() + ": " + ec.message();
            return false;
        }
        if (!empty) {
            if (error) {
                *error = dir.string() +
                         " is not a device folder: it holds other files and no .platform folder. Nothing was "
                         "written into it; name a new or empty folder for a new phone.";
            }
            return false;
        }
        // An empty folder made beforehand (mkdir gives 0755) becomes as private as one made here.
        if (::chmod(dir.c_str(), 0700) != 0) {
            if (error) *error = "cannot make " + dir.string() + " private: " + std::strerror(errno);
            return false;
        }
        if (made) *made = true;
    } else {
        WarnIfShared(dir);
    }
    {
        std::lock_guard lock(rootMutex);
        root = dir;
        rootText = dir.native();
    }
    if (!MakeDirs(dir / ".platform", error)) {
        Unmount();
        return false;
    }
    // A fresh device is provisioned once; the marker is written last, so an interrupted first
    // mount completes on the next one. Later the device keeps whatever its owner made of it.
    if (!fs::exists(dir / ".platform" / "provisioned", ec)) {
        if (!MakeDirs(dir / "My Documents" / "UAContents" / "MMS UA", error) ||
            !MakeDirs(dir / "Program Files" / "Tallymere", error)) {
            Unmount();
            return false;
        }
        RegKey key;
        if (RegKey::Create(HKEY_LOCAL_MACHINE, kInstallerKey, &key) != 0 ||
            key.SetString(u"InstallDir", kInstallDir) != 0) {
            if (error) *error = "cannot write the device's settings store in " + dir.string();
            Unmount();
            return false;
        }
        std::FILE* marker = std::fopen((dir / ".platform" / "provisioned").c_str(), "w");
        if (marker) std::fclose(marker);
    }
    return true;
}

void Unmount() {
    std::lock_guard lock(rootMutex);
    root.clear();
    rootText.clear();
}

fs::path Root() {
    std::lock_guard lock(rootMutex);
    return root;
}

std::optional<fs::path> HostPath(std::u16string_view devicePath) {
    auto text = HostPathText(devicePath);
    if (!text) return std::nullopt;
    return fs::path(std::move(*text));
}

std::optional<std::string> HostNameText(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u".." || name.find_first_of(u"\\/") != std::u16string_view::npos ||
        name.find(u'\0') != std::u16string_view::npos) {
        return std::nullopt;
    }
    std::string result;
    AppendUtf8(result, name);
    return result.size() > kMaxHostName ? FitHostName(std::move(result)) : result;
}

std::optional<std::string> HostPathText(std::u16string_view devicePath) {
    // Built as one string: appending to a path component by component
    // splits the whole path again each time, and an export maps several paths per message.
    std::string result;
    {
        std::lock_guard lock(rootMutex);
        result.reserve(rootText.size() + 3 * devicePath.size() + 1);
        result = rootText;
    }
    if (result.empty()) return std::nullopt;
    std::size_t start = 0;
    while (start <= devicePath.size()) {
        std::size_t end = devicePath.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) end = devicePath.size();
        std::u16string_view component = devicePath.substr(start, end - start);
        if (!component.empty()) {
            if (component == u"." || component == u".." || component.find(u'\0') != std::u16string_view::npos) {
                return std::nullopt;
            }
            // As `/=` does with a relative name: a separator unless there is one already.
            if (result.back() != '/') result += '/';
            const std::size_t nameStart = result.size();
            AppendUtf8(result, component);
            if (result.size() - nameStart > kMaxHostName) {
                std::string fitted = FitHostName(result.substr(nameStart));
                result.replace(nameStart, std::string::npos, fitted);
            }
        }
        start = end + 1;
    }
    return result;
}

fs::path PlatformFile(std::string_view name) { return Root() / ".platform" / name; }

}  // namespace platform::device
