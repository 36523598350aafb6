#include "remote/autostart.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace remote {

namespace fs = std::filesystem;

namespace {

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* user = getpwuid(getuid()); user && user->pw_dir) return user->pw_dir;
    return {};
}

// The characters escaped inside an Exec argument's quotes.
constexpr std::string_view kEscapedInQuotes = "\"`$\\";

// One argument of an Exec line, as a string value of the entry: in double quotes (which any
// argument may have, and a path with a space or a quote must), each backslash then doubled
// once more for the string level, and % doubled as the field codes require.
std::string ExecArgument(std::string_view argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        if (kEscapedInQuotes.find(c) != std::string_view::npos) quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (char c : quoted) {
        if (c == '\\') value += '\\';
        if (c == '%') value += '%';
        value += c;
    }
    return value;
}

// The arguments of an Exec value: the string level's escapes undone, then split at spaces
// outside double quotes, with the quotes' own escapes and the doubled % undone.
std::vector<std::string> ExecArguments(std::string_view value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            text += next == 's' ? ' ' : next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            text += value[i];
        }
    }
    std::vector<std::string> arguments;
    std::string current;
    bool inQuotes = false;
    bool any = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes && c == '\\' && i + 1 < text.size()) {
            current += text[++i];
        } else if (c == '%' && i + 1 < text.size() && text[i + 1] == '%') {
            current += text[++i];
        } else if (c == '"') {
            inQuotes = !inQuotes;
            any = true;
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (any) arguments.push_back(std::move(current));
            current.clear();
            any = false;
        } else {
            current += c;
            any = true;
        }
    }
    if (any) arguments.push_back(std::move(current));
    return arguments;
}

bool HasControl(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
}

bool Fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return false;
}

// A file descriptor, closed when it goes.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// Writes all of `text` to `fd` and syncs it: 0, or the errno of the failure.
int WriteAndSync(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = ::write(fd, text.data(), text.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return wrote < 0 ? errno : EIO;
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}

// Writes `text` to `file` whole: under a temporary name beside it, synced, then renamed.
bool WriteWhole(const fs::path& file, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) return Fail(error, file.parent_path().string() + ": " + ec.message());
    const fs::path temporary = file.string() + ".new";
    int failure = 0;
    {
        const Descriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.fd < 0) return Fail(error, temporary.string() + ": " + std::strerror(errno));
        failure = WriteAndSync(out.fd, text);
    }
    if (failure == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temporary.c_str());
        return Fail(error, file.string() + ": " + std::strerror(failure));
    }
    return true;
}

}  // namespace

fs::path AutostartFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const fs::path base =
        config && *config && fs::path(config).is_absolute() ? fs::path(config) : fs::path(HomeDir()) / ".config";
    return base / "autostart" / "tallymere.desktop";
}

AutostartState ReadAutostart() {
    AutostartState state;
    std::ifstream in(AutostartFile());
    if (!in) return state;
    state.on = true;
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        // An entry a desktop is told to pass over starts nothing.
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") state.on = false;
        if (line.rfind("Exec=", 0) == 0) {
            const std::vector<std::string> arguments = ExecArguments(std::string_view(line).substr(5));
            for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
                if (arguments[i] == "--device") state.device = arguments[i + 1];
            }
        }
    }
    if (!state.on) state.device.clear();
    return state;
}

std::string AutostartEntry(const std::string& program, const fs::path& device) {
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Tallymere\n"
             "Comment=Starts Tallymere in the system tray at login\n"
          << "Exec=" << ExecArgument(program) << " --device " << ExecArgument(device.string()) << "\n";
    if (fs::path(program).is_absolute()) {
        std::string value;
        for (char c : program) value += c == '\\' ? std::string("\\\\") : std::string(1, c);
        entry << "TryExec=" << value << "\n";
    }
    entry << "Icon=tallymere\n"
             "Terminal=false\n"
             "X-GNOME-Autostart-enabled=true\n";
    return entry.str();
}

std::string DesktopProgram() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        if (self.filename() == "tallymere") return self.string();
        // Installed side by side; in a build tree, src/cli and src/desktop are siblings.
        for (const fs::path& candidate :
             {self.parent_path() / "tallymere", self.parent_path().parent_path() / "desktop" / "tallymere"}) {
            if (::access(candidate.c_str(), X_OK) != 0) continue;
            const fs::path found = fs::weakly_canonical(candidate, ec);
            return (ec ? candidate : found).string();
        }
    }
    return "tallymere";
}

bool SetAutostart(bool on, const fs::path& device, std::string* error) {
    const fs::path file = AutostartFile();
    if (file.is_relative()) return Fail(error, "neither XDG_CONFIG_HOME nor HOME names a folder");
    if (!on) {
        std::error_code ec;
        fs::remove(file, ec);
        // Where no folder could hold the entry, there is none to remove.
        if (ec && ec != std::errc::not_a_directory) return Fail(error, file.string() + ": " + ec.message());
        return true;
    }
    const std::string program = DesktopProgram();
    if (!device.is_absolute()) return Fail(error, "the device folder " + device.string() + " is not an absolute path");
    if (HasControl(device.string()) || HasControl(program)) {
        return Fail(error, "the path of the device folder or of the program holds a control character");
    }
    return WriteWhole(file, AutostartEntry(program, device), error);
}

}  // namespace remote
