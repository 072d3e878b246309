// SPDX-License-Identifier: MIT
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orva::automount {

// /etc/default/orva-automount. Every key has its default here, so a file
// that names none of them, or no file at all, gives the defaults.
struct Config
{
    std::string watchDir = "/run/orva/storage";
    std::string prefixUsb = "usb-";
    std::string prefixMmc = "mmc-";
    std::string notifyPrefix = "new-";
    // ntfs only when named: see ntfsLeftOut in the automounter.
    std::vector<std::string> allowedTypes{"vfat", "exfat", "ext2", "ext3", "ext4"};
    std::string mountOptions;
    std::string hostUser = "root";
    std::string fileMask = "0133";
    std::string dirMask = "0022";
    std::string vfatOptions = "utf8,shortname=mixed,flush";
    std::string exfatOptions = "iocharset=utf8,errors=remount-ro";
    std::string ntfsOptions;
    std::string extOptions = "errors=remount-ro";
    std::string btrfsOptions;
    std::string xfsOptions;
    std::string fatCodepage = "850";

    bool allows(std::string_view type) const;
    // The options of TYPE's key (VFAT_OPTIONS for vfat, EXT_OPTIONS for
    // ext2, ext3 and ext4, ...); empty for a type without one.
    std::string typeOptions(std::string_view type) const;
};

// The assignments of an environment file, read as systemd reads an
// EnvironmentFile=: no shell runs, nothing expands; # and ; lines are
// comments; a value may be single-quoted (verbatim) or double-quoted (\"
// \\ \` \$ escapes), and a backslash at the end of a line continues it.
// Lines that assign nothing, or to no valid name, are skipped.
std::map<std::string, std::string> parseEnvironmentFile(std::string_view text);

// The configuration in the file PATH; the defaults where it is missing.
// Throws Failure when it exists and cannot be read.
Config readConfig(const std::string &path);

Config configFrom(const std::map<std::string, std::string> &values);

} // namespace orva::automount
