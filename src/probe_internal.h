// Internals of the identity probes, shared with their unit tests only; not
// part of the library's public header.
#pragma once

#include <map>
#include <string>

namespace velmor_lic {

// Copy of `text` without leading white space and without trailing white space
// or NUL bytes. White space is that of the "C" locale; leading NULs and bytes
// of 0x80 and above are kept. Never fails; "" when nothing is left.
std::string trim_copy(const std::string& text);

namespace detail {

// The sysfs probes with every path read under `root` instead of "/": an empty
// root gives exactly the public probe, paths in messages included.
std::string get_bios_info_at(const std::string& root);
int get_disk_id_at(const std::string& root, std::map<std::string, std::string>& devices);

}  // namespace detail
}  // namespace velmor_lic
