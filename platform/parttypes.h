// Partition type names as people know them, from libfdisk's tables.
#pragma once

#include <string>

namespace vlm::parttypes {

// The name of a GPT type GUID (any letter case) or an MBR type ("0x83"), as
// fdisk and lsblk's PARTTYPENAME give it; empty when the tables don't know it.
std::string name(const std::string& content);

}  // namespace vlm::parttypes
