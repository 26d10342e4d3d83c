#include "platform/port_names.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int NumberAfterCom(const char* name) {
    int number = 0;
    const char* digit = name + 3;
    if (*digit < '1' || *digit > '9') return 0;
    for (; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return 0;
        number = number * 10 + (*digit - '0');
        if (number > kMaxComPort) return 0;
    }
    return number;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool Fits(int written, size_t size) {
    return written >= 0 && size_t(written) < size;
}

struct ComNames {
    char text[kMaxComPort + 1][8];
};

constexpr ComNames MakeComNames() {
    ComNames names{};
    for (int n = 1; n <= kMaxComPort; ++n) {
        char* out = names.text[n];
        out[0] = 'C';
        out[1] = 'O';
        out[2] = 'M';
        int at = 3;
        if (n >= 100) out[at++] = char('0' + n / 100);
        if (n >= 10) out[at++] = char('0' + n / 10 % 10);
        out[at++] = char('0' + n % 10);
        out[at] = '\0';
    }
    return names;
}

constexpr ComNames kComNames = MakeComNames();

}  // namespace

int ComPortNumber(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    return NumberAfterCom(name);
}

int ComPortNumberAnyCase(const char* name) {
    if (Lower(name[0]) != 'c' || Lower(name[1]) != 'o' || Lower(name[2]) != 'm') return 0;
    return NumberAfterCom(name);
}

const char* ComPortName(int number) {
    return number >= 1 && number <= kMaxComPort ? kComNames.text[number] : nullptr;
}

bool PortAliasFolderFrom(const char* xdgConfigHome, const char* home, char* path, size_t size) {
    const bool xdg = xdgConfigHome != nullptr && xdgConfigHome[0] == '/';
    const char* base = xdg ? xdgConfigHome : home != nullptr ? home : "";
    // Trailing slashes dropped, so that a folder at the root is /.config/..., not //.config/...
    size_t length = std::strlen(base);
    while (length > 0 && base[length - 1] == '/')
        --length;
    return Fits(std::snprintf(path, size, "%.*s%s", int(length), base,
                              xdg ? "/quorvane/ports" : "/.config/quorvane/ports"),
                size);
}

bool PortAliasFileOf(const char* name, char* path, size_t size) {
    if (!PortAliasFolderFrom(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), path, size)) {
        return false;
    }
    const size_t folder = std::strlen(path);
    return Fits(std::snprintf(path + folder, size - folder, "/%s", name), size - folder);
}

bool ResolvePortNameByAlias(const char* name, bool (*aliasExists)(const char* path), char* device,
                            size_t size) {
    const int number = ComPortNumber(name);
    if (number == 0) return Fits(std::snprintf(device, size, "%s", name), size);
    if (!PortAliasFileOf(name, device, size)) return false;
    if (aliasExists(device)) return true;
    return Fits(std::snprintf(device, size, "/dev/ttyS%d", number - 1), size);
}

bool ResolvePortNameInDeviceNamespace(const char* name, char* device, size_t size) {
    const int number = ComPortNumberAnyCase(name);
    if (number == 0) return Fits(std::snprintf(device, size, "%s", name), size);
    return Fits(std::snprintf(device, size, "\\\\.\\COM%d", number), size);
}
