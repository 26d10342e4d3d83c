// Windows names its ports itself: there are no aliases to read, make or remove.
#include "platform/port_alias.h"

#include <errno.h>

const char* PortAliasesUnavailable() {
    return "Windows names its serial ports itself (COM1, COM2, ...; Device Manager shows which is "
           "which): there are no links to make or remove here.";
}

bool ReadPortAlias(const std::string&, PortAlias* alias, int* error) {
    *alias = PortAlias{};
    *error = ENOTSUP;
    return false;
}

bool CreatePortAlias(const std::string&, const std::string&, const std::string&, AliasStep* stopped,
                     int* error) {
    *stopped = AliasStep::Link;
    *error = ENOTSUP;
    return false;
}

bool RemovePortAlias(const std::string&, int* error) {
    *error = ENOTSUP;
    return false;
}

std::string WorkingFolder() {
    return "";
}
