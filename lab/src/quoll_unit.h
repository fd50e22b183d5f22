// The Quoll unit's commands: the 64 KB external firmware of a Tarn reader model, read and
// written whole with the vendor commands FC 00 A0 and FC 00 91. The unit answers them from its
// "external" memory, whether it stands on the SCSI adapter on its own (quoll-unit) or is the
// storage unit of its reader on USB (quoll-reader).
#pragma once
#include <optional>

#include "lab/physical_device.h"

namespace lab {

// The answer to a Quoll command; nullopt for a command that is not one (the caller's model
// answers it).
std::optional<ScsiOutcome> quollCommand(const MemoryFile* external, const ScsiCommand& command);
// Power went away (or the host gave up) while `command` ran: a write leaves its first half.
void quollInterrupted(const MemoryFile* external, const ScsiCommand& command);

}  // namespace lab
