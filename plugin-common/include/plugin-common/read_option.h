// The plug-ins' reader of the host's configuration file. A plug-in takes its options only from
// an "Options" section that is the file's very first record; the host's own reader is more
// lenient, but what a plug-in obeys must not depend on where a hand-edited file put the section.
#pragma once
#include <cstddef>
#include <cstdint>

// The size of the value buffer, terminator included (the file's field size).
constexpr size_t kOptionValueSize = 260;

// Looks `key` up (without regard to case) among the option records of the file at
// configPath. Found: 1, with the record's value in value (kOptionValueSize bytes, always
// terminated). Otherwise 0 with value empty: a null path or key, a file that cannot be opened, a
// first record that is not exactly "Options", or a key that is not among the records it counts
// (or the file ends first).
int32_t ReadOption(const char* configPath, const char* key, char* value);

// True when an option's value switches it on: "yes" in any mix of cases.
bool OptionIsYes(const char* value);
