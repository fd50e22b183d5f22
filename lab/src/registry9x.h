// The registry keys through which the 9x family tells which drive letter a SCSI device has:
// HKEY_DYN_DATA\Config Manager\Enum\<node> with "HardWareKey", and under HKLM\Enum that key
// with "ProductId" and "CurrentDriveLetterAssignment".
#pragma once
#include <memory>
#include <vector>

namespace lab {

class Registry;
class PhysicalDevice;

// Rewrites the dynamic part for the devices present now (and the Enum keys they name).
// `present`: devices on the SCSI adapter (scsi() with a target id).
void writeNineXDriveKeys(Registry& registry, const std::vector<std::shared_ptr<PhysicalDevice>>& present);

}  // namespace lab
