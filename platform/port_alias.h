// The user's port aliases: a link per port name in the alias folder (platform/port_names.h), which
// the serial port opens in place of the name's own device (PortAliasPath gives a name's). Where
// the system names its ports itself (Windows) there are none: every call fails with ENOTSUP.
#pragma once

#include <string>

enum class AliasKind { None, Link, Folder, File, Other };

struct PortAlias {
    AliasKind kind = AliasKind::None;
    std::string target;  // where a Link leads, as written in it
};

// Null where a person may alias ports; where the system names its ports itself, the sentence that
// tells them so.
const char* PortAliasesUnavailable();

// What stands at the alias `path`: nothing (its folder need not exist either), a link, or
// something that is not ours to touch. False with *error when it cannot be looked at.
bool ReadPortAlias(const std::string& path, PortAlias* alias, int* error);

// The step at which CreatePortAlias stopped.
enum class AliasStep { Folder, Link, Replace, LeadsBack, PutBack };

// Points the alias `path` at `device` in one step, its folder made as needed: a new link renamed
// over the old one, so the name never goes missing and a failure leaves the old link. A link that
// leads back to itself through links (however the device was spelt) is taken away again and
// `previous` put back (the old link's target; "" for none): LeadsBack, with ELOOP, or PutBack
// when putting back failed too. Only a link or nothing may be in the way (see ReadPortAlias).
bool CreatePortAlias(const std::string& path, const std::string& device,
                     const std::string& previous, AliasStep* stopped, int* error);

// Removes the link at `path`.
bool RemovePortAlias(const std::string& path, int* error);

// The folder the program runs in, against which a relative device path is read; "" when unknown.
std::string WorkingFolder();
