// Arbitrary command lines: NUL bytes split the input into arguments.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/options.h"
#include "platform/port_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1, "quorvane-cli");
    words.emplace_back();
    for (size_t i = 0; i < size && words.size() < 20; ++i) {
        if (data[i] == '\0') {
            words.emplace_back();
        } else {
            words.back().push_back(char(data[i]));
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    Options options;
    const Parsed parsed = ParseArguments(int(argv.size() - 1), argv.data(), &options);
    // What the parser lets through is what the program then relies on.
    if (options.portIndex < 0 || options.portIndex >= kMaxComPort) abort();
    if (options.identity != nullptr && strlen(options.identity) != 8) abort();
    if (parsed == Parsed::Run && (options.image == nullptr || options.image[0] == '\0')) abort();
    if (parsed == Parsed::Map && (options.mapName == nullptr || options.mapDevice == nullptr)) {
        abort();
    }
    if (parsed == Parsed::Unmap && (options.mapName == nullptr || options.mapDevice != nullptr)) {
        abort();
    }
    return 0;
}
